#include <cstdio>

#include "Updater.h"
#include "aDefs.h"

namespace {

const char* sTypeName(linkType type) {
  if (type == USB) return "USB";
  if (type == TCPIP) return "TCPIP";
  return "Unknown";
}

// Model, firmware version and build, common to the plain and the network line.
void sDeviceLine(UpdaterDisplayInterface& display, const DeviceInfo& device, const char* suffix) {
  const linkSpec& spec = device.spec;
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)%s",
                  spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                  static_cast<int>(device.versionMajor), static_cast<int>(device.versionMinor),
                  static_cast<int>(device.versionPatch), device.build, suffix);
}

void sNetworkDeviceLine(UpdaterDisplayInterface& display, const DeviceInfo& device) {
  // The address is in network order: its first byte in memory is the first number.
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(&device.spec.ipAddress);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " [%u.%u.%u.%u]", ip[0], ip[1], ip[2], ip[3]);
  sDeviceLine(display, device, suffix);
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  _report_unavailable("Discover_Devices");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_AFNetwork_Devices(uint32_t, linkType) {
  _report_unavailable("Discover_AFNetwork_Devices");
  return {};
}

void Updater::_display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                                   linkType type) {
  const int info = UpdaterDisplayInterface::LEVEL_INFO;
  display.message(info, "Discovered Devices: (%s)", sTypeName(type));
  if (devices.empty()) {
    display.message(info, "    No devices found.");
    return;
  }
  if (type == USB)
    display.message(info, "    Device    Module   Router  Model          Firmware Version (Build)");
  else
    display.message(info, "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  for (const DeviceInfo& device : devices) {
    if (device.spec.type == TCPIP)
      sNetworkDeviceLine(display, device);
    else if (device.error != 0)
      display.message(info, "    %08X  [Error (%d): Is someone else connected to this device?]",
                      device.spec.serialNumber, static_cast<int>(device.error));
    else
      sDeviceLine(display, device, "");
  }
}
