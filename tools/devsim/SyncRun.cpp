#include "SyncRun.h"

namespace devsim {

namespace {
constexpr unsigned kBurstLength = 6;
constexpr unsigned kAnswersPerBurst = 2;
constexpr auto kRunGap = std::chrono::milliseconds(500);
}  // namespace

bool SyncRun::request(Clock::time_point now) {
  if (count_ == kBurstLength || (count_ > 0 && now - last_ > kRunGap)) count_ = 0;
  last_ = now;
  return ++count_ <= kAnswersPerBurst;
}

}  // namespace devsim
