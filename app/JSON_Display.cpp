#include "JSON_Display.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "BuildNumber.h"
#include "LinkTypeName.h"
#include "UpdateServerRequest.h"
#include "aDefs.h"
#include "aError.h"

namespace {

// Keys in the order written: the command first, as a reader expects.
using json = nlohmann::ordered_json;

// Serial numbers and fingerprint words read as everywhere else: 8 upper-case hexadecimal digits.
std::string sHex(uint32_t word) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", word);
  return text;
}

json sSerial(uint32_t serial) { return serial == 0 ? json(nullptr) : json(sHex(serial)); }

json sBuild(uint32_t build) { return build == 0 ? json(nullptr) : json(build); }

json sDevice(const DeviceInfo& device) {
  const linkSpec& spec = device.spec;
  json entry = {{"serial", sSerial(spec.serialNumber)},
                {"model", spec.model},
                {"name", aDefs_GetModelName(spec.model)},
                {"module", spec.module},
                {"router", spec.router},
                {"transport", LinkTypeName(spec.type)},
                {"build", nullptr},
                {"version", nullptr}};
  // A device that could not be read has no build or version to tell.
  if (device.error == 0) {
    entry["build"] = sBuild(device.build);
    entry["version"] = std::to_string(device.versionMajor) + "." + std::to_string(device.versionMinor) + "." +
                       std::to_string(device.versionPatch);
  }
  if (spec.routerSerialNumber != 0) entry["router_serial"] = sSerial(spec.routerSerialNumber);
  if (spec.type == TCPIP) {
    // The address is in network order: its first byte in memory is the first number.
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&spec.ipAddress);
    char address[16];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    entry["address"] = address;
    entry["port"] = spec.ipPort;
  }
  if (device.error != 0) {
    entry["error_code"] = device.error;
    entry["error"] = std::string(aError_GetErrorDescription(static_cast<int>(device.error))) +
                     ": is someone else connected to this device?";
  }
  return entry;
}

// One document on a line of its own; a failed one says why.
void sEmit(json document, bool ok, const std::string& errors) {
  document["result"] = ok ? "ok" : "failed";
  if (!ok) document["error"] = errors;
  std::fprintf(stdout, "%s\n", document.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

}  // namespace

JSON_Display::JSON_Display() : CLI_Display(stderr) {}

void JSON_Display::error_message(const char* text) {
  CLI_Display::error_message(text);
  std::lock_guard<std::mutex> hold(errorsLock);
  if (!errorText.empty()) errorText += '\n';
  errorText += text;
}

std::string JSON_Display::takeErrors() {
  std::lock_guard<std::mutex> hold(errorsLock);
  std::string taken;
  taken.swap(errorText);
  return taken;
}

void JSON_Display::show_devices(const std::vector<DeviceInfo>& devices, linkType type, bool ok) {
  json list = json::array();
  for (const DeviceInfo& device : devices) list.push_back(sDevice(device));
  sEmit({{"command", "discover"}, {"transport", LinkTypeName(type)}, {"devices", list}}, ok, takeErrors());
}

void JSON_Display::show_builds(const std::map<std::string, std::string>& builds, uint32_t serialNumber,
                               const char* command, bool ok) {
  json list = json::array();
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) {
    // A build is a number; a stored file named otherwise is listed by its name.
    uint32_t number = 0;
    const bool numeric = WholeBuildNumber(entry.first, number);
    list.push_back({{"build", numeric ? json(number) : json(entry.first)}, {"version", entry.second}});
  }
  sEmit({{"command", command}, {"serial", sSerial(serialNumber)}, {"builds", list}}, ok, takeErrors());
}

void JSON_Display::show_outcome(const CommandOutcome& outcome) {
  json document = {{"command", outcome.command},
                   {"serial", sSerial(outcome.serialNumber)},
                   {"build", sBuild(outcome.build)},
                   {"elapsed", std::round(outcome.elapsedSeconds * 1000.0) / 1000.0}};
  if (outcome.fingerprint != nullptr) {
    json words = json::array();
    for (uint32_t word : outcome.fingerprint->words) words.push_back(sHex(word));
    document["fingerprint"] = words;
  }
  sEmit(document, outcome.ok, takeErrors());
}
