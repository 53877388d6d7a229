#ifndef TESTLIB_RECORDINGDISPLAY_H
#define TESTLIB_RECORDINGDISPLAY_H

#include <mutex>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

// A display that remembers what it was asked to show, for tests of code that talks to the user.
// Thread-safe, since a download worker may report while the main thread spins.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  struct Message {
    bool error;
    std::string text;
  };

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  std::vector<Message> Messages() const;
  std::vector<std::string> Infos() const;
  std::vector<std::string> Errors() const;
  // Every message, one per line, errors prefixed with "E: ".
  std::string Transcript() const;
  std::vector<double> ProgressValues() const;
  int SpinnerTurns() const;
  bool ProgressShown() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::vector<double> progress_;
  int spinnerTurns_ = 0;
  bool progressShown_ = false;
};

#endif
