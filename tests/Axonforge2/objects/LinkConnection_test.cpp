// Link specifier and config rules, the connect procedure, sharing an engine link, the
// module-address query, and discovery with its fallback.

#include <gtest/gtest.h>

#include <string>

#include "FakeModule.h"
#include "FdCapture.h"
#include "LinkFactoryData.h"
#include "LinkPacketLog.h"
#include "LinkStoreSlots.h"
#include "LinkTestSupport.h"
#include "LoopbackDiscoveryResponder.h"
#include "Netns.h"
#include "aDebug.h"
#include "aLink.h"
#include "LoopbackLinkSpec.h"

namespace {

using namespace linktest;
using Tessaron::Axonforge::aWeaveConfig;

linkSpec specOfType(linkType type) {
  return LoopbackLinkSpec(type, 0x00C0FFEE, LoopbackServer::UnusedPort());
}

TEST(LinkObject, WithoutAConnectionEveryConversationIsRefused) {
  Link link("idle");
  EXPECT_EQ(link.connect(), aErrConfiguration);  // no specifier yet
  ASSERT_EQ(link.setLinkSpecifier(specOfType(TCPIP)), aErrNone);
  uei record = Record(2, 3, 0x41, 0x20);
  uint8_t byte = 0, buffer[28] = {}, length = 1;
  size_t size = 0;
  EXPECT_EQ(link.sendUEI(record), aErrConnection);
  EXPECT_EQ(link.receiveUEI(2, 3, 1, 0, &record), aErrConnection);
  EXPECT_EQ(link.sendPacket(2, 23, 1, buffer), aErrConnection);
  EXPECT_EQ(link.receivePacket(2, buffer, &length, buffer), aErrConnection);
  EXPECT_EQ(Tessaron::Axonforge::LinkStoreSlots(link).load(2, 0, 0, buffer, 1), aErrConnection);
  EXPECT_EQ(Tessaron::Axonforge::LinkFactoryData(link).get(2, 0, buffer, sizeof buffer, &size), aErrConnection);
  EXPECT_EQ(link.streams()->enableStream(2, 3, 1, 0, true), aErrConnection);
  EXPECT_EQ(link.getModuleAddress(&byte), aErrNotReady);
  EXPECT_EQ(link.packetLog()->enable("/dev/null"), aErrConfiguration);
  EXPECT_EQ(link.getStatus(), static_cast<uint32_t>(LINK_PACKET_ERROR));
}

TEST(LinkObject, TransportsThatCannotBeOpenedGiveDistinctErrors) {
  struct Case {
    linkType type;
    bool shared;
    aErr expected;
  };
  const Case cases[] = {
      {TCPIP, true, aErrConnection},       // nothing listens on the port
      {AWEAVE, false, aErrConfiguration},  // a shared link needs networking enabled
      {AWEAVE, true, aErrConnection},      // no link server listens there
      {USB, true, aErrConnection},         // no device to serve
      {USB, false, aErrConnection},        // no such device on the (empty) simulated bus
      {INVALID, true, aErrMode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " shared " << c.shared);
    Link link(specOfType(c.type), "unreachable");
    aWeaveConfig config;
    config.enabled = c.shared;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.connect(), c.expected);
    EXPECT_EQ(link.getStatus(), static_cast<uint32_t>(LINK_PACKET_ERROR));  // no engine link kept
  }
}

using LinkConnected = SimulatedModule;

TEST_F(LinkConnected, RefusesChangesUntilDisconnectedAndConnectsAgain) {
  EXPECT_EQ(link->getStatus(), static_cast<uint32_t>(LINK_RUNNING));
  EXPECT_EQ(link->connect(), aErrConnection);  // already holds a link
  EXPECT_EQ(link->setLinkSpecifier(spec()), aErrBusy);
  EXPECT_EQ(link->setConfig(aWeaveConfig()), aErrMode);
  uint8_t address = 0;
  EXPECT_EQ(link->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);

  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_FALSE(link->isConnected());
  EXPECT_EQ(link->setConfig(aWeaveConfig()), aErrNone);
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
  EXPECT_EQ(second.connectThroughLinkModule(*link), aErrConnection);
  {
    Link third("no specifier");
    EXPECT_EQ(third.connectThroughLinkModule(*link), aErrConfiguration);
  }  // and it must not take a use of the first link's connection with it

  // A shared-link specifier shares the other Link's engine connection as it is.
  Link client(specOfType(AWEAVE), "client");
  ASSERT_EQ(client.connectThroughLinkModule(*link), aErrNone);
  EXPECT_EQ(client.getLinkId(), link->getLinkId());
  EXPECT_EQ(client.disconnect(), aErrNone);
  EXPECT_TRUE(link->isConnected());

  // One engine link, two users: the first letting go leaves the second working.
  ASSERT_EQ(link->disconnect(), aErrNone);
  uint8_t address = 0;
  EXPECT_EQ(second.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);
}

// ---- discovery fallback (multicast: only inside a private network namespace) ----

class LinkDiscovery : public ::testing::Test {
 protected:
  static std::string sharedDevice() {
    return LoopbackDiscoveryResponder::BytesOf(LoopbackLinkSpec(AWEAVE, 0x00ABCDEF, 40001));
  }
};

TEST_F(LinkDiscovery, AUsbSearchThatFindsNothingFallsBackToSharedLinksOnce) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder server(0, sharedDevice());
  ASSERT_TRUE(server.bound());
  aAxonforgeDebuggingEnable = 1;
  aAxonforgeDebuggingLevel = 1;
  FdCapture out(1, FdCapture::ToFile);
  Link link("fallback");
  const aErr result = link.discoverAndConnect(USB, 0x00ABCDEF);
  const std::string printed = out.Finish();
  aAxonforgeDebuggingEnable = 0;
  // Found as a shared link, whose server the responder only pretends to be.
  EXPECT_EQ(result, aErrConnection);
  EXPECT_NE(printed.find("Executing Fallback: aWeave\n"), std::string::npos) << printed;
  EXPECT_EQ(server.requests(), 1);
  linkSpec stored{};
  ASSERT_EQ(link.getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.type, AWEAVE);
  EXPECT_EQ(stored.ipPort, 40001u);
}

TEST_F(LinkDiscovery, WithoutFallbackOnlyTheRequestedTransportIsSearched) {
  RUN_INSIDE_NETNS();
  LoopbackDiscoveryResponder server(0, sharedDevice());
  Link link("no fallback");
  aWeaveConfig config;
  config.fallback = false;
  link.setConfig(config);
  EXPECT_EQ(link.discoverAndConnect(USB, 0x00ABCDEF), aErrNotFound);
  EXPECT_EQ(server.requests(), 0);
  linkSpec stored{};
  EXPECT_EQ(link.getLinkSpecifier(&stored), aErrNotFound);
}

}  // namespace
