#include "LinkHeartbeat.h"

namespace devsim {

bool LinkHeartbeat::expire() {
  if (!outstanding_) return false;
  outstanding_ = false;
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
  if (!outstanding_) return Answer::Unexpected;
  // A wrong answer leaves the heartbeat outstanding: it counts as missed when the next is due.
  if (value != expected()) return Answer::Wrong;
  outstanding_ = false;
  missedInARow_ = 0;
  return Answer::Correct;
}

void LinkHeartbeat::reset() {
  outstanding_ = false;
  missedInARow_ = 0;
}

}  // namespace devsim
