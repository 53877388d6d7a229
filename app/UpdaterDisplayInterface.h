#ifndef UPDATER_UPDATERDISPLAYINTERFACE_H
#define UPDATER_UPDATERDISPLAYINTERFACE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CommandOutcome.h"
#include "DeviceInfo.h"

// The application's only path to the user: levelled messages, a progress bar and a spinner.
class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  UpdaterDisplayInterface();
  // Virtual so that a display owned through a base pointer is destroyed completely.
  virtual ~UpdaterDisplayInterface() = default;

  void mute_messages(bool mute);
  // printf-style; LEVEL_ERROR goes to error_message, every other level to info_message. The text
  // carries no line end and is cut to 2047 characters.
  void message(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Why the failure just reported happened, as an error line of its own: "Cause: <why>".
  void cause(const std::string& why);
  // How many error messages have been shown so far: a command that showed one did not do all
  // that was asked.
  unsigned errorsShown() const { return errors; }

  // The results of the commands. The console lists devices and builds as tables through
  // message() and has already said how the other commands ended; a display for scripts renders
  // each result as one document. ok: the command did all that was asked.
  virtual void show_devices(const std::vector<DeviceInfo>& devices, linkType type, bool ok);
  virtual void show_builds(const std::map<std::string, std::string>& builds, uint32_t serialNumber,
                           const char* command, bool ok);
  virtual void show_outcome(const CommandOutcome& outcome);

  virtual void display_progress(bool show) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

 protected:
  // A download worker may show messages while the main thread waits, hence atomic.
  std::atomic<bool> muted;
  std::atomic<unsigned> errors;
};

// The two levels under the short names the application's messages use.
constexpr int kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr int kError = UpdaterDisplayInterface::LEVEL_ERROR;

#endif
