#ifndef UPDATER_DEVICEINFO_H
#define UPDATER_DEVICEINFO_H

#include <cstdint>
#include <string>

#include "aLinkSpec.h"

// What discovery learned about one device.
struct DeviceInfo {
  linkSpec spec{};           // how to reach it; module and router are the device's own answers
  uint16_t scanAddress = 0;  // behind a router: the I2C address at which it answered
  uint32_t build = 0;        // firmware build, 0 when not reported
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint32_t versionPatch = 0;
  std::string modelName;
  uint32_t error = 0;        // aErr: first failure while connecting or reading
};

#endif
