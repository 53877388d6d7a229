// A Link to a module on the simulated USB bus (the libusb stand-in and the device simulator).

#include <gtest/gtest.h>

#include <stdlib.h>

#include "LinkTestSupport.h"
#include "TempDir.h"

namespace {

using namespace linktest;
using Tessaron::Axonforge::aWeaveConfig;

class LinkOverUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    devsim::DevSimConfig config;
    config.usbDir = dir.path();
    devsim::ModuleSpec module;
    module.serial = kSimSerial;
    module.model = kSimModel;
    module.address = kSimAddress;
    module.usb = true;
    module.heartbeatInterval = 0;
    config.modules.push_back(module);
    sim = std::make_unique<devsim::DevSim>(config);
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
    setenv("AXONFORGE_USBSIM_DIR", dir.path().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("AXONFORGE_USBSIM_DIR");
    sim->stop();
  }
  // A Link that opens the device itself rather than through a link server, and never falls
  // back to a shared-link search (multicast) outside a network namespace.
  static void unshared(Link& link) {
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    ASSERT_EQ(link.setConfig(config), aErrNone);
  }

  TempDir dir;
  std::unique_ptr<devsim::DevSim> sim;
};

TEST_F(LinkOverUsb, DiscoversConnectsAndTalksToTheModule) {
  Link link("usb");
  unshared(link);
  ASSERT_EQ(link.discoverAndConnect(USB, kSimSerial), aErrNone);
  linkSpec found{};
  ASSERT_EQ(link.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.type, USB);
  EXPECT_EQ(found.usbId, kSimSerial);
  EXPECT_EQ(found.model, kSimModel);

  uint8_t address = 0;
  ASSERT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);
  uei request = Record(kSimAddress, kSystem, 9 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
  ASSERT_EQ(link.sendUEI(request), aErrNone);
  uei reply = Record(kSimAddress, kSystem, 9, 0);
  ASSERT_EQ(link.receiveUEI(kSimAddress, kSystem, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intVal, kSimSerial);

  // By model, without a serial number: the device's engine link is shared.
  Link byModel("usb by model");
  unshared(byModel);
  EXPECT_EQ(byModel.discoverAndConnect(USB, 0, 5), aErrNotFound);
  ASSERT_EQ(byModel.discoverAndConnect(USB, 0, kSimModel), aErrNone);
  link.disconnect();
  EXPECT_EQ(byModel.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);
}

TEST_F(LinkOverUsb, AnUnpluggedDeviceIsNotFound) {
  ASSERT_TRUE(sim->setUsbPlugged(kSimSerial, false));
  Link link("usb");
  unshared(link);
  EXPECT_EQ(link.discoverAndConnect(USB, kSimSerial), aErrNotFound);
  linkSpec spec{};
  spec.type = USB;
  spec.serialNumber = spec.usbId = kSimSerial;
  ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection);
}

}  // namespace
