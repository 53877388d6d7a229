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

std::string bytesOf(const linkSpec& spec) { return std::string(reinterpret_cast<const char*>(&spec), sizeof spec); }

// A link server's loopback discovery answerer at port offset k: it holds 9850 + k, and answers
// each 4-byte request 0xABCDDCBA (host order) by sending `answer` to 224.0.0.7 port 9950 + k.
class LoopbackResponder {
 public:
  LoopbackResponder(uint16_t offset, const std::string& answer) : offset_(offset), answer_(answer) {
    listener_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local = address(htonl(INADDR_ANY), 9850 + offset);
    struct ip_mreq membership;
    inet_pton(AF_INET, "224.0.0.7", &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = bind(listener_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0 &&
             setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    struct in_addr loopback;
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackResponder() {
    stop_ = true;
    thread_.join();
    close(listener_);
    close(sender_);
  }
  bool bound() const { return bound_; }
  int requests() const { return requests_; }

 private:
  static struct sockaddr_in address(uint32_t ip, uint16_t port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip;
    a.sin_port = htons(port);
    return a;
  }
  void serve() {
    while (!stop_) {
      struct pollfd p = {listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint32_t request = 0;
      if (recv(listener_, &request, sizeof request, 0) != sizeof request || request != 0xABCDDCBAu) continue;
      ++requests_;
      struct sockaddr_in group = address(0, 9950 + offset_);
      inet_pton(AF_INET, "224.0.0.7", &group.sin_addr);
      sendto(sender_, answer_.data(), answer_.size(), 0, reinterpret_cast<struct sockaddr*>(&group), sizeof group);
    }
  }
  uint16_t offset_;
  std::string answer_;
  int listener_ = -1, sender_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

struct Collected {
  std::vector<linkSpec> specs;
  bool stopAtFirst = false;
};

uint8_t collect(const linkSpec* spec, uint8_t* matched, void* reference) {
  Collected* c = static_cast<Collected*>(reference);
  c->specs.push_back(*spec);
  *matched = 1;
  return c->stopAtFirst ? 0 : 1;
}

int searchLocally(Collected& c, uint32_t networkInterface = 0) {
  return aDiscovery_EnumerateModules(AWEAVE, collect, &c, networkInterface);
}

TEST(LoopbackSearch, FindsAServerAtItsPortOffset) {
  RUN_INSIDE_NETNS();
  const linkSpec served = sharedSpec(0x1234ABCD);
  LoopbackResponder server(3, bytesOf(served));
  ASSERT_TRUE(server.bound());
  for (uint32_t networkInterface : {0u, static_cast<uint32_t>(htonl(INADDR_LOOPBACK))}) {
    Collected c;
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
  RUN_INSIDE_NETNS();
  LoopbackResponder first(0, bytesOf(sharedSpec(0x11111111)));
  LoopbackResponder again(4, bytesOf(sharedSpec(0x11111111)));
  LoopbackResponder remote(7, bytesOf(sharedSpec(0x33333333, inet_addr("10.1.2.3"))));
  LoopbackResponder shortAnswer(9, bytesOf(sharedSpec(0x44444444)).substr(0, 100));
  LoopbackResponder other(12, bytesOf(sharedSpec(0x22222222)));
  Collected c;
  EXPECT_EQ(searchLocally(c), 2);
  ASSERT_EQ(c.specs.size(), 2u);
  EXPECT_EQ(c.specs[0].serialNumber, 0x11111111u);
  EXPECT_EQ(c.specs[1].serialNumber, 0x22222222u);
  EXPECT_EQ(again.requests(), 1);  // it was asked; its answer was a repeat
}

TEST(LoopbackSearch, StopEndsTheSearchAtOnce) {
  RUN_INSIDE_NETNS();
  LoopbackResponder first(1, bytesOf(sharedSpec(0x11111111)));
  LoopbackResponder second(2, bytesOf(sharedSpec(0x22222222)));
  Collected c;
  c.stopAtFirst = true;
  EXPECT_EQ(searchLocally(c), 1);
  EXPECT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(second.requests(), 0);
}

TEST(LoopbackSearch, WithoutServersFindsNothingQuickly) {
  RUN_INSIDE_NETNS();
  Collected c;
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
  Collected c;
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &c, kNamespaceInterface), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(bytesOf(c.specs[0]), bytesOf(served));
  EXPECT_STREQ(zBeaconInterface_get(), "*");  // the search put the previous interface back
}

TEST(BeaconSearch, StopEndsTheSearchAtOnce) {
  RUN_INSIDE_NETNS();
  BeaconPublisher one(sharedSpec(0x0000CAFE, kNamespaceInterface));
  BeaconPublisher two(sharedSpec(0x0000BEEF, kNamespaceInterface));
  Collected c;
  c.stopAtFirst = true;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &c, kNamespaceInterface), 1);
  EXPECT_EQ(c.specs.size(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

}  // namespace
