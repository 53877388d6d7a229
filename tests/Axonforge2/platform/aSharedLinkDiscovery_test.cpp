// Shared-link searches against small responders written from the discovery formats: loopback
// multicast servers (raw sockets) and CZMQ beacons. All of it inside private network namespaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CollectedSpecs.h"
#include "LoopbackDiscoveryResponder.h"
#include "Netns.h"
#include "aDiscovery.h"
#include "zBeaconInterface.h"

namespace {

constexpr uint32_t kNamespaceInterface = 0x0100E70A;  // 10.231.0.1 in network byte order

linkSpec sharedSpec(uint32_t serial, uint32_t address = htonl(INADDR_LOOPBACK)) {
  linkSpec spec{};
  spec.type = AWEAVE;
  spec.serialNumber = serial;
  spec.model = 17;
  spec.ipAddress = address;
  spec.ipPort = 40000 + (serial & 0xFF);
  return spec;
}

std::string bytesOf(const linkSpec& spec) { return LoopbackDiscoveryResponder::BytesOf(spec); }

int searchLocally(CollectedSpecs& c, uint32_t networkInterface = 0) {
  return aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &c, networkInterface);
}

TEST(LoopbackSearch, FindsAServerAtItsPortOffset) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  const linkSpec served = sharedSpec(0x1234ABCD);
  LoopbackDiscoveryResponder server(3, bytesOf(served));
  ASSERT_TRUE(server.bound());
  for (uint32_t networkInterface : {0u, static_cast<uint32_t>(htonl(INADDR_LOOPBACK))}) {
    CollectedSpecs c;
    EXPECT_EQ(searchLocally(c, networkInterface), 1);
    ASSERT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(bytesOf(c.specs[0]), bytesOf(served));
  }
  linkSpec* found = aDiscovery_FindModule(AWEAVE, 0x1234ABCD, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->ipPort, served.ipPort);
  aLinkSpec_Destroy(&found);
}

TEST(LoopbackSearch, ReportsEachSerialNumberOnceAndOnlyLoopbackAnswers) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder first(0, bytesOf(sharedSpec(0x11111111)));
  LoopbackDiscoveryResponder again(4, bytesOf(sharedSpec(0x11111111)));
  LoopbackDiscoveryResponder remote(7, bytesOf(sharedSpec(0x33333333, inet_addr("10.1.2.3"))));
  LoopbackDiscoveryResponder shortAnswer(9, bytesOf(sharedSpec(0x44444444)).substr(0, 100));
  LoopbackDiscoveryResponder other(12, bytesOf(sharedSpec(0x22222222)));
  CollectedSpecs c;
  EXPECT_EQ(searchLocally(c), 2);
  ASSERT_EQ(c.specs.size(), 2u);
  EXPECT_EQ(c.specs[0].serialNumber, 0x11111111u);
  EXPECT_EQ(c.specs[1].serialNumber, 0x22222222u);
  EXPECT_EQ(again.requests(), 1);  // it was asked; its answer was a repeat
}

TEST(LoopbackSearch, StopEndsTheSearchAtOnce) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder first(1, bytesOf(sharedSpec(0x11111111)));
  LoopbackDiscoveryResponder second(2, bytesOf(sharedSpec(0x22222222)));
  CollectedSpecs c;
  c.stopAfter = 1;
  EXPECT_EQ(searchLocally(c), 1);
  EXPECT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(second.requests(), 0);
}

TEST(LoopbackSearch, WithoutServersFindsNothingQuickly) {
  RUN_INSIDE_NETNS();
  CollectedSpecs c;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(searchLocally(c), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(aDiscovery_FindFirstModule(AWEAVE, 0), nullptr);
}

// A link server's beacon in publishing state: its 128-byte specifier every 100 ms on port 8585.
class BeaconPublisher {
 public:
  explicit BeaconPublisher(const linkSpec& spec) {
    EXPECT_TRUE(zBeaconInterface_setAndLock("10.231.0.1"));
    beacon_ = zactor_new(zbeacon, nullptr);
    zsock_send(beacon_, "si", "CONFIGURE", 8585);
    char* host = zstr_recv(beacon_);
    zBeaconInterface_unlock();
    EXPECT_STREQ(host, "10.231.0.1");
    zstr_free(&host);
    zsock_send(beacon_, "sbi", "PUBLISH", reinterpret_cast<const byte*>(&spec), sizeof spec, 100);
  }
  ~BeaconPublisher() { zactor_destroy(&beacon_); }

 private:
  zactor_t* beacon_ = nullptr;
};

TEST(BeaconSearch, ReportsAServerOnceThoughItPublishesOften) {
  RUN_INSIDE_NETNS();
  const linkSpec served = sharedSpec(0x0000CAFE, kNamespaceInterface);
  BeaconPublisher server(served);
  zBeaconInterface_setAndLock("*");
  zBeaconInterface_unlock();
  CollectedSpecs c;
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &c, kNamespaceInterface), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(bytesOf(c.specs[0]), bytesOf(served));
  EXPECT_STREQ(zBeaconInterface_get(), "*");  // the search put the previous interface back
}

TEST(BeaconSearch, StopEndsTheSearchAtOnce) {
  RUN_INSIDE_NETNS();
  BeaconPublisher one(sharedSpec(0x0000CAFE, kNamespaceInterface));
  BeaconPublisher two(sharedSpec(0x0000BEEF, kNamespaceInterface));
  CollectedSpecs c;
  c.stopAfter = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, CollectSpec, &c, kNamespaceInterface), 1);
  EXPECT_EQ(c.specs.size(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

}  // namespace
