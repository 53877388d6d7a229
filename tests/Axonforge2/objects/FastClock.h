#ifndef TESTS_OBJECTS_FASTCLOCK_H
#define TESTS_OBJECTS_FASTCLOCK_H

// A clock for a Link (Link::setClock) on which time runs ten times faster than real time, so
// that a test of a time-out does not wait the time-out out.

#include <stdint.h>

#include <chrono>
#include <memory>

#include "LinkClock.h"

class FastClock : public Tessaron::Axonforge::LinkClock {
 public:
  static constexpr uint64_t kFactor = 10;

  static std::shared_ptr<FastClock> Make() { return std::make_shared<FastClock>(); }

  uint64_t nowMs() override {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now() - start_).count()) * kFactor;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

#endif
