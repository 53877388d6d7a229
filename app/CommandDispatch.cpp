#include "CommandDispatch.h"

#include <string>

#include "AppText.h"
#include "BuildNumber.h"
#include "DefaultSerial.h"

namespace frontend {

namespace {


// The build of an update's -b text; 0, which stands for "the latest build", when it does not
// begin with a number.
uint32_t sBuildNumber(const std::string& build) {
  uint32_t number = 0;
  LeadingBuildNumber(build, number);
  return number;
}

int sFingerprint(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  Fingerprint fingerprint{};
  if (updater.Get_Fingerprint(fingerprint, p.serialPort, kDefaultSerial, p.birdFile, p.baudRate, true)) {
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

// Whatever was found is listed; a search that showed an error (a router that could not be
// connected or routed to) could not do all that was asked and fails.
int sDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  const unsigned errorsBefore = display.errorsShown();
  linkType type = p.transportGiven && p.transport != TRANSPORT_RECOVER ? static_cast<linkType>(p.transport) : INVALID;
  if (p.routerSerial != 0) {
    display.message(kInfo, "Searching for Axonforge Network devices connected to %08X", p.routerSerial);
    Updater::_display_device_list(display, updater.Discover_AFNetwork_Devices(p.routerSerial, type), type);
  } else {
    if (type == INVALID) type = USB;  // without -t only USB is searched
    display.message(kInfo, "Searching for Axonforge devices");
    Updater::_display_device_list(display, updater.Discover_Devices(type), type);
  }
  return display.errorsShown() == errorsBefore ? 0 : 1;
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

// An empty list from a server that answered is a result; a list that could not be asked for is
// a failure.
int sListBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, const char* what,
                bool (Updater::*list)(uint32_t, std::map<std::string, std::string>&)) {
  if (p.serialNumber == 0) {
    display.message(kError, "Error must supply a serial number for the %s command", what);
    _display_usage(false, false);
    return 1;
  }
  std::map<std::string, std::string> builds;
  const bool listed = (updater.*list)(p.serialNumber, builds);
  Updater::_display_builds(display, builds, p.serialNumber);
  return listed ? 0 : 1;
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
  if (p.commands.IsSet(CMD_DISCOVER)) return exitCode | sDiscover(p, updater, display);
  if (p.commands.IsSet(CMD_UPDATE)) return exitCode | sUpdate(p, updater, display);
  if (p.commands.IsSet(CMD_LIST_BUILDS))
    return exitCode | sListBuilds(p, updater, display, "List Builds", &Updater::Get_BuildList);
  if (p.commands.IsSet(CMD_LIST_LOCAL_BUILDS))
    return exitCode | sListBuilds(p, updater, display, "List Local Builds", &Updater::Get_BuildListLocal);
  return exitCode;
}

}  // namespace frontend
