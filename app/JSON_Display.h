#ifndef UPDATER_JSON_DISPLAY_H
#define UPDATER_JSON_DISPLAY_H

#include <mutex>
#include <string>

#include "CLI_Display.h"

// The display for scripts (--json): standard output carries only the results, one JSON document
// per line; messages, progress and spinner go to standard error. Each document that reports a
// failure carries the error messages shown since the previous document as its "error" text.
class JSON_Display : public CLI_Display {
 public:
  JSON_Display();

  void show_devices(const std::vector<DeviceInfo>& devices, linkType type, bool ok) override;
  void show_builds(const std::map<std::string, std::string>& builds, uint32_t serialNumber, const char* command,
                   bool ok) override;
  void show_outcome(const CommandOutcome& outcome) override;
  void error_message(const char* text) override;

 private:
  // The errors collected for the next document, which then starts a new collection.
  std::string takeErrors();

  std::mutex errorsLock;  // a download worker may report while the main thread waits
  std::string errorText;
};

#endif
