#ifndef DEVSIM_OUTCOME_H
#define DEVSIM_OUTCOME_H

#include <cstdint>
#include <string>
#include <vector>

#include "SimPacket.h"

namespace devsim {

// What a reply answers; fault injection counts replies per kind.
enum class ReplyKind {
  Sync,      // answer to the 0xAD sync request / address query
  Uei,       // UEI get replies, set acknowledgements and UEI error replies
  Query,     // 0x49 build / hasUEI / entity-count answers
  Echo,      // command 23
  Slot,      // store slots
  Factory,   // factory data
  I2C,       // I2C entity
  Init,      // upgrade init
  Prepare,   // upgrade prepare status
  Data,      // upgrade data accepted count
  Sum,       // upgrade sum status
  Write,     // upgrade write status
  Error,     // answer to an unknown command
  Heartbeat, // unsolicited heartbeat
  Sample,    // unsolicited stream sample
};

const char* ReplyKindName(ReplyKind kind);
bool ReplyKindFromName(const std::string& name, ReplyKind* out);

struct Reply {
  SimPacket packet;
  ReplyKind kind;
  uint32_t busTimeUs = 0;  // time the device needs before it can answer (I2C bus transfers)
};

// How a module leaves the link after a request.
enum class Restart {
  None,
  IntoLoader,  // upgrade load: the module restarts into its loader
  NewImage,    // upgrade reboot: the module restarts running what was written
  Reset,       // system reset: restart with the saved settings
};

// Everything one host packet makes the module do.
struct Outcome {
  std::vector<Reply> replies;
  Restart restart = Restart::None;

  void reply(SimPacket packet, ReplyKind kind, uint32_t busTimeUs = 0) {
    replies.push_back({std::move(packet), kind, busTimeUs});
  }
};

}  // namespace devsim

#endif
