// The Updater's discovery helpers against the device simulator in-process: modules reached over
// loopback TCP, and a router on simulated USB (the libusb stand-in linked into this test).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "DevSim.h"
#include "Module.h"
#include "Netns.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"
#include "aDefs.h"
#include "aUSBStream.h"
#include "LoopbackLinkSpec.h"

namespace {

using Tessaron::Axonforge::Module;

constexpr uint32_t kRouter = 0xD272031D;

class UpdaterDiscovery : public ::testing::Test {
 protected:
  // Starts the simulator with these modules, its USB devices visible to this process. With
  // networkQuery it also answers the network module query (namespaces only).
  void Start(const std::vector<std::string>& modules, bool networkQuery = false) {
    devsim::DevSimConfig config;
    for (const std::string& text : modules) {
      devsim::ModuleSpec spec;
      std::string error;
      ASSERT_TRUE(devsim::ParseModuleSpec(text, &spec, &error)) << error;
      config.modules.push_back(spec);
    }
    config.usbDir = usbDir_.path();
    if (networkQuery) {
      config.discovery = true;
      config.bindAddress = "0.0.0.0";
    }
    setenv("AXONFORGE_USBSIM_DIR", usbDir_.path().c_str(), 1);
    sim_ = std::make_unique<devsim::DevSim>(config);
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
  }
  void TearDown() override {
    if (sim_) sim_->stop();
    unsetenv("AXONFORGE_USBSIM_DIR");
  }

  linkSpec TcpSpec(uint32_t serial) const { return LoopbackLinkSpec(TCPIP, serial, sim_->tcpPort(serial)); }

  TempDir usbDir_;
  std::unique_ptr<devsim::DevSim> sim_;
  RecordingDisplay display_;
  Updater updater_{"http://127.0.0.1:9/cgi/u", usbDir_.path(), display_};
};

TEST_F(UpdaterDiscovery, ReadsBuildVersionAndAddressesOfAConnectedModuleOnly) {
  Start({"serial=0x1234ABCD,model=17,address=6,build=4321,version=2.15.3,tcp=0,hb=0"});
  Module module(2, 0);
  ASSERT_EQ(Updater::_disableEther(module, display_), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(0x1234ABCD)), aErrNone);

  // A connected module refuses a new network configuration; the user is told.
  EXPECT_EQ(Updater::_disableEther(module, display_), aErrMode);
  EXPECT_EQ(display_.Errors(), std::vector<std::string>{"Failed to SET network configuration"});

  EXPECT_EQ(Updater::_get_build_number(module), 4321u);
  DeviceInfo info;
  ASSERT_EQ(Updater::_get_version(module, info), aErrNone);
  EXPECT_EQ(info.versionMajor, 2);
  EXPECT_EQ(info.versionMinor, 15);
  EXPECT_EQ(info.versionPatch, 3u);
  EXPECT_EQ(info.spec.module, 6u);
  EXPECT_EQ(info.spec.router, 6u);

  module.disconnect();
  EXPECT_EQ(Updater::_get_build_number(module), 0u);
  EXPECT_EQ(Updater::_get_version(module, info), aErrConnection);
}

// Direct USB discovery probes the modules side by side: each record still carries its own
// module's build, version and address, in the order USB listed them, and a module that another
// program holds is listed with its connect error without holding up the others.
TEST_F(UpdaterDiscovery, UsbModulesAreProbedTogetherAndEachKeepsItsOwnAnswers) {
  std::vector<std::string> modules;
  for (unsigned i = 0; i < 8; ++i)
    modules.push_back("serial=0x4000000" + std::to_string(i) + ",model=" + std::to_string(13 + i) +
                      ",address=" + std::to_string(2 + 2 * i) + ",build=" + std::to_string(100 + i) +
                      ",version=2." + std::to_string(i) + ".1,usb,hb=0");
  Start(modules);
  aStream* held = nullptr;  // claimed as another program would: not a link this process shares
  ASSERT_EQ(aStream_CreateUSB(0x40000005, &held), aErrNone);

  const std::vector<DeviceInfo> devices = updater_.Discover_Devices(USB);
  aStream_Destroy(&held);
  ASSERT_EQ(devices.size(), 8u);
  for (unsigned i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const DeviceInfo& d = devices[i];
    EXPECT_EQ(d.spec.serialNumber, 0x40000000u + i);
    EXPECT_EQ(d.modelName, aDefs_GetModelName(static_cast<uint8_t>(13 + i)));
    if (i == 5) {
      EXPECT_NE(d.error, 0u) << "held by another link";
      continue;
    }
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(d.build, 100u + i);
    EXPECT_EQ(d.versionMinor, i);
    EXPECT_EQ(d.spec.module, 2u + 2 * i);
  }
}

TEST_F(UpdaterDiscovery, RouterScanRecordsEachModuleWithTheRoutersTransport) {
  // Finding the router's transport would go on to a network query if USB missed it.
  RUN_INSIDE_NETNS();
  Start({"serial=0xD272031D,model=16,address=4,usb,hb=0",
         "serial=0x2181F0EE,model=18,address=10,build=701,version=1.3.7,behind=0xD272031D,hb=0"});
  EXPECT_EQ(Updater::_discover_link_type(kRouter), USB);

  std::vector<DeviceInfo> devices = updater_.Discover_AFNetwork_Devices(kRouter, INVALID);
  ASSERT_EQ(devices.size(), 1u);
  const DeviceInfo& d = devices[0];
  EXPECT_EQ(d.error, 0u);
  EXPECT_EQ(d.scanAddress, 10);
  EXPECT_EQ(d.spec.type, USB);
  EXPECT_EQ(d.spec.serialNumber, 0x2181F0EEu);
  EXPECT_EQ(d.spec.module, 10u);
  EXPECT_EQ(d.spec.router, 4u);
  EXPECT_EQ(d.spec.routerSerialNumber, kRouter);
  EXPECT_EQ(d.spec.usbId, kRouter);  // reached through the router's USB device
  EXPECT_EQ(d.spec.model, 18u);
  EXPECT_EQ(d.modelName, "AF-MTM-Relay");
  EXPECT_EQ(d.build, 701u);
  EXPECT_EQ(d.versionMinor, 3);

  // The router's route is switched off again afterwards.
  devsim::ModuleStatus router;
  ASSERT_TRUE(sim_->status(kRouter, &router));
  EXPECT_EQ(router.routeToMe, 0);
  EXPECT_TRUE(display_.Errors().empty());
}

TEST_F(UpdaterDiscovery, WithoutATransportUsbDevicesComeFirstThenNetworkModules) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  Start({"serial=0x1234ABCD,model=5,address=10,build=55,tcp=0,hb=0", "serial=0x40F5849A,model=19,usb,hb=0"}, true);
  std::vector<DeviceInfo> devices = updater_.Discover_Devices(INVALID);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].spec.type, USB);
  EXPECT_EQ(devices[0].spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(devices[0].modelName, "AF-USBHub3p");
  EXPECT_EQ(devices[1].spec.type, TCPIP);
  EXPECT_EQ(devices[1].spec.serialNumber, 0x1234ABCDu);
  EXPECT_EQ(devices[1].build, 55u);
  EXPECT_EQ(devices[1].spec.module, 10u);
  for (const DeviceInfo& device : devices) EXPECT_EQ(device.error, 0u);
}

}  // namespace
