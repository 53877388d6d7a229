#include "Updater.h"
#include "UpdateServerRequest.h"

uint32_t Updater::Download_Firmware(uint32_t, const std::string&, bool, bool) {
  _report_unavailable("Download_Firmware");
  return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, const std::string&, bool) {
  _report_unavailable("Download_Firmware");
  return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t) {
  _report_unavailable("Get_BuildList");
  return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
  _report_unavailable("Get_BuildListLocal");
  return {};
}

void Updater::_display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                              uint32_t serialNumber) {
  const int info = UpdaterDisplayInterface::LEVEL_INFO;
  if (builds.empty()) {
    display.message(info, "No builds found for device [%08X]", serialNumber);
    return;
  }
  display.message(info, "Build List for device [%08X]:\n", serialNumber);
  display.message(info, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(info, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}
