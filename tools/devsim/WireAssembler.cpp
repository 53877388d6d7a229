#include "WireAssembler.h"

namespace devsim {

bool IsPacketAddress(uint8_t byte) {
  return byte == kSyncAddress || byte == kRouteAddress || (byte != 0 && (byte & 1) == 0);
}

WireAssembler::WireAssembler(GarbageHandler onGarbage) : onGarbage_(std::move(onGarbage)) {}

void WireAssembler::reset() {
  state_ = State::Address;
  packet_.data.clear();
  expected_ = 0;
}

void WireAssembler::feed(const uint8_t* bytes, size_t n, std::vector<SimPacket>* packets) {
  for (size_t i = 0; i < n; ++i) feedByte(bytes[i], packets);
  reportSkipped();
}

void WireAssembler::reportSkipped() {
  if (skipped_.empty()) return;
  onGarbage_("skipped " + std::to_string(skipped_.size()) + " byte(s) that cannot start a packet: " +
             HexBytes(skipped_));
  skipped_.clear();
}

void WireAssembler::feedByte(uint8_t byte, std::vector<SimPacket>* packets) {
  switch (state_) {
    case State::Address:
      if (!IsPacketAddress(byte)) {
        skipped_.push_back(byte);
        return;
      }
      reportSkipped();
      packet_.address = byte;
      packet_.data.clear();
      state_ = State::Length;
      return;
    case State::Length:
      if (byte > kMaxPayload) {
        onGarbage_("length " + std::to_string(byte) + " for address " + HexBytes(&packet_.address, 1) +
                   " exceeds 28; packet dropped");
        reset();
        return;
      }
      expected_ = byte;
      if (expected_ == 0) {
        complete(packets);
      } else {
        state_ = State::Payload;
      }
      return;
    case State::Payload:
      packet_.data.push_back(byte);
      if (packet_.data.size() == expected_) complete(packets);
      return;
  }
}

void WireAssembler::complete(std::vector<SimPacket>* packets) {
  packets->push_back(packet_);
  reset();
}

}  // namespace devsim
