#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

#include "Updater.h"

UpdaterDisplayInterface::UpdaterDisplayInterface() : muted(false), errors(0) {}

void UpdaterDisplayInterface::mute_messages(bool mute) { muted = mute; }

void UpdaterDisplayInterface::message(int level, const char* format, ...) {
  if (muted) return;
  char text[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  if (level == LEVEL_ERROR) {
    ++errors;
    error_message(text);
  } else {
    info_message(text);
  }
}

void UpdaterDisplayInterface::cause(const std::string& why) { message(LEVEL_ERROR, "Cause: %s", why.c_str()); }

void UpdaterDisplayInterface::show_devices(const std::vector<DeviceInfo>& devices, linkType type, bool) {
  Updater::_display_device_list(*this, devices, type);
}

void UpdaterDisplayInterface::show_builds(const std::map<std::string, std::string>& builds, uint32_t serialNumber,
                                          const char*, bool) {
  Updater::_display_builds(*this, builds, serialNumber);
}

void UpdaterDisplayInterface::show_outcome(const CommandOutcome&) {}
