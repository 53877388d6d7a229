#ifndef DEVSIM_UEICODEC_H
#define DEVSIM_UEICODEC_H

#include <cstdint>
#include <vector>

#include "SimPacket.h"
#include "aError.h"

namespace devsim {

constexpr uint8_t kOptionGet = 0x40;
constexpr uint8_t kOptionSet = 0x80;
constexpr uint8_t kOptionAck = 0xC0;
constexpr uint8_t kDirectionMask = 0xC0;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kSpecReplyToHost = 0x20;
constexpr uint8_t kSpecStream = 0x40;
constexpr uint8_t kSpecError = 0x80;

// Command bytes that are not UEI payloads (link-level and system packets).
bool IsNonUeiCommand(uint8_t command);

// One UEI request from the host: header fields and the value bytes after the header.
struct UeiRequest {
  uint8_t command = 0;
  uint8_t option = 0;     // option code, direction flags removed
  uint8_t direction = 0;  // kOptionGet, kOptionSet, kOptionAck or 0
  uint8_t index = 0;
  std::vector<uint8_t> value;

  bool isGet() const { return direction == kOptionGet; }
  bool isSet() const { return direction == kOptionSet; }
  // The option byte the device's reply carries: plain for a get, with the ack flags for a set.
  uint8_t replyOption() const { return isSet() ? (option | kOptionAck) : option; }
};

// False when the packet is too short to hold the three header bytes.
bool ParseUei(const SimPacket& packet, UeiRequest* out);

// A reply carrying a value of `width` bytes (0, 1, 2 or 4), big-endian.
SimPacket UeiValueReply(uint8_t address, const UeiRequest& req, size_t width, uint32_t value);
// A reply with the given raw value bytes (acknowledgements echo what the device now holds).
SimPacket UeiRawReply(uint8_t address, const UeiRequest& req, const std::vector<uint8_t>& value);
// An error reply: the specifier carries the error bit and the first value byte the code.
SimPacket UeiErrorReply(uint8_t address, const UeiRequest& req, aErr code);

}  // namespace devsim

#endif
