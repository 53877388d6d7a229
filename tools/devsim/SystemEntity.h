#ifndef DEVSIM_SYSTEMENTITY_H
#define DEVSIM_SYSTEMENTITY_H

#include <cstdint>
#include <vector>

#include "ModuleState.h"
#include "Outcome.h"
#include "UeiCodec.h"
#include "aError.h"

namespace devsim {

constexpr uint8_t kSystemCommand = 3;

// One streamable value of an entity at a moment: what a stream sample carries.
struct EntityValue {
  uint8_t option = 0;
  bool subindexed = false;
  uint8_t subindex = 0;
  uint8_t width = 1;  // 1, 2 or 4 bytes
  uint32_t value = 0;
};

// The system entity (command 3, index 0): identity, firmware, settings, measurements and the
// save / reset / routeToMe calls.
class SystemEntity {
 public:
  explicit SystemEntity(ModuleState& state);

  // Handles a complete UEI request (bytes values already reassembled into req.value).
  void handle(const UeiRequest& req, Clock::time_point now, Outcome& out);
  // The device's answer to "is this UEI implemented": aErrNone or the reason it is not.
  // `direction` is 0 (either), kOptionGet or kOptionSet.
  aErr supports(uint8_t option, uint8_t index, uint8_t direction) const;
  bool isBytesOption(uint8_t option) const;
  // Current values of one option (0xFF: every fixed-width readable option) for streaming.
  std::vector<EntityValue> values(uint8_t option, Clock::time_point now) const;

 private:
  ModuleState& state_;
};

}  // namespace devsim

#endif
