// Link construction, specifier and config rules, the connect procedure over each transport,
// sharing an engine link, the module-address query, and discovery with its fallback.

#include <gtest/gtest.h>

#include <string>

#include "FdCapture.h"
#include "FakeModule.h"
#include "LinkTestSupport.h"
#include "LoopbackDiscoveryResponder.h"
#include "Netns.h"
#include "aDebug.h"
#include "aLink.h"

namespace {

using namespace linktest;
using Tessaron::Axonforge::aWeaveConfig;

linkSpec specOfType(linkType type) {
  linkSpec spec{};
  spec.type = type;
  spec.serialNumber = 0x00C0FFEE;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = LoopbackServer::UnusedPort();
  return spec;
}

TEST(LinkObject, KeepsItsNameSpecifierAndConfigUntilConnected) {
  Link unnamed(nullptr);
  EXPECT_EQ(unnamed.getName(), nullptr);
  const std::string longName(1500, 'n');
  Link link(longName.c_str());
  EXPECT_EQ(std::string(link.getName()), longName.substr(0, Link::kMaxNameLength));

  linkSpec spec{};
  EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  const linkSpec wanted = specOfType(TCPIP);
  EXPECT_EQ(link.setLinkSpecifier(wanted), aErrNone);
  ASSERT_EQ(link.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(memcmp(&spec, &wanted, sizeof spec), 0);

  aWeaveConfig config;
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);
  ASSERT_EQ(link.getConfig(&config), aErrNone);
  EXPECT_TRUE(config.enabled);
  EXPECT_TRUE(config.fallback);
  EXPECT_TRUE(config.localOnly);
  EXPECT_EQ(config.assignedPort, 0);
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
  config.fallback = false;
  EXPECT_EQ(link.setConfig(config), aErrNone);
  aWeaveConfig back;
  link.getConfig(&back);
  EXPECT_FALSE(back.fallback);
  EXPECT_EQ(link.getStatus(), static_cast<uint32_t>(LINK_PACKET_ERROR));
}

TEST(LinkObject, EveryConversationRefusesWithoutAConnection) {
  Link link(specOfType(TCPIP), "idle");
  uei record = Record(2, 3, 0x41, 0x20);
  uint8_t byte = 0, buffer[28] = {}, length = 1;
  size_t size = 0;
  uint32_t value = 0;
  Tessaron::Axonforge::StreamStatusEntry entries[2];
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.sendUEI(record), aErrConnection);
  EXPECT_EQ(link.sendUEI(record, 1), aErrConnection);
  EXPECT_EQ(link.receiveUEI(2, 3, 1, 0, &record), aErrConnection);
  EXPECT_EQ(link.dropMatchingUEIPackets(2, 3, 1, 0), aErrConnection);
  EXPECT_EQ(link.sendPacket(2, 23, 1, buffer), aErrConnection);
  EXPECT_EQ(link.receivePacket(2, buffer, &length, buffer), aErrConnection);
  EXPECT_EQ(link.storeSlotCapacity(2, 0, 0, &size), aErrConnection);
  EXPECT_EQ(link.storeSlotSize(2, 0, 0, &size), aErrConnection);
  EXPECT_EQ(link.loadStoreSlot(2, 0, 0, buffer, 1), aErrConnection);
  EXPECT_EQ(link.unloadStoreSlot(2, 0, 0, buffer, 1, &size), aErrConnection);
  EXPECT_EQ(link.getFactoryData(2, 0, buffer, sizeof buffer, &size), aErrConnection);
  EXPECT_EQ(link.setFactoryData(2, 0, buffer, 1), aErrConnection);
  EXPECT_EQ(link.getModuleAddress(&byte), aErrNotReady);
  EXPECT_EQ(link.getStreamStatus(2, 3, 0xFF, 0, 0xFF, entries, 2, &size), aErrConnection);
  EXPECT_EQ(link.enableStream(2, 3, 1, 0, true), aErrConnection);
  EXPECT_EQ(link.getStreamValue(2, 3, 1, 0, 0, &value), aErrNotFound);  // nothing registered
  EXPECT_EQ(link.enablePacketLog("/dev/null"), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
}

TEST(LinkObject, TransportsThatCannotBeOpenedGiveDistinctErrors) {
  struct Case {
    linkType type;
    bool shared;
    aErr expected;
  };
  const Case cases[] = {
      {TCPIP, true, aErrConnection},         // nothing listens on the port
      {AWEAVE, false, aErrConfiguration},    // a shared link needs networking enabled
      {AWEAVE, true, aErrUnimplemented},     // no link-sharing client in the engine yet
      {USB, true, aErrUnimplemented},        // no link server in the engine yet
      {USB, false, aErrConnection},          // no such USB device (simulated bus is empty)
      {INVALID, true, aErrMode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " shared " << c.shared);
    Link link(specOfType(c.type), "unreachable");
    aWeaveConfig config;
    config.enabled = c.shared;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.connect(), c.expected);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), static_cast<uint32_t>(LINK_PACKET_ERROR));  // no engine link kept
  }
}

using LinkConnected = SimulatedModule;

TEST_F(LinkConnected, ConnectsOverTcpAndRefusesChangesUntilDisconnected) {
  EXPECT_TRUE(link->isConnected());
  EXPECT_EQ(link->getStatus(), static_cast<uint32_t>(LINK_RUNNING));
  EXPECT_EQ(link->connect(), aErrConnection);  // already holds a link
  EXPECT_EQ(link->setLinkSpecifier(spec()), aErrBusy);
  EXPECT_EQ(link->setConfig(aWeaveConfig()), aErrMode);

  uint8_t address = 0;
  EXPECT_EQ(link->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);

  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_FALSE(link->isConnected());
  EXPECT_EQ(link->setLinkSpecifier(spec()), aErrNone);
  ASSERT_EQ(link->connect(), aErrNone);
  uei reply{};
  EXPECT_EQ(get(8, &reply), aErrNone);
  EXPECT_EQ(reply.value.byteVal, kSimModel);
}

TEST_F(LinkConnected, ASecondLinkSharesTheEngineConnectionOfTheFirst) {
  Link idle("idle");
  Link second(spec(), "second");
  EXPECT_EQ(second.connectThroughLinkModule(idle), aErrInitialization);
  ASSERT_EQ(second.connectThroughLinkModule(*link), aErrNone);
  EXPECT_TRUE(second.isConnected());
  EXPECT_EQ(second.connectThroughLinkModule(*link), aErrConnection);

  // One engine link, two users: the first letting go leaves the second working.
  ASSERT_EQ(link->disconnect(), aErrNone);
  EXPECT_TRUE(second.isConnected());
  uei request = Record(kSimAddress, kSystem, 9 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
  ASSERT_EQ(second.sendUEI(request), aErrNone);
  uei reply = Record(kSimAddress, kSystem, 9, 0);
  ASSERT_EQ(second.receiveUEI(kSimAddress, kSystem, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intVal, kSimSerial);
}

TEST(LinkObject, SharingALinkWithoutASpecifierLeavesTheOtherLinkAlone) {
  FakeModule device;
  Link first(device.spec(), "first");
  ASSERT_EQ(first.connect(), aErrNone);
  {
    Link second("no specifier");
    EXPECT_EQ(second.connectThroughLinkModule(first), aErrConfiguration);
  }  // destroying it must not release the first link's engine connection
  EXPECT_TRUE(first.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(first.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, device.address());
}

// ---- discovery (multicast: only inside a private network namespace) ----

linkSpec sharedSpec(uint32_t serial) {
  linkSpec spec{};
  spec.type = AWEAVE;
  spec.serialNumber = serial;
  spec.model = 17;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = 40001;
  return spec;
}

TEST(LinkDiscovery, AUsbSearchThatFindsNothingFallsBackToSharedLinksOnce) {
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder server(0, LoopbackDiscoveryResponder::BytesOf(sharedSpec(0x00ABCDEF)));
  ASSERT_TRUE(server.bound());
  aAxonforgeDebuggingEnable = 1;
  aAxonforgeDebuggingLevel = 1;
  FdCapture out(1, FdCapture::ToFile);
  Link link("fallback");
  // Found as a shared link, whose client connection the engine cannot make yet.
  const aErr result = link.discoverAndConnect(USB, 0x00ABCDEF);
  const std::string printed = out.Finish();
  aAxonforgeDebuggingEnable = 0;
  EXPECT_EQ(result, aErrUnimplemented);
  EXPECT_NE(printed.find("Executing Fallback: aWeave\n"), std::string::npos) << printed;
  EXPECT_EQ(server.requests(), 1);
  linkSpec stored{};
  ASSERT_EQ(link.getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.type, AWEAVE);
  EXPECT_EQ(stored.ipPort, 40001u);
}

TEST(LinkDiscovery, WithoutFallbackOnlyTheRequestedTransportIsSearched) {
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder server(0, LoopbackDiscoveryResponder::BytesOf(sharedSpec(0x00ABCDEF)));
  Link link("no fallback");
  aWeaveConfig config;
  config.fallback = false;
  link.setConfig(config);
  EXPECT_EQ(link.discoverAndConnect(USB, 0x00ABCDEF), aErrNotFound);
  EXPECT_EQ(server.requests(), 0);
  linkSpec stored{};
  EXPECT_EQ(link.getLinkSpecifier(&stored), aErrNotFound);

  // Fallback applies only between USB and shared links: a network search is not retried.
  config.fallback = true;
  link.setConfig(config);
  EXPECT_EQ(link.discoverAndConnect(SERIAL, 0x00ABCDEF), aErrNotFound);
  EXPECT_EQ(server.requests(), 0);
}

class NetworkModules : public ::testing::Test {
 protected:
  // Two network modules of different models that answer the network module query.
  void start() {
    devsim::DevSimConfig config;
    for (auto [serial, model, address] : {std::tuple<uint32_t, uint8_t, uint8_t>{0x11110001, 17, 4},
                                          std::tuple<uint32_t, uint8_t, uint8_t>{0x22220002, 5, 8}}) {
      devsim::ModuleSpec module;
      module.serial = serial;
      module.model = model;
      module.address = address;
      module.tcpPort = 0;
      module.heartbeatInterval = 0;
      config.modules.push_back(module);
    }
    config.discovery = true;
    // Discovery reports the address the answer came from (the namespace's own interface), so
    // the modules listen on every address of the private namespace.
    config.bindAddress = "0.0.0.0";
    sim = std::make_unique<devsim::DevSim>(config);
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
  }
  void TearDown() override {
    if (sim) sim->stop();
  }
  std::unique_ptr<devsim::DevSim> sim;
};

TEST_F(NetworkModules, DiscoverAndConnectFindsAModuleBySerialNumberOrByModel) {
  RUN_INSIDE_NETNS();
  start();
  Link bySerial("by serial");
  ASSERT_EQ(bySerial.discoverAndConnect(TCPIP, 0x22220002), aErrNone);
  uint8_t address = 0;
  EXPECT_EQ(bySerial.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 8);

  Link byModel("by model");
  ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0, 17), aErrNone);
  EXPECT_EQ(byModel.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 4);
  linkSpec found{};
  ASSERT_EQ(byModel.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.serialNumber, 0x11110001u);
  EXPECT_EQ(found.ipPort, sim->tcpPort(0x11110001));

  Link missing("missing");
  EXPECT_EQ(missing.discoverAndConnect(TCPIP, 0, 99), aErrNotFound);
}

}  // namespace
