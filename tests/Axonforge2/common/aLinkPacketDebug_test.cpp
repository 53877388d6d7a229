#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "aLinkPacketDebug.h"
#include "aLinkRegistry.h"

namespace {

class LinkPacketDebug : public ::testing::Test {
 protected:
  void SetUp() override {
    id = aLinkRegistry_Create(0x5150, 0, SERIAL);
    ASSERT_NE(id, 0u);
    entry = aLinkRegistry_FindById(id);
  }
  void TearDown() override {
    aLinkRecord_DestroyPacketLog(*entry->link);
    aLinkRegistry_Extract(id);
  }
  // Logs one packet through the engine's path.
  void logPacket(uint8_t direction, uint8_t address, std::vector<uint8_t> data) {
    data.reserve(1);  // a valid pointer even for an empty payload
    aPacket* packet = aPacket_CreateWithData(address, uint8_t(data.size()), data.data());
    ASSERT_NE(packet, nullptr);
    aLinkRecord_LogPacket(*entry->link, direction, *packet);
    aPacket_Destroy(&packet);
  }
  std::vector<uint8_t> read(uint8_t* direction) {
    std::vector<uint8_t> buffer(64);
    uint32_t length = uint32_t(buffer.size());
    EXPECT_EQ(aLink_PacketDebug_Read(id, direction, &length, buffer.data()), aErrNone);
    buffer.resize(length);
    return buffer;
  }
  aErr readStatus() {
    uint8_t direction;
    uint32_t length = 64;
    uint8_t buffer[64];
    return aLink_PacketDebug_Read(id, &direction, &length, buffer);
  }
  uint32_t id = 0;
  aLinkEntryRef entry;
};

}  // namespace

TEST_F(LinkPacketDebug, UnknownLinkIsAParameterError) {
  const uint32_t unknown = id + 100000;
  uint8_t direction;
  uint32_t length = 4;
  uint8_t buffer[4] = {};
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 100), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(unknown, &direction, &length, buffer), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 4, buffer), aErrParam);
}

TEST_F(LinkPacketDebug, NothingToDoBeforeTheFirstEnable) {
  const uint8_t text[] = "x";
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
  EXPECT_EQ(readStatus(), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 2, text), aErrNotReady);
  logPacket(aPACKETLOG_SENT, 4, {1, 2});  // no log: silently not recorded
  EXPECT_EQ(entry->link->packetLog, nullptr);
}

TEST_F(LinkPacketDebug, LogSizeIsFixedOnceTheLogExists) {
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, aLINK_PACKETLOG_MAX_SIZE + 1), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 300), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(entry->link->packetLog->size, 300u);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 600), aErrBusy);
}

TEST_F(LinkPacketDebug, NegativeOrUnsetSizeSelectsTheDefault) {
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(entry->link->packetLog->size, uint32_t(aLINK_PACKETLOG_DEFAULT_SIZE));
}

TEST_F(LinkPacketDebug, RecordsPacketsAndNotesWhileEnabled) {
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  const uint8_t start[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, sizeof start, start), aErrNone);
  logPacket(aPACKETLOG_SENT, 4, {3, 0x48, 0x20});
  logPacket(aPACKETLOG_RECEIVED, 4, {});

  uint8_t direction = 0;
  EXPECT_EQ(read(&direction), std::vector<uint8_t>(start, start + sizeof start));
  EXPECT_EQ(direction, aPACKETLOG_TEXT);
  EXPECT_EQ(read(&direction), (std::vector<uint8_t>{4, 3, 3, 0x48, 0x20}));
  EXPECT_EQ(direction, aPACKETLOG_SENT);
  EXPECT_EQ(read(&direction), (std::vector<uint8_t>{4, 0}));
  EXPECT_EQ(direction, aPACKETLOG_RECEIVED);
  EXPECT_EQ(readStatus(), aErrNotFound);

  // Disabled: link traffic is no longer recorded, but what is stored can still be read.
  logPacket(aPACKETLOG_SENT, 6, {1});
  ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
  logPacket(aPACKETLOG_SENT, 8, {2});
  EXPECT_EQ(read(&direction), (std::vector<uint8_t>{6, 1, 1}));
  EXPECT_EQ(readStatus(), aErrNotFound);

  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);  // same log again
  logPacket(aPACKETLOG_RECEIVED, 10, {9});
  EXPECT_EQ(read(&direction), (std::vector<uint8_t>{10, 1, 9}));
}

// The two link threads record while a reader drains: every record read is whole.
TEST_F(LinkPacketDebug, ConcurrentWritersAndReaderSeeWholeRecords) {
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 512), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  std::atomic<bool> done{false};
  std::atomic<int> malformed{0}, records{0};
  std::thread reader([&] {
    while (!done || readStatus() != aErrNotFound) {
      uint8_t direction;
      uint8_t buffer[64];
      uint32_t length = sizeof buffer;
      if (aLink_PacketDebug_Read(id, &direction, &length, buffer) != aErrNone) continue;
      records++;
      // address = 2 * direction, then length, then `length` copies of the direction
      bool whole = length >= 2 && buffer[0] == 2 * direction && buffer[1] == length - 2;
      for (uint32_t i = 2; whole && i < length; ++i) whole = buffer[i] == direction;
      if (!whole) malformed++;
    }
  });
  std::vector<std::thread> writers;
  for (uint8_t direction : {uint8_t(aPACKETLOG_SENT), uint8_t(aPACKETLOG_RECEIVED)}) {
    writers.emplace_back([&, direction] {
      for (int i = 0; i < 5000; ++i) logPacket(direction, uint8_t(2 * direction), std::vector<uint8_t>(i % 29, direction));
    });
  }
  for (auto& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(malformed, 0);
  EXPECT_GT(records, 0);
}
