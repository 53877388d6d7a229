#ifndef DEVSIM_LINKHEARTBEAT_H
#define DEVSIM_LINKHEARTBEAT_H

#include <cstdint>

namespace devsim {

constexpr int kHeartbeatAlternates = -1;

// The module's heartbeat on one host link: it sends 0x00, v (v = 0 or 1) and expects the
// host to answer 0x00, v + 2 before the next heartbeat is due.
class LinkHeartbeat {
 public:
  // `value` 0 or 1: every heartbeat carries it; kHeartbeatAlternates: 0, 1, 0, 1, ...
  explicit LinkHeartbeat(int value) : mode_(value) {}

  // Late: the answer to the previous heartbeat, which was already counted as missed.
  enum class Answer { Correct, Late, Wrong, Unexpected };

  // The next heartbeat is due: true when the one outstanding got no correct answer.
  bool expire();
  // The value of the heartbeat sent now, which is then outstanding.
  uint8_t send();
  // An answer 0x00, `value` from the host.
  Answer answer(uint8_t value);
  // The route was switched: nothing is outstanding any more.
  void reset();

  bool outstanding() const { return outstanding_; }
  uint8_t expected() const { return static_cast<uint8_t>(value_ + 2); }
  uint32_t missedInARow() const { return missedInARow_; }
  uint32_t missed() const { return missed_; }  // on this link since it opened

 private:
  int mode_;
  bool outstanding_ = false;
  uint8_t value_ = 0;
  uint8_t next_ = 0;
  bool lateAllowed_ = false;  // the previous heartbeat expired unanswered
  uint8_t lateAnswer_ = 0;
  uint32_t missedInARow_ = 0;
  uint32_t missed_ = 0;
};

}  // namespace devsim

#endif
