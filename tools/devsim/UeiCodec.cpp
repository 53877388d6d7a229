#include "UeiCodec.h"

namespace devsim {

bool IsNonUeiCommand(uint8_t command) {
  switch (command) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

bool ParseUei(const SimPacket& packet, UeiRequest* out) {
  if (packet.data.size() < 3) return false;
  out->command = packet.data[0];
  out->option = packet.data[1] & kOptionMask;
  out->direction = packet.data[1] & kDirectionMask;
  out->index = packet.data[2] & kIndexMask;
  out->value.assign(packet.data.begin() + 3, packet.data.end());
  return true;
}

SimPacket UeiValueReply(uint8_t address, const UeiRequest& req, size_t width, uint32_t value) {
  std::vector<uint8_t> bytes;
  for (size_t i = width; i > 0; --i) bytes.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
  return UeiRawReply(address, req, bytes);
}

SimPacket UeiRawReply(uint8_t address, const UeiRequest& req, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> data = {req.command, req.replyOption(), req.index};
  data.insert(data.end(), value.begin(), value.end());
  return SimPacket(address, std::move(data));
}

SimPacket UeiErrorReply(uint8_t address, const UeiRequest& req, aErr code) {
  return SimPacket(address, {req.command, req.replyOption(), static_cast<uint8_t>(req.index | kSpecError),
                             static_cast<uint8_t>(code)});
}

}  // namespace devsim
