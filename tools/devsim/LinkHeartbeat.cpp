#include "LinkHeartbeat.h"

namespace devsim {

bool LinkHeartbeat::expire() {
  if (!outstanding_) return false;
  outstanding_ = false;
  lateAllowed_ = true;
  lateAnswer_ = expected();
  ++missedInARow_;
  ++missed_;
  return true;
}

uint8_t LinkHeartbeat::send() {
  value_ = mode_ == kHeartbeatAlternates ? next_ : static_cast<uint8_t>(mode_);
  next_ ^= 1;
  outstanding_ = true;
  return value_;
}

LinkHeartbeat::Answer LinkHeartbeat::answer(uint8_t value) {
  if (outstanding_ && value == expected()) {
    outstanding_ = false;
    lateAllowed_ = false;
    missedInARow_ = 0;
    return Answer::Correct;
  }
  if (lateAllowed_ && value == lateAnswer_) {
    lateAllowed_ = false;
    return Answer::Late;
  }
  // A wrong answer leaves the heartbeat outstanding: it counts as missed when the next is due.
  return outstanding_ ? Answer::Wrong : Answer::Unexpected;
}

void LinkHeartbeat::reset() {
  outstanding_ = false;
  lateAllowed_ = false;
  missedInARow_ = 0;
}

}  // namespace devsim
