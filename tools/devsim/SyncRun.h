#ifndef DEVSIM_SYNCRUN_H
#define DEVSIM_SYNCRUN_H

#include "ModuleState.h"

namespace devsim {

// The module's side of the sync request (an empty packet to 0xAD) on one host link. The same
// packet is the module-address query, answered with one empty packet from the module; a host
// that syncs sends a burst of six, and the module answers the burst twice, not six times. So
// the first two requests of a run get an answer each and the rest of the run none. A run ends
// with any other packet from the host, after six requests, or after a pause longer than any
// burst takes, so a burst split across reads is still one run.
class SyncRun {
 public:
  // One sync request arrives; true when the module answers it.
  bool request(Clock::time_point now);
  // Any other packet from the host ends the run.
  void interrupt() { count_ = 0; }

 private:
  unsigned count_ = 0;
  Clock::time_point last_{};
};

}  // namespace devsim

#endif
