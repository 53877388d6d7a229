#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "aLinkRegistry.h"

namespace {

// Takes every entry a test made back out of the registry.
class LinkRegistry : public ::testing::Test {
 protected:
  void TearDown() override {
    for (uint32_t id : ids) aLinkRegistry_Extract(id);
  }
  uint32_t create(uint32_t identifier, uint32_t port, uint32_t client, linkType type) {
    uint32_t id = aLinkRegistry_Create(identifier, port, client, type);
    EXPECT_NE(id, 0u);
    ids.push_back(id);
    return id;
  }
  std::vector<uint32_t> ids;
};

}  // namespace

TEST(LinkRegistryDeathTest, FirstIdInAProcessIsOne) {
  GTEST_FLAG_SET(death_test_style, FreshProcessDeathTestStyle());  // a fresh process, whatever ran before
  EXPECT_EXIT(std::exit(aLinkRegistry_Create(0x1234, 0, USB) == 1 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(LinkRegistry, IdsGrowByOneAndAreNeverReused) {
  uint32_t first = create(1, 0, 0, USB);
  EXPECT_EQ(aLinkRegistry_Extract(first)->id, first);
  uint32_t second = create(1, 0, 0, USB);
  uint32_t third = create(2, 0, 0, TCPIP);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
}

TEST_F(LinkRegistry, NewEntryCarriesItsKeyAndAFreshLinkRecord) {
  uint32_t id = create(0xA1B2C3D4, 8700, 3, AWEAVE);
  aLinkEntryRef entry = aLinkRegistry_FindById(id);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->identifier, 0xA1B2C3D4u);
  EXPECT_EQ(entry->port, 8700u);
  EXPECT_EQ(entry->clientNumber, 3u);
  EXPECT_EQ(entry->type, AWEAVE);
  EXPECT_EQ(entry->useCount, 0);
  ASSERT_NE(entry->link, nullptr);
  EXPECT_EQ(entry->link->id, id);
  EXPECT_EQ(entry->link->check, 0u);  // not initialised until the engine does so
}

TEST_F(LinkRegistry, LookupsFindTheRightEntry) {
  uint32_t usb = create(0x11, 0, 0, USB);
  uint32_t clientA = create(0x7F000001, 5000, 1, AWEAVE);
  uint32_t clientB = create(0x7F000001, 5000, 2, AWEAVE);
  uint32_t otherPort = create(0x7F000001, 6000, 1, AWEAVE);

  EXPECT_EQ(aLinkRegistry_FindById(usb)->identifier, 0x11u);
  EXPECT_FALSE(aLinkRegistry_FindById(0));
  // By identifier alone: the newest, whatever its port or type.
  EXPECT_EQ(aLinkRegistry_FindByIdentifier(0x7F000001)->id, otherPort);
  EXPECT_FALSE(aLinkRegistry_FindByIdentifier(0x99));
  EXPECT_EQ(aLinkRegistry_FindByIdentifierPortClient(0x7F000001, 5000, 1)->id, clientA);
  EXPECT_EQ(aLinkRegistry_FindByIdentifierPortClient(0x7F000001, 5000, 2)->id, clientB);
  EXPECT_EQ(aLinkRegistry_FindByIdentifierPortClient(0x7F000001, 6000, 1)->id, otherPort);
  EXPECT_FALSE(aLinkRegistry_FindByIdentifierPortClient(0x7F000001, 6000, 2));

  // Once extracted an entry no longer resolves, but holders keep it alive.
  aLinkEntryRef held = aLinkRegistry_FindById(otherPort);
  EXPECT_EQ(aLinkRegistry_Extract(otherPort), held);
  EXPECT_FALSE(aLinkRegistry_FindById(otherPort));
  EXPECT_FALSE(aLinkRegistry_Extract(otherPort));
  EXPECT_EQ(aLinkRegistry_FindByIdentifier(0x7F000001)->id, clientB);
  EXPECT_EQ(held->link->id, otherPort);
}

TEST_F(LinkRegistry, UseCountsAddUpAcrossThreads) {
  aLinkEntryRef entry = aLinkRegistry_FindById(create(0x22, 0, 0, SERIAL));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        aLinkRegistry_ChangeUseCount(*entry, 2);
        aLinkRegistry_ChangeUseCount(*entry, -1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(aLinkRegistry_ChangeUseCount(*entry, 0), 4000);
  EXPECT_EQ(aLinkRegistry_ChangeUseCount(*entry, -4000), 0);
}
