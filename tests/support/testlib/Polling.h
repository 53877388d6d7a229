#ifndef TESTLIB_POLLING_H
#define TESTLIB_POLLING_H

#include <chrono>
#include <functional>
#include <thread>

// Waiting for what other threads or processes do, without fixed sleeps that are too short under
// load and too long otherwise.
namespace polling {

using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Polls a condition every few milliseconds until it holds or the time runs out.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = 3000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace polling

#endif
