// The network module query against a responder written from the datagram formats, inside a
// private network namespace (its veth interface 10.231.0.1 carries the multicast query).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CollectedSpecs.h"
#include "DevSim.h"
#include "Netns.h"
#include "aNetworkDiscovery.h"

namespace {

std::string moduleReply(uint8_t address, uint16_t port, uint32_t serial, uint8_t model) {
  std::string r(16, '\0');
  r[0] = 0x7E;  // not interpreted
  r[1] = static_cast<char>(address);
  r[2] = static_cast<char>(port & 0xFF);
  r[3] = static_cast<char>(port >> 8);
  for (int i = 0; i < 4; ++i) r[4 + i] = static_cast<char>(serial >> (8 * i));
  r[12] = static_cast<char>(model);
  return r;
}

// Network modules answering the query: each 16-byte query (byte 0 = 1) to 232.2.2.2:9888 is
// answered with every reply in turn, sent to the querier's address on port 9889.
class ModuleResponder {
 public:
  explicit ModuleResponder(std::vector<std::string> replies) : replies_(std::move(replies)) {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(9888);
    struct ip_mreq membership;
    inet_pton(AF_INET, "232.2.2.2", &membership.imr_multiaddr);
    inet_pton(AF_INET, "10.231.0.1", &membership.imr_interface);
    ready_ = bind(socket_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) == 0 &&
             setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    thread_ = std::thread([this] { serve(); });
  }
  ~ModuleResponder() {
    stop_ = true;
    thread_.join();
    close(socket_);
  }
  bool ready() const { return ready_; }
  std::string lastQuery() {
    std::lock_guard<std::mutex> guard(lock_);
    return lastQuery_;
  }

 private:
  void serve() {
    while (!stop_) {
      struct pollfd p = {socket_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char query[64];
      struct sockaddr_in from;
      socklen_t fromLength = sizeof from;
      ssize_t n = recvfrom(socket_, query, sizeof query, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLength);
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> guard(lock_);
        lastQuery_ = std::string(query, static_cast<size_t>(n));
      }
      from.sin_port = htons(9889);
      for (const std::string& reply : replies_)
        sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<struct sockaddr*>(&from), sizeof from);
    }
  }
  std::vector<std::string> replies_;
  int socket_ = -1;
  bool ready_ = false;
  std::mutex lock_;
  std::string lastQuery_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ModuleReply, FieldsAreTakenLittleEndian) {
  const std::string reply = moduleReply(6, 0x1F2E, 0xA1B2C3D4, 15);
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseModuleReply(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(),
                                          inet_addr("10.0.0.9"), &spec));
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.module, 6u);
  EXPECT_EQ(spec.router, 6u);
  EXPECT_EQ(spec.ipPort, 0x1F2Eu);
  EXPECT_EQ(spec.serialNumber, 0xA1B2C3D4u);
  EXPECT_EQ(spec.routerSerialNumber, 0xA1B2C3D4u);
  EXPECT_EQ(spec.model, 15u);
  EXPECT_EQ(spec.ipAddress, inet_addr("10.0.0.9"));
}

TEST(ModuleReply, ShortRepliesHaveModel255AndTooShortOnesAreRefused) {
  const std::string reply = moduleReply(6, 8701, 0x1234, 15);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(reply.data());
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseModuleReply(bytes, 12, 0, &spec));
  EXPECT_EQ(spec.model, 255u);
  EXPECT_EQ(spec.serialNumber, 0x1234u);
  EXPECT_FALSE(aDiscovery_ParseModuleReply(bytes, 7, 0, &spec));
  EXPECT_FALSE(aDiscovery_ParseModuleReply(nullptr, 16, 0, &spec));
}

TEST(ModuleQuery, FindsTheModulesThatAnswerAndWaitsOutTheReplyTimeout) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  ModuleResponder modules({moduleReply(6, 8701, 0x0000AB01, 15), moduleReply(8, 8702, 0x0000AB02, 5)});
  ASSERT_TRUE(modules.ready());
  CollectedSpecs c;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, CollectSpec, &c, 0), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ(modules.lastQuery(), std::string("\x01", 1) + std::string(15, '\0'));
  ASSERT_EQ(c.specs.size(), 2u);
  EXPECT_EQ(c.specs[0].serialNumber, 0x0000AB01u);
  EXPECT_EQ(c.specs[0].module, 6u);
  EXPECT_EQ(c.specs[0].ipPort, 8701u);
  EXPECT_EQ(c.specs[0].model, 15u);
  EXPECT_EQ(c.specs[0].ipAddress, inet_addr("10.231.0.1"));
  EXPECT_EQ(c.specs[1].serialNumber, 0x0000AB02u);
}

TEST(ModuleQuery, StopEndsTheSearchAtOnce) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  ModuleResponder modules({moduleReply(6, 8701, 0x0000AB01, 15), moduleReply(8, 8702, 0x0000AB02, 5)});
  CollectedSpecs c;
  c.stopAfter = 1;
  auto start = std::chrono::steady_clock::now();
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x0000AB01, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->module, 6u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, CollectSpec, &c, 0), 1);
  EXPECT_EQ(c.specs.size(), 1u);
}

TEST(ModuleQuery, FindsSimulatedNetworkModules) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  devsim::DevSimConfig config;
  config.discovery = true;
  devsim::ModuleSpec module;
  module.serial = 0x0BAD0001;
  module.model = 5;
  module.address = 8;
  module.tcpPort = 0;
  config.modules.push_back(module);
  devsim::DevSim sim(config);
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x0BAD0001, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->module, 8u);
  EXPECT_EQ(found->model, 5u);
  EXPECT_EQ(found->ipPort, sim.tcpPort(0x0BAD0001));
  EXPECT_NE(found->ipAddress, 0u);
  aLinkSpec_Destroy(&found);
  sim.stop();
}

}  // namespace
