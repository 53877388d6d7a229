#include "CommandDispatch.h"

#include <chrono>
#include <cstring>
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

// Times one command and hands its outcome to the display when it ends.
class Outcome {
 public:
  Outcome(UpdaterDisplayInterface& display, const char* command, uint32_t serialNumber)
      : display(display), started(std::chrono::steady_clock::now()) {
    outcome.command = command;
    outcome.serialNumber = serialNumber;
  }
  CommandOutcome& record() { return outcome; }
  // Reports the outcome; returns the command's exit status.
  int end(bool ok, uint32_t build) {
    outcome.ok = ok;
    outcome.build = build;
    outcome.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    display.show_outcome(outcome);
    return ok ? 0 : 1;
  }

 private:
  UpdaterDisplayInterface& display;
  std::chrono::steady_clock::time_point started;
  CommandOutcome outcome;
};

int sFingerprint(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  Outcome outcome(display, "fingerprint", p.serialNumber);
  if (p.serialPort.empty()) {
    display.message(kError, "Must specify the serial port used for connecting");
    return outcome.end(false, 0);
  }
  Fingerprint fingerprint{};
  if (updater.Get_Fingerprint(fingerprint, p.serialPort, kDefaultSerial, p.birdFile, p.baudRate, true)) {
    _display_fingerprint(display, fingerprint);
    outcome.record().fingerprint = &fingerprint;
    return outcome.end(true, 0);
  }
  display.message(kError, "Got no response from chip");
  return outcome.end(false, 0);
}

int sGet(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  Outcome outcome(display, "get", p.serialNumber);
  const uint32_t requested = sBuildNumber(p.build);
  if (p.serialNumber == 0) {
    display.message(kError, "-G must specify a specific device via -d");
    display.message(kError, "--help for usage information");
    return outcome.end(false, requested);
  }
  display.message(kInfo, "Retrieving firmware for device with serial number %08X", p.serialNumber);
  if (p.build.empty()) {
    display.message(kInfo, "No build specified");
    display.message(kInfo, "Using Latest build");
  } else {
    display.message(kInfo, "Retrieving firmware build %s", p.build.c_str());
  }
  uint32_t fetched = updater.Download_Firmware(p.serialNumber, p.build, p.overrideModel, false);
  if (fetched == 0) return outcome.end(false, updater.Chosen_Build() != 0 ? updater.Chosen_Build() : requested);
  p.build = std::to_string(fetched);  // a following update takes the build just fetched
  return outcome.end(true, fetched);
}

// Whatever was found is listed; a search that showed an error (a router that could not be
// connected or routed to) could not do all that was asked and fails.
int sDiscover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  const unsigned errorsBefore = display.errorsShown();
  linkType type = p.transportGiven && p.transport != TRANSPORT_RECOVER ? static_cast<linkType>(p.transport) : INVALID;
  if (p.routerSerial != 0) {
    display.message(kInfo, "Searching for Axonforge Network devices connected to %08X", p.routerSerial);
    const std::vector<DeviceInfo> devices = updater.Discover_AFNetwork_Devices(p.routerSerial, type);
    display.show_devices(devices, type, display.errorsShown() == errorsBefore);
  } else {
    if (type == INVALID) type = USB;  // without -t only USB is searched
    display.message(kInfo, "Searching for Axonforge devices");
    const std::vector<DeviceInfo> devices = updater.Discover_Devices(type);
    display.show_devices(devices, type, display.errorsShown() == errorsBefore);
  }
  return display.errorsShown() == errorsBefore ? 0 : 1;
}

// A recovery reports the device and build the server named for the fingerprint it read.
int sRecover(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, uint32_t build) {
  Outcome outcome(display, "recover", p.serialNumber);
  const bool recovered =
      updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile, p.overrideModel);
  const RecoveryResult& result = updater.Last_Recovery();
  const Fingerprint none{};
  if (std::memcmp(&result.fingerprint, &none, sizeof none) != 0) outcome.record().fingerprint = &result.fingerprint;
  if (result.serialNumber != 0) outcome.record().serialNumber = result.serialNumber;
  return outcome.end(recovered, result.build != 0 ? result.build : build);
}

int sUpdate(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  uint32_t build = sBuildNumber(p.build);
  updater.Set_UEIBytes_Load(p.ueiBytesLoad);
  if (p.transport == TRANSPORT_RECOVER) return sRecover(p, updater, display, build);
  Outcome outcome(display, "update", p.serialNumber);
  bool updated = false;
  if (p.serialNumber == 0) {
    display.message(kError, "Must specify the specific device to be updated");
  } else {
    updated = updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress, p.routerSerial,
                                      p.overrideModel);
  }
  return outcome.end(updated, updater.Chosen_Build() != 0 ? updater.Chosen_Build() : build);
}

// An empty list from a server that answered is a result; a list that could not be asked for is
// a failure.
// command: the name of the listing in a result for scripts.
int sListBuilds(Parameters& p, Updater& updater, UpdaterDisplayInterface& display, const char* what,
                const char* command, bool (Updater::*list)(uint32_t, std::map<std::string, std::string>&)) {
  if (p.serialNumber == 0) {
    Outcome outcome(display, command, 0);
    display.message(kError, "Error must supply a serial number for the %s command", what);
    _display_usage(false, false);
    return outcome.end(false, 0);
  }
  std::map<std::string, std::string> builds;
  const bool listed = (updater.*list)(p.serialNumber, builds);
  display.show_builds(builds, p.serialNumber, command, listed);
  return listed ? 0 : 1;
}

}  // namespace

int _run_commands(Parameters& p, Updater& updater, UpdaterDisplayInterface& display) {
  int exitCode = 0;
  // Without its serial port or device, a fingerprint or download is refused and nothing after it runs.
  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    exitCode |= sFingerprint(p, updater, display);
    if (p.serialPort.empty()) return exitCode;
  }
  if (p.commands.IsSet(CMD_GET)) {
    exitCode |= sGet(p, updater, display);
    if (p.serialNumber == 0) return exitCode;
  }
  if (p.commands.IsSet(CMD_DISCOVER)) return exitCode | sDiscover(p, updater, display);
  if (p.commands.IsSet(CMD_UPDATE)) return exitCode | sUpdate(p, updater, display);
  if (p.commands.IsSet(CMD_LIST_BUILDS))
    return exitCode | sListBuilds(p, updater, display, "List Builds", "list-builds", &Updater::Get_BuildList);
  if (p.commands.IsSet(CMD_LIST_LOCAL_BUILDS))
    return exitCode |
           sListBuilds(p, updater, display, "List Local Builds", "list-local-builds", &Updater::Get_BuildListLocal);
  return exitCode;
}

}  // namespace frontend
