#include "RecordingDisplay.h"

void RecordingDisplay::display_progress(bool show) {
  std::lock_guard<std::mutex> lock(mutex_);
  progressShown_ = show;
}

void RecordingDisplay::update_progress(double fraction, const char*) {
  std::lock_guard<std::mutex> lock(mutex_);
  progress_.push_back(fraction);
}

void RecordingDisplay::update_spinner(bool on, const char*) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (on) ++spinnerTurns_;
}

void RecordingDisplay::info_message(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back({false, text});
}

void RecordingDisplay::error_message(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back({true, text});
}

std::vector<RecordingDisplay::Message> RecordingDisplay::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> RecordingDisplay::Infos() const {
  std::vector<std::string> texts;
  for (const Message& m : Messages())
    if (!m.error) texts.push_back(m.text);
  return texts;
}

std::vector<std::string> RecordingDisplay::Errors() const {
  std::vector<std::string> texts;
  for (const Message& m : Messages())
    if (m.error) texts.push_back(m.text);
  return texts;
}

std::string RecordingDisplay::Transcript() const {
  std::string text;
  for (const Message& m : Messages()) text += (m.error ? "E: " : "") + m.text + "\n";
  return text;
}

std::vector<double> RecordingDisplay::ProgressValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progress_;
}

int RecordingDisplay::SpinnerTurns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return spinnerTurns_;
}

bool RecordingDisplay::ProgressShown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progressShown_;
}
