#ifndef DEVSIM_FAULTPLAN_H
#define DEVSIM_FAULTPLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "Outcome.h"

namespace devsim {

// One fault to inject into a module's behaviour.
struct FaultSpec {
  enum class Type {
    DropReply,      // drop the Nth reply of a kind (counted from when the fault is added)
    WrongCount,     // the next upgrade data reply reports a wrong accepted count
    WrongSum,       // the next upgrade sum reply reports a wrong sum
    Corrupt,        // flip a byte of the Nth packet sent (at `value`, the offset in its wire bytes)
    CloseAfter,     // close the host connection after N more packets from it
    Delay,          // delay every reply by `value` ms (0 ends it)
    RefusePrepare,  // the next prepare is refused with status `value`
    NoReturn,       // after the next restart the module never comes back
    HeartbeatLoss,  // a host link is dropped once `count` heartbeats on it went without a correct answer
  };
  Type type = Type::DropReply;
  ReplyKind kind = ReplyKind::Uei;
  uint32_t count = 1;
  uint32_t value = 0;
};

// Parses "drop=uei:3", "wrongcount", "wrongsum", "corrupt=2:1", "close=5", "delay=200",
// "refuseprepare=9", "noreturn", "hbmiss=2"; an optional "@SERIAL" suffix names the module (else 0).
bool ParseFault(const std::string& text, FaultSpec* out, uint32_t* serial, std::string* error);
const char* FaultHelp();

// The armed faults of one module and their counters.
class FaultPlan {
 public:
  void add(const FaultSpec& fault);

  // Each call is one reply of `kind` about to go out; true when it is to be dropped.
  bool dropReply(ReplyKind kind);
  bool takeWrongCount();
  bool takeWrongSum();
  bool takePrepareRefusal(uint8_t* status);
  // Each call is one packet about to go out; the offset of the byte to corrupt, or -1.
  int corruptOffset(size_t wireSize);
  // Each call is one packet received; true when the connection is to be closed now.
  bool closeConnection();
  uint32_t replyDelayMs() const { return delayMs_; }
  bool noReturn() const { return noReturn_; }
  // Heartbeats a host link may miss before the module drops it; 0: no limit.
  uint32_t heartbeatMissLimit() const { return heartbeatMissLimit_; }

 private:
  struct Countdown {
    FaultSpec spec;
    uint32_t remaining;
  };
  bool countDown(FaultSpec::Type type, ReplyKind kind, bool matchKind, uint32_t* value);
  bool takeOnce(FaultSpec::Type type, uint32_t* value);

  std::vector<Countdown> armed_;
  uint32_t delayMs_ = 0;
  bool noReturn_ = false;
  uint32_t heartbeatMissLimit_ = 0;
};

}  // namespace devsim

#endif
