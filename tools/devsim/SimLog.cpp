#include "SimLog.h"

#include <chrono>
#include <cstdio>

namespace devsim {

SimLog::SimLog() {
  sink_ = [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };
}

void SimLog::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void SimLog::setVerbose(bool verbose) {
  std::lock_guard<std::mutex> lock(mutex_);
  verbose_ = verbose;
}

bool SimLog::verbose() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return verbose_;
}

void SimLog::conversation(const std::string& line) {
  if (verbose()) write(line);
}

void SimLog::warning(const std::string& line) { write("warning: " + line); }

void SimLog::write(const std::string& line) {
  using namespace std::chrono;
  static const auto start = steady_clock::now();
  long long ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "devsim %6lld.%03lld ", ms / 1000, ms % 1000);
  std::lock_guard<std::mutex> lock(mutex_);
  if (sink_) sink_(stamp + line);
}

}  // namespace devsim
