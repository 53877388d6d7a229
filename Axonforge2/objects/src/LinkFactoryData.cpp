#include "LinkFactoryData.h"

#include <string.h>

#include <algorithm>

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint8_t kFactoryCommand = 0x5E;  // '^'
constexpr uint8_t kKindMask = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kEndFlag = 0x20;
constexpr uint8_t kFirstFlag = 0x40;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t COMMAND_OVERHEAD = 2;  // command and kind bytes
constexpr size_t kWriteChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;
constexpr uint32_t kFactoryWaitMs = 1000;

uint8_t sFactoryFilter(const aPacket* packet, void* reference) {
  const uint8_t kind = *static_cast<const uint8_t*>(reference);
  return packet->dataSize >= 2 && packet->data[0] == kFactoryCommand && (packet->data[1] & ~kErrorBit) == kind;
}

// An error reply's code follows the command and kind bytes.
aErr sRefusal(const aPacket& reply) { return Link::refusal(reply, 1, COMMAND_OVERHEAD); }

// Sends one factory packet (command, flags, data) and waits for its reply.
aErr sExchange(Link& link, uint8_t module, uint8_t flags, const uint8_t* data, size_t length, OwnedPacket* reply) {
  uint8_t bytes[aPACKET_MAX_DATA] = {kFactoryCommand, flags};
  if (length) memcpy(bytes + COMMAND_OVERHEAD, data, length);
  uint8_t kind = flags & kKindMask;
  return link.exchange(module, bytes, static_cast<uint8_t>(COMMAND_OVERHEAD + length), sFactoryFilter, &kind,
                       kFactoryWaitMs, reply);
}

// Closes a transfer with the number of bytes moved.
aErr sEndTransfer(Link& link, uint8_t module, size_t count) {
  const uint8_t data[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  OwnedPacket reply;
  aErr result = sExchange(link, module, kEndFlag, data, sizeof data, &reply);
  if (result != aErrNone) return result;
  return reply->dataSize == 3 ? sRefusal(*reply) : aErrNone;
}

}  // namespace

aErr LinkFactoryData::get(uint8_t module, uint8_t kind, uint8_t* buffer, size_t bufferLength, size_t* received) {
  if (!buffer || !received) return aErrParam;
  if (!m_link.isConnected()) return aErrConnection;
  size_t count = 0;
  aErr result = aErrNone;
  bool more = true;
  for (bool first = true; result == aErrNone && more; first = false) {
    OwnedPacket reply;
    result = sExchange(m_link, module, static_cast<uint8_t>((kind & kKindMask) | (first ? kFirstFlag : 0)), nullptr,
                       0, &reply);
    if (result != aErrNone) break;
    if (reply->dataSize < COMMAND_OVERHEAD) {
      result = aErrUnknown;
      break;
    }
    const size_t payload = reply->dataSize - COMMAND_OVERHEAD;
    if (count + payload >= bufferLength) {
      result = aErrOverrun;
    } else if ((result = sRefusal(*reply)) == aErrNone) {
      memcpy(buffer + count, reply->data + COMMAND_OVERHEAD, payload);
      count += payload;
    }
    more = reply->dataSize == aPACKET_MAX_DATA;
  }
  if (result == aErrNone) result = sEndTransfer(m_link, module, count);
  if (result == aErrNone) *received = count;
  return result;
}

aErr LinkFactoryData::set(uint8_t module, uint8_t kind, const uint8_t* data, size_t length) {
  if (length != 0 && !data) return aErrParam;
  if (!m_link.isConnected()) return aErrConnection;
  size_t sent = 0;
  aErr result = aErrNone;
  for (bool first = true; result == aErrNone && sent < length; first = false) {
    const size_t chunk = std::min(kWriteChunk, length - sent);
    const uint8_t flags = static_cast<uint8_t>((kind & kKindMask) | kWriteFlag | (first ? kFirstFlag : 0));
    OwnedPacket reply;
    result = sExchange(m_link, module, flags, data + sent, chunk, &reply);
    if (result != aErrNone) break;
    if (reply->dataSize != COMMAND_OVERHEAD) {
      result = aErrSize;
    } else if (reply->data[1] & kErrorBit) {
      // The acknowledgement has no room for a code: the error bit alone says the device
      // refused the data.
      result = aErrWrite;
    } else {
      sent += chunk;
    }
  }
  if (result == aErrNone) result = sEndTransfer(m_link, module, sent);
  return result;
}

}  // namespace Axonforge
}  // namespace Tessaron
