// The simulated-USB contract: one Unix socket per plugged-in device and the devices list,
// rewritten as devices appear and disappear.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "SimFixture.h"
#include "TempDir.h"

using namespace devsimtest;

namespace {

constexpr uint32_t kHub = 0x1234ABCD;

std::vector<std::string> DeviceLines(const std::string& dir) {
  std::ifstream in(dir + "/devices");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class UsbTest : public ::testing::Test {
 protected:
  bool waitForLines(const std::vector<std::string>& expected, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
      if (DeviceLines(dir) == expected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return DeviceLines(dir) == expected;
  }
  std::string line(const char* serial, const char* ids) { return std::string(serial) + " " + ids + " " + dir + "/" + serial + ".sock"; }

  TempDir temp;
  std::string dir = temp.path();
  RunningSim sim{{"serial=0x1234ABCD,model=17,address=6,usb,hb=0,restart=50,loaderserial",
                  "serial=0x00008001,model=5,address=2,usb,usbproduct=0x8001",
                  "serial=0x22222222,model=4,address=2,usb,usbvendor=0x1234,usbproduct=1"},
                 [this](devsim::DevSimConfig& c) { c.usbDir = dir; }};
};

TEST_F(UsbTest, DevicesFileListsEveryPluggedInDeviceWithItsIdentity) {
  EXPECT_EQ(DeviceLines(dir), (std::vector<std::string>{line("00008001", "24ff 8001"), line("1234ABCD", "24ff 0011"),
                                                         line("22222222", "1234 0001")}));
  EXPECT_EQ(sim.sim().usbSocketPath(kHub), dir + "/1234ABCD.sock");
}

TEST_F(UsbTest, TheSocketCarriesRawLinkBytes) {
  WireClient usb = WireClient::Unix(dir + "/1234ABCD.sock");
  ASSERT_TRUE(usb.connected());
  usb.send({0xAF, 1, 1, 0xAD, 0, 0xAD, 0});  // route switch on, two sync requests
  EXPECT_EQ(usb.readBytes(4), (Bytes{6, 0, 6, 0}));
  EXPECT_EQ(usb.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
}

TEST_F(UsbTest, UnpluggingClosesTheConnectionAndUnlistsTheDevice) {
  WireClient usb = WireClient::Unix(dir + "/1234ABCD.sock");
  ASSERT_TRUE(sim.sim().setUsbPlugged(kHub, false));
  EXPECT_TRUE(usb.closedByPeer(500));
  EXPECT_EQ(DeviceLines(dir).size(), 2u);
  EXPECT_FALSE(Exists(dir + "/1234ABCD.sock"));
  ASSERT_TRUE(sim.sim().setUsbPlugged(kHub, true));
  EXPECT_EQ(DeviceLines(dir).size(), 3u);
  EXPECT_EQ(WireClient::Unix(dir + "/1234ABCD.sock").request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
}

TEST_F(UsbTest, LoaderReenumeratesUnderTheDefaultSerialAndRebootBringsBackTheOwnOne) {
  WireClient usb = WireClient::Unix(dir + "/1234ABCD.sock");
  usb.sendPacket(6, {0x5F, 2});
  EXPECT_TRUE(usb.closedByPeer(500));
  std::vector<std::string> others = {line("00008001", "24ff 8001"), line("22222222", "1234 0001")};
  std::vector<std::string> withLoader = {line("00008001", "24ff 8001"), line("22222222", "1234 0001"),
                                         line("DEADDEAD", "24ff 0011")};
  ASSERT_TRUE(waitForLines(withLoader, 1000));
  EXPECT_FALSE(Exists(dir + "/1234ABCD.sock"));
  WireClient loader = WireClient::Unix(dir + "/DEADDEAD.sock");
  EXPECT_EQ(loader.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}));
  loader.sendPacket(6, {0x5F, 6});
  EXPECT_TRUE(loader.closedByPeer(500));
  ASSERT_TRUE(waitForLines({line("00008001", "24ff 8001"), line("1234ABCD", "24ff 0011"), line("22222222", "1234 0001")}, 1000));
  EXPECT_FALSE(Exists(dir + "/DEADDEAD.sock"));
}

TEST_F(UsbTest, StoppingRemovesTheListAndTheSocketsForGood) {
  sim.sim().stop();
  EXPECT_FALSE(Exists(dir + "/devices"));
  EXPECT_FALSE(Exists(dir + "/1234ABCD.sock"));
  std::string error;
  EXPECT_FALSE(sim.sim().start(&error));
  EXPECT_EQ(error, "a stopped simulator cannot be started again");
  EXPECT_FALSE(Exists(dir + "/devices"));
}

TEST_F(UsbTest, ASecondSimulatorOnTheSameDirectoryIsRefusedAndTouchesNothing) {
  devsim::DevSimConfig config = ConfigFor({"serial=0x33333333,usb"});
  config.usbDir = dir;
  ExpectRefused(config, "another simulator already serves the USB directory " + dir);
  EXPECT_EQ(DeviceLines(dir).size(), 3u);
  EXPECT_FALSE(Exists(dir + "/33333333.sock"));
  EXPECT_EQ(WireClient::Unix(dir + "/1234ABCD.sock").request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
}

TEST(UsbConfiguration, UsbModulesNeedADirectory) { ExpectRefused(ConfigFor({"serial=1,usb"}), "--usb-dir"); }

}  // namespace
