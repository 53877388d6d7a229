#ifndef UPDATER_CLI_DISPLAY_H
#define UPDATER_CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

// The console display: messages to standard output and standard error, written at once; progress
// bar and spinner only when standard output is a terminal, so redirected output stays clean.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  CLI_Display();

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};

#endif
