#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "Updater.h"

namespace {

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model) {
  DeviceInfo info;
  info.spec.type = type;
  info.spec.serialNumber = serial;
  info.spec.module = 2;
  info.spec.router = 2;
  info.spec.model = model;
  info.versionMajor = 2;
  info.versionMinor = 11;
  info.versionPatch = 2;
  info.build = 99528558;
  return info;
}

std::string Listing(const std::vector<DeviceInfo>& devices, linkType type) {
  RecordingDisplay display;
  Updater::_display_device_list(display, devices, type);
  EXPECT_TRUE(display.Errors().empty());
  return display.Transcript();
}

TEST(DeviceList, EmptyListsSayNoDevicesFoundUnderTheirTransport) {
  EXPECT_EQ(Listing({}, USB), "Discovered Devices: (USB)\n    No devices found.\n");
  EXPECT_EQ(Listing({}, TCPIP), "Discovered Devices: (TCPIP)\n    No devices found.\n");
  EXPECT_EQ(Listing({}, AWEAVE), "Discovered Devices: (Unknown)\n    No devices found.\n");
}

TEST(DeviceList, UsbDevicesWithAndWithoutErrors) {
  DeviceInfo busy = Device(USB, 0x0000ABCD, 17);
  busy.error = 5;
  std::vector<DeviceInfo> devices = {Device(USB, 0x40F5849A, 19), busy};
  EXPECT_EQ(Listing(devices, USB),
            "Discovered Devices: (USB)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)\n"
            "    40F5849A  02       02      AF-USBHub3p    2.11.2 (99528558)\n"
            "    0000ABCD  [Error (5): Is someone else connected to this device?]\n");
}

TEST(DeviceList, NetworkDevicesShowTheirAddressEvenWithAnError) {
  DeviceInfo net = Device(TCPIP, 0xD272031D, 5);
  const unsigned char ip[4] = {192, 168, 1, 200};  // network order: first byte first
  memcpy(&net.spec.ipAddress, ip, 4);
  net.spec.module = 0x0A;
  net.error = 25;
  DeviceInfo unknownModel = Device(USB, 0x2181F0EE, 99);
  EXPECT_EQ(Listing({net, unknownModel}, TCPIP),
            "Discovered Devices: (TCPIP)\n"
            "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n"
            "    D272031D  0A       02      AF-NetStem     2.11.2 (99528558) [192.168.1.200]\n"
            "    2181F0EE  02       02      Unknown        2.11.2 (99528558)\n");
}

TEST(BuildList, NewestVersionFirstWithColumnsCutTo15Characters) {
  RecordingDisplay display;
  Updater::_display_builds(display,
                           {{"1100", "2.9.7"}, {"1300", "2.11.2"}, {"1200", "2.10.0"},
                            {"12345678901234567890", "1.2.3-with-a-long-tail"}},
                           0x40F5849A);
  EXPECT_EQ(display.Transcript(),
            "Build List for device [40F5849A]:\n\n"
            "Build          \tVersion        \n"
            "1300           \t2.11.2         \n"
            "1200           \t2.10.0         \n"
            "1100           \t2.9.7          \n"
            "123456789012345\t1.2.3-with-a-lo\n");
}

TEST(BuildList, EmptyListSaysSo) {
  RecordingDisplay display;
  Updater::_display_builds(display, {}, 0x1A2B);
  EXPECT_EQ(display.Transcript(), "No builds found for device [00001A2B]\n");
}

}  // namespace
