#ifndef BENCH_SILENTDISPLAY_H
#define BENCH_SILENTDISPLAY_H

#include "UpdaterDisplayInterface.h"

// A display that shows nothing, so that a benchmark measures the work alone.
class SilentDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

#endif
