#include "StreamSampler.h"

#include <algorithm>

namespace devsim {

uint8_t SampleType(const EntityValue& value) {
  uint8_t type = value.width == 1 ? 1 : value.width == 2 ? 2 : 3;
  return value.subindexed ? static_cast<uint8_t>(type + 4) : type;
}

SimPacket EncodeSample(uint8_t address, uint8_t command, uint8_t index, const EntityValue& value,
                       uint64_t timestampMicros) {
  std::vector<uint8_t> data = {command, value.option, static_cast<uint8_t>((index & kIndexMask) | kSpecStream),
                               SampleType(value)};
  if (value.subindexed) data.push_back(value.subindex);
  PutBE32(data, static_cast<uint32_t>(timestampMicros >> 32));
  PutBE32(data, static_cast<uint32_t>(timestampMicros));
  for (int i = value.width - 1; i >= 0; --i) data.push_back(static_cast<uint8_t>(value.value >> (8 * i)));
  data.push_back(0);  // trailer: sequence 0, nothing follows
  return SimPacket(address, std::move(data));
}

StreamSampler::StreamSampler(ModuleState& state, const SystemEntity& system) : state_(state), system_(system) {}

aErr StreamSampler::supports(uint8_t option, uint8_t index, uint8_t direction) const {
  if (index != 0) return aErrIndexRange;
  if (option == kStreamStateOption && direction != kOptionSet) return aErrNone;
  if ((option == kStreamEnableOption || option == kStreamDisableOption) && direction != kOptionGet) return aErrNone;
  return aErrInvalidOption;
}

aErr StreamSampler::validate(const std::vector<uint8_t>& key) const {
  if (key.size() < 4) return aErrShortCommand;
  if (key[0] != state_.address) return aErrParam;
  if (key[1] != kSystemCommand) return aErrInvalidEntity;
  if (key[2] != kAnyOption && system_.values(key[2], Clock::now()).empty()) return aErrInvalidOption;
  if (key[3] != 0) return aErrIndexRange;
  return aErrNone;
}

void StreamSampler::handleUei(const UeiRequest& req, Outcome& out) {
  aErr support = supports(req.option, req.index, req.direction);
  if (support != aErrNone || (!req.isGet() && !req.isSet())) {
    out.reply(UeiErrorReply(state_.address, req, support != aErrNone ? support : aErrInvalidOption), ReplyKind::Uei);
    return;
  }
  if (req.isGet()) {
    out.reply(UeiValueReply(state_.address, req, 1, active() ? 1 : 0), ReplyKind::Uei);
    return;
  }
  aErr valid = validate(req.value);
  if (valid != aErrNone) {
    out.reply(UeiErrorReply(state_.address, req, valid), ReplyKind::Uei);
    return;
  }
  Subscription s{req.value[1], req.value[2], req.value[3]};
  auto covered = [&s](const Subscription& o) {
    return o.command == s.command && o.index == s.index && (s.option == kAnyOption || o.option == s.option);
  };
  subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(), covered), subscriptions_.end());
  if (req.option == kStreamEnableOption) subscriptions_.push_back(s);
  out.reply(UeiRawReply(state_.address, req, std::vector<uint8_t>(req.value.begin(), req.value.begin() + 4)),
            ReplyKind::Uei);
}

std::vector<SimPacket> StreamSampler::samples(Clock::time_point now) const {
  std::vector<SimPacket> packets;
  uint64_t stamp = state_.uptimeMicros(now);
  for (const auto& s : subscriptions_) {
    for (const auto& value : system_.values(s.option, now)) {
      packets.push_back(EncodeSample(state_.address, s.command, s.index, value, stamp));
    }
  }
  return packets;
}

}  // namespace devsim
