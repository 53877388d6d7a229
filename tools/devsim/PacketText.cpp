#include "PacketText.h"

#include "UeiCodec.h"
#include "aError.h"

namespace devsim {

namespace {

std::string Meaning(const SimPacket& p, bool fromHost) {
  const auto& d = p.data;
  if (fromHost && p.address == kSyncAddress) return d.empty() ? "sync request / address query" : "malformed sync";
  if (fromHost && p.address == kRouteAddress) {
    return d.size() == 1 ? (d[0] ? "route switch on" : "route switch off") : "malformed route switch";
  }
  if (d.empty()) return fromHost ? "empty packet" : "sync reply / address answer";
  if (d[0] == 0 && d.size() == 2) return fromHost ? "heartbeat answer" : "heartbeat";
  switch (d[0]) {
    case 4:
      return "store slot";
    case 8:
      return "I2C";
    case 23:
      return "echo";
    case 0x49:
      return "module query";
    case 0x5E:
      return "factory data";
    case 0x5F:
      if (d.size() >= 2 && (d[1] & kDirectionMask) == 0) {
        static const char* const ops[] = {"init", "data", "load", "prepare", "sum", "write", "reboot", "status"};
        return std::string("upgrade ") + (d[1] < 8 ? ops[d[1]] : "unknown operation");
      }
      break;
    default:
      break;
  }
  if (d.size() < 3) return "short command";
  std::string text;
  switch (d[1] & kDirectionMask) {
    case kOptionGet:
      text = "UEI get";
      break;
    case kOptionSet:
      text = "UEI set";
      break;
    case kOptionAck:
      text = "UEI ack";
      break;
    default:
      text = (d[2] & kSpecStream) ? "stream sample" : "UEI reply";
  }
  text += " command " + std::to_string(d[0]) + " option " + std::to_string(d[1] & kOptionMask) + " index " +
          std::to_string(d[2] & kIndexMask);
  if ((d[2] & kSpecError) && d.size() > 3) text += std::string(" error ") + aError_GetErrorText(d[3]);
  return text;
}

}  // namespace

std::string DescribePacket(const SimPacket& packet, bool fromHost) {
  std::vector<uint8_t> wire = packet.wire();
  return HexBytes(wire) + "  [" + Meaning(packet, fromHost) + "]";
}

}  // namespace devsim
