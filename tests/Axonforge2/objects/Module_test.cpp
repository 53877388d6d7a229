// Module: connecting, auto-networking and the system queries, against the device simulator and,
// where a device has to misbehave, a scripted module.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "FakeModule.h"
#include "FastClock.h"
#include "FdCapture.h"
#include "LoopbackServer.h"
#include "ModuleTestSupport.h"
#include "SystemClass.h"
#include "TempDir.h"
#include "aDebug.h"
#include "aLink.h"

using namespace moduletest;
using Tessaron::Axonforge::SystemClass;
using Tessaron::Axonforge::aWeaveConfig;

namespace {

uint32_t SerialThroughSystemEntity(Module& module) {
  SystemClass system;
  EXPECT_EQ(system.init(&module, 0), aErrNone);
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
  return serial;
}

TEST(ModuleConnect, TheModuleAddressIsLearnedOnlyInNetworkingMode) {
  Simulator sim({kDirectModule});
  Module module(2, false, 0);
  ASSERT_EQ(module.connectFromSpec(sim.tcpSpec(kDirectSerial)), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 2);
  EXPECT_EQ(sim.sentByHost("AD 00"), 0u) << "no address query";
  uint32_t build = 0;
  module.getLink()->setClock(FastClock::Make());
  EXPECT_EQ(module.getBuild(&build), aErrTimeout) << "nobody answers at address 2";
  module.getLink()->setClock(nullptr);

  module.setNetworkingMode(true);
  EXPECT_EQ(module.disconnect(), aErrNone);
  ASSERT_EQ(module.reconnect(), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), kDirectAddress);
  EXPECT_EQ(module.getStatus(), static_cast<uint32_t>(LINK_RUNNING));
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, kDirectBuild);
  EXPECT_EQ(module.connectFromSpec(sim.tcpSpec(kDirectSerial)), aErrBusy);
}

TEST(ModuleConnect, AnUnansweredAddressQueryIsTriedFourTimes) {
  LoopbackServer silent;
  linkSpec spec{};
  spec.type = TCPIP;
  spec.ipAddress = LoopbackServer::Address();
  spec.ipPort = silent.port();
  Module module(4, 0);
  aAxonforgeDebuggingEnable = 1;
  aAxonforgeDebuggingLevel = 0x40;
  FdCapture out(1, FdCapture::ToFile);
  EXPECT_EQ(module.connectFromSpec(spec), aErrNotReady);
  EXPECT_NE(out.Finish().find("BOO! Failed to autoNetwork"), std::string::npos);
  aAxonforgeDebuggingEnable = 0;
  EXPECT_EQ(module.getModuleAddress(), 4);

  const int fd = silent.Accept();
  ASSERT_GE(fd, 0);
  const std::string bytes = LoopbackServer::Receive(fd, 100, 200);
  size_t queries = 0;
  for (size_t at = bytes.find("\xAD", 0); at != std::string::npos; at = bytes.find("\xAD", at + 1)) ++queries;
  EXPECT_EQ(queries, 4u);
}

TEST(ModuleConnect, RefusesBadArgumentsAndTalksOnlyWhenConnected) {
  Module module(2, 0);
  EXPECT_EQ(module.connect(TCPIP, 0), aErrParam);
  EXPECT_EQ(module.getStatus(), static_cast<uint32_t>(LINK_PACKET_ERROR));
  const uint8_t data[] = {1, 2, 3};
  uint32_t build = 7;
  uint8_t count = 9;
  EXPECT_EQ(module.debug(data, sizeof data), aErrConnection);
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(build, 7u);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0), aErrConnection);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0xC0), aErrParam);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0x01), aErrParam);
  EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0) << "cleared first";
  EXPECT_EQ(module.reconnect(), aErrConfiguration) << "no specifier to reconnect with";
}

TEST(ModuleQueries, EchoUEIPresenceAndEntityCounts) {
  Simulator sim({kDirectModule});
  auto module = ConnectedModule(sim, kDirectSerial);
  uint8_t longest[27];
  for (size_t i = 0; i < sizeof longest; ++i) longest[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(module->debug(longest, sizeof longest), aErrNone);
  const size_t sent = sim.sentByHost();
  uint8_t tooLong[28] = {};
  EXPECT_EQ(module->debug(tooLong, sizeof tooLong), aErrParam);
  EXPECT_EQ(sim.sentByHost(), sent) << "refused before sending";

  EXPECT_EQ(module->hasUEI(3, 8, 0, 0x40), aErrNone);
  EXPECT_EQ(module->hasUEI(3, 8, 0, 0x80), aErrInvalidOption) << "the model is read-only";
  EXPECT_EQ(module->hasUEI(3, 8, 1, 0), aErrIndexRange);
  EXPECT_EQ(sim.sentByHost("06 06 49 01 03 08 00 40"), 1u);
  uint8_t n = 0xFF;
  EXPECT_EQ(module->classQuantity(3, &n), aErrNone);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(module->entityGroup(3, 0, &n), aErrNone);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(sim.sentByHost("06 04 49 06 03 00"), 1u);
}

TEST(ModuleQueries, MalformedRepliesAreNotTakenAsAnswers) {
  using linktest::WirePacket;
  linktest::FakeModule fake(6);
  fake.setHandler([](const WirePacket& request) -> std::vector<WirePacket> {
    linktest::Bytes d = request.data;
    if (d == linktest::Bytes{0x49, 0xFF}) return {{6, {0x49, 0xFF, 0, 0, 1}}};  // a byte short
    if (d.size() == 6) return {{6, {0x49, 1, d[2], 9, d[4], 0}}};               // another option
    if (d.size() == 3) return {{6, {0x49, 4, d[2]}}};                           // no count
    d.back() ^= 1;                                                              // a wrong echo
    return {{6, d}};
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
  uint32_t build = 5;
  EXPECT_EQ(module.getBuild(&build), aErrSize);
  EXPECT_EQ(build, 5u);
  EXPECT_EQ(module.hasUEI(3, 8, 0, 0), aErrUnknown);
  uint8_t count = 7;
  EXPECT_EQ(module.classQuantity(3, &count), aErrUnknown);
  EXPECT_EQ(count, 0);
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(module.debug(data, sizeof data), aErrIO);
}

TEST(ModuleRouting, AModuleBehindARouterAnswersThroughTheRoutersLink) {
  Simulator sim({kRouterModule, kBehindModule});
  auto router = ConnectedModule(sim, kRouterSerial);
  ASSERT_EQ(router->getModuleAddress(), kRouterAddress);
  Module behind(kBehindAddress, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(*router), aErrNone);
  EXPECT_FALSE(behind.getNetworkingMode()) << "the router would answer an address query";
  EXPECT_EQ(SerialThroughSystemEntity(behind), kBehindSerial);
  EXPECT_EQ(SerialThroughSystemEntity(*router), kRouterSerial);
  EXPECT_EQ(sim.status(kRouterSerial).links, 1u) << "one connection serves both";

  // A TCP link is shared as it is, even with networking enabled in its config, so the stored
  // specifier still reaches the device after the router is gone and after a disconnect.
  linkSpec spec{};
  ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, TCPIP);
  router.reset();
  EXPECT_EQ(SerialThroughSystemEntity(behind), kBehindSerial);
  EXPECT_EQ(behind.disconnect(), aErrNone);
  ASSERT_EQ(behind.reconnect(), aErrNone);
  EXPECT_EQ(behind.getModuleAddress(), kBehindAddress);
  EXPECT_EQ(SerialThroughSystemEntity(behind), kBehindSerial);
}

TEST(ModuleRouting, AModuleBehindADirectUsbRouterAnswersThroughTheRoutersLink) {
  TempDir usbDir;
  setenv("AXONFORGE_USBSIM_DIR", usbDir.path().c_str(), 1);
  {
    Simulator sim({"serial=0x0000A001,model=5,address=2,usb,hb=0", kBehindModule},
                  [&](devsim::DevSimConfig& config) { config.usbDir = usbDir.path(); });
    aWeaveConfig direct;
    direct.enabled = direct.fallback = false;
    Module router(4, 0);
    ASSERT_EQ(router.setConfig(direct), aErrNone);
    ASSERT_EQ(router.connect(USB, kRouterSerial), aErrNone);
    EXPECT_EQ(router.getModuleAddress(), kRouterAddress);

    Module behind(kBehindAddress, 0);
    ASSERT_EQ(behind.connectThroughLinkModule(router), aErrNone);
    linkSpec spec{};
    ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, USB) << "a USB link opened directly is shared as it is";
    EXPECT_EQ(SerialThroughSystemEntity(behind), kBehindSerial);
    EXPECT_EQ(SerialThroughSystemEntity(router), kRouterSerial);
  }
  unsetenv("AXONFORGE_USBSIM_DIR");
}

TEST(ModuleRouting, AServedUsbLinkIsReachedAsAClientOfItsLinkServer) {
  Module router(2, 0);
  aWeaveConfig served;
  served.networkInterface = htonl(0x7F000002);
  served.assignedPort = 9123;
  ASSERT_EQ(router.setConfig(served), aErrNone);
  linkSpec usb{};
  usb.type = USB;
  usb.serialNumber = usb.usbId = kRouterSerial;
  ASSERT_EQ(router.getLink()->setLinkSpecifier(usb), aErrNone);

  // The router holds no connection, so sharing it fails; the specifier is prepared first.
  Module behind(kBehindAddress, 0);
  EXPECT_EQ(behind.connectThroughLinkModule(router), aErrInitialization);
  EXPECT_TRUE(behind.getNetworkingMode()) << "unchanged after a failure";
  linkSpec spec{};
  ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, AWEAVE);
  EXPECT_EQ(spec.ipAddress, served.networkInterface);
  EXPECT_EQ(spec.ipPort, 9123u);
  EXPECT_EQ(spec.serialNumber, kRouterSerial);
}

TEST(ModuleDiscovery, ConnectsBySerialNumberOrByModelOverUsb) {
  TempDir usbDir;
  setenv("AXONFORGE_USBSIM_DIR", usbDir.path().c_str(), 1);
  {
    Simulator sim({"serial=0x1234ABCD,model=17,address=6,usb,hb=0", "serial=0x00C0FFEE,model=24,address=4,usb,hb=0"},
                  [&](devsim::DevSimConfig& config) { config.usbDir = usbDir.path(); });
    aWeaveConfig direct;
    direct.enabled = direct.fallback = false;
    Module bySerial(2, 0);
    Module byModel(2, 24);
    Module absent(2, 0);
    for (Module* m : {&bySerial, &byModel, &absent}) ASSERT_EQ(m->setConfig(direct), aErrNone);
    ASSERT_EQ(bySerial.connect(USB, 0x1234ABCD), aErrNone);
    EXPECT_EQ(bySerial.getModuleAddress(), 6);
    EXPECT_EQ(SerialThroughSystemEntity(bySerial), 0x1234ABCDu);
    ASSERT_EQ(byModel.discoverAndConnect(USB, 0), aErrNone);
    EXPECT_EQ(byModel.getModuleAddress(), 4);
    EXPECT_EQ(absent.connect(USB, 0x0BADF00D), aErrNotFound);
  }
  unsetenv("AXONFORGE_USBSIM_DIR");
}

}  // namespace
