#ifndef DEVSIM_WIREASSEMBLER_H
#define DEVSIM_WIREASSEMBLER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimPacket.h"

namespace devsim {

// Device side of the wire framing: turns the host's byte stream into packets. Bytes that cannot
// start a packet (zero or an odd address other than the link-control ones) are skipped and
// reported once per run; a length above 28 drops the packet it announces. Either way the device
// falls back in step on the host's next sync burst.
class WireAssembler {
 public:
  using GarbageHandler = std::function<void(const std::string& what)>;

  explicit WireAssembler(GarbageHandler onGarbage);

  // Appends every packet that the bytes complete to `packets`.
  void feed(const uint8_t* bytes, size_t n, std::vector<SimPacket>* packets);
  void reset();

 private:
  enum class State { Address, Length, Payload };
  void feedByte(uint8_t byte, std::vector<SimPacket>* packets);
  void complete(std::vector<SimPacket>* packets);
  void reportSkipped();

  GarbageHandler onGarbage_;
  State state_ = State::Address;
  SimPacket packet_;
  size_t expected_ = 0;
  std::vector<uint8_t> skipped_;
};

// True for a byte that may open a packet from the host.
bool IsPacketAddress(uint8_t byte);

}  // namespace devsim

#endif
