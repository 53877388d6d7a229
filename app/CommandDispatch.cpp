#include "CommandDispatch.h"

#include <cctype>
#include <stdexcept>
#include <string>

#include "AppText.h"

namespace {

const unsigned int kDefaultRecoverySerial = 0xDEADDEAD;
const int kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const int kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The leading decimal digits of a build text; 0 when there are none or they overflow, which
// stands for "the latest build".
uint32_t sBuildNumber(const std::string& build) {
  if (build.empty() || !std::isdigit(static_cast<unsigned char>(build[0]))) return 0;
  try {
    unsigned long long value = std::stoull(build);
    return value > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(value);
  } catch (const std::out_of_range&) {
    return 0;
  }
}

int sFingerprint(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  Fingerprint fingerprint{};
  if (updater.Get_Fingerprint(fingerprint, p.serialPort, kDefaultRecoverySerial, p.birdFile, p.baudRate, true)) {
    _display_fingerprint(display, fingerprint);
    return 0;
  }
  display.message(kError, "Got no response from chip");
  return 1;
}

int sGet(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  display.message(kInfo, "Retrieving firmware for device with serial number %08X", p.serialNumber);
  if (p.build.empty()) {
    display.message(kInfo, "No build specified");
    display.message(kInfo, "Using Latest build");
  } else {
    display.message(kInfo, "Retrieving firmware build %s", p.build.c_str());
  }
  uint32_t fetched = updater.Download_Firmware(p.serialNumber, p.build, p.overrideModel, false);
  if (fetched == 0) return 1;
  p.build = std::to_string(fetched);  // a following update takes the build just fetched
  return 0;
}

void sDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  linkType type = p.transportGiven && p.transport != TRANSPORT_RECOVER ? static_cast<linkType>(p.transport) : INVALID;
  if (p.routerSerial != 0) {
    display.message(kInfo, "Searching for Axonforge Network devices connected to %08X", p.routerSerial);
    Updater::_display_device_list(display, updater.Discover_AFNetwork_Devices(p.routerSerial, type), type);
    return;
  }
  if (type == INVALID) type = USB;  // without -t only USB is searched
  display.message(kInfo, "Searching for Axonforge devices");
  Updater::_display_device_list(display, updater.Discover_Devices(type), type);
}

int sUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  uint32_t build = sBuildNumber(p.build);
  updater.Set_UEIBytes_Load(p.ueiBytesLoad);
  if (p.transport == TRANSPORT_RECOVER)
    return updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile, p.overrideModel) ? 0
                                                                                                                  : 1;
  if (p.serialNumber == 0) {
    display.message(kError, "Must specify the specific device to be updated");
    return 1;
  }
  return updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerial,
                                 p.overrideModel)
             ? 0
             : 1;
}

int sListBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, const char* what,
                std::map<std::string, std::string> (Updater::*list)(uint32_t)) {
  if (p.serialNumber == 0) {
    display.message(kError, "Error must supply a serial number for the %s command", what);
    _display_usage(false, false);
    return 1;
  }
  Updater::_display_builds(display, (updater.*list)(p.serialNumber), p.serialNumber);
  return 0;
}

}  // namespace

int _run_commands(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  int exitCode = 0;
  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serialPort.empty()) {
      display.message(kError, "Must specify the serial port used for connecting");
      return 1;
    }
    exitCode |= sFingerprint(p, updater, display);
  }
  if (p.commands.IsSet(CMD_GET)) {
    if (p.serialNumber == 0) {
      display.message(kError, "-G must specify a specific device via -d");
      display.message(kError, "--help for usage information");
      return 1;
    }
    exitCode |= sGet(p, updater, display);
  }
  if (p.commands.IsSet(CMD_DISCOVER)) {
    sDiscover(p, updater, display);
    return exitCode;
  }
  if (p.commands.IsSet(CMD_UPDATE)) return exitCode | sUpdate(p, updater, display);
  if (p.commands.IsSet(CMD_LIST_BUILDS))
    return exitCode | sListBuilds(p, updater, display, "List Builds", &Updater::Get_BuildList);
  if (p.commands.IsSet(CMD_LIST_LOCAL_BUILDS))
    return exitCode | sListBuilds(p, updater, display, "List Local Builds", &Updater::Get_BuildListLocal);
  return exitCode;
}
