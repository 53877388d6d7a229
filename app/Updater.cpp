#include "Updater.h"

Updater::Updater(const std::string& serverUrl, const std::string& storageDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl), storageDir(storageDir), display(display), ueiBytesLoad(false) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool load) { ueiBytesLoad = load; }

void Updater::_report_unavailable(const char* operation) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build", operation);
}
