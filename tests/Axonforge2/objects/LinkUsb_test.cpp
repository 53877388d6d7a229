// A Link to a module on the simulated USB bus (the libusb stand-in and the device simulator).

#include <gtest/gtest.h>

#include <stdlib.h>

#include "LinkTestSupport.h"
#include "TempDir.h"

namespace {

using namespace linktest;

TEST(LinkOverUsb, FindsTheModuleBySerialNumberOrModelAndTalksToIt) {
  TempDir dir;
  devsim::DevSimConfig config;
  config.usbDir = dir.path();
  devsim::ModuleSpec module;
  module.serial = kSimSerial;
  module.model = kSimModel;
  module.address = kSimAddress;
  module.usb = true;
  module.heartbeatInterval = 0;
  config.modules.push_back(module);
  devsim::DevSim sim(config);
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;
  setenv("AXONFORGE_USBSIM_DIR", dir.path().c_str(), 1);

  // Opened directly rather than through a link server, and never falling back to a shared-link
  // search (multicast) outside a network namespace.
  Tessaron::Axonforge::aWeaveConfig direct;
  direct.enabled = false;
  direct.fallback = false;
  Link bySerial("by serial"), byModel("by model");
  ASSERT_EQ(bySerial.setConfig(direct), aErrNone);
  ASSERT_EQ(byModel.setConfig(direct), aErrNone);
  ASSERT_EQ(bySerial.discoverAndConnect(USB, kSimSerial), aErrNone);
  linkSpec found{};
  ASSERT_EQ(bySerial.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.type, USB);
  EXPECT_EQ(found.usbId, kSimSerial);
  uei request = Record(kSimAddress, kSystem, 9 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
  ASSERT_EQ(bySerial.sendUEI(request), aErrNone);
  uei reply = Record(kSimAddress, kSystem, 9, 0);
  ASSERT_EQ(bySerial.receiveUEI(kSimAddress, kSystem, 9, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intVal, kSimSerial);

  EXPECT_EQ(byModel.discoverAndConnect(USB, 0, 5), aErrNotFound);  // other models are skipped
  ASSERT_EQ(byModel.discoverAndConnect(USB, 0, kSimModel), aErrNone);
  uint8_t address = 0;
  EXPECT_EQ(byModel.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kSimAddress);

  byModel.disconnect();
  bySerial.disconnect();
  ASSERT_TRUE(sim.setUsbPlugged(kSimSerial, false));
  EXPECT_EQ(bySerial.discoverAndConnect(USB, kSimSerial), aErrNotFound);
  unsetenv("AXONFORGE_USBSIM_DIR");
  sim.stop();
}

}  // namespace
