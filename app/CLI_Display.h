#ifndef UPDATER_CLI_DISPLAY_H
#define UPDATER_CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

#include <cstdio>

// The console display: messages to standard output and standard error, written at once; progress
// bar and spinner only when standard output is a terminal, so redirected output stays clean.
// Constructed with another stream for information (standard error), information, progress and
// spinner go there instead, and only when that stream is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  explicit CLI_Display(std::FILE* infoStream = stdout);

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

 private:
  bool onTerminal() const;
  void blankLine();

  std::FILE* out;
};

#endif
