#ifndef DEVSIM_STREAMSAMPLER_H
#define DEVSIM_STREAMSAMPLER_H

#include <cstdint>
#include <vector>

#include "ModuleState.h"
#include "Outcome.h"
#include "SystemEntity.h"
#include "UeiCodec.h"

namespace devsim {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamStateOption = 1;
constexpr uint8_t kStreamEnableOption = 1;
constexpr uint8_t kStreamDisableOption = 2;
constexpr uint8_t kAnyOption = 0xFF;

// The sample layout for a value: type 1..3 by width, 5..7 when it carries a subindex.
uint8_t SampleType(const EntityValue& value);
// One time-stamped stream sample as the device sends it.
SimPacket EncodeSample(uint8_t address, uint8_t command, uint8_t index, const EntityValue& value,
                       uint64_t timestampMicros);

// Stream subscriptions of a module (command 0x5D) and the samples they produce.
class StreamSampler {
 public:
  StreamSampler(ModuleState& state, const SystemEntity& system);

  void handleUei(const UeiRequest& req, Outcome& out);
  aErr supports(uint8_t option, uint8_t index, uint8_t direction) const;
  bool active() const { return !subscriptions_.empty(); }
  // One sample of every subscribed value, taken now.
  std::vector<SimPacket> samples(Clock::time_point now) const;
  void restart() { subscriptions_.clear(); }

 private:
  struct Subscription {
    uint8_t command;
    uint8_t option;  // kAnyOption: every option of the entity
    uint8_t index;
  };
  aErr validate(const std::vector<uint8_t>& key) const;

  ModuleState& state_;
  const SystemEntity& system_;
  std::vector<Subscription> subscriptions_;
};

}  // namespace devsim

#endif
