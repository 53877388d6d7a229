#include "LinkStoreSlots.h"

#include <string.h>

#include <algorithm>

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kSlotError = 0x80;  // in data[1]
constexpr uint8_t kSlotCodeAt = 4;    // an error reply's code, for subcommands 1..4
constexpr uint8_t kHandleCodeAt = 3;  // and for 6..8
constexpr uint8_t kInvalidHandle = 255;
constexpr size_t kSlotChunk = 25;
constexpr uint32_t kSlotWaitMs = 1000;
constexpr uint32_t kOpenWaitMs = 3000;

enum SlotSubcommand : uint8_t {
  kCapacity = 1,
  kSize = 2,
  kOpenRead = 3,
  kOpenWrite = 4,
  kRead = 6,
  kWrite = 7,
  kClose = 8,
};

// A slot request: the subcommand and either store and slot (1..4) or a handle (5..8).
struct SlotRequest {
  uint8_t subcommand;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};

bool sAddressesSlot(uint8_t subcommand) { return subcommand >= kCapacity && subcommand <= kOpenWrite; }
bool sAddressesHandle(uint8_t subcommand) { return subcommand >= 5 && subcommand <= kClose; }

uint8_t sSlotFilter(const aPacket* packet, void* reference) {
  const auto* request = static_cast<const SlotRequest*>(reference);
  if (packet->dataSize < 4 || packet->data[0] != kSlotCommand) return 0;
  if ((packet->data[1] & ~kSlotError) != request->subcommand) return 0;
  if (sAddressesSlot(request->subcommand)) {
    return packet->data[2] == request->store && packet->data[3] == request->slot;
  }
  if (sAddressesHandle(request->subcommand)) return packet->data[2] == request->handle;
  return 0;
}

aErr sRefusal(const aPacket& reply, uint8_t codeAt) { return Link::refusal(reply, 1, codeAt); }

// Sends a slot request (its header, then extra bytes) and waits for the reply.
aErr sExchange(Link& link, uint8_t module, const SlotRequest& request, const uint8_t* extra, size_t extraLength,
               uint32_t waitMs, OwnedPacket* reply) {
  uint8_t data[aPACKET_MAX_DATA] = {kSlotCommand, request.subcommand};
  size_t length = 2;
  if (sAddressesSlot(request.subcommand)) {
    data[length++] = request.store;
    data[length++] = request.slot;
  } else {
    data[length++] = request.handle;
  }
  if (extraLength) memcpy(data + length, extra, extraLength);
  return link.exchange(module, data, static_cast<uint8_t>(length + extraLength), sSlotFilter,
                       const_cast<SlotRequest*>(&request), waitMs, reply);
}

uint8_t sOpenSlot(Link& link, uint8_t module, uint8_t store, uint8_t slot, bool writing) {
  const SlotRequest request{writing ? kOpenWrite : kOpenRead, store, slot, 0};
  OwnedPacket reply;
  if (sExchange(link, module, request, nullptr, 0, kOpenWaitMs, &reply) != aErrNone) return kInvalidHandle;
  if (sRefusal(*reply, kSlotCodeAt) != aErrNone || reply->dataSize < 5) return kInvalidHandle;
  return reply->data[4];
}

aErr sCloseSlot(Link& link, uint8_t module, uint8_t handle) {
  const SlotRequest request{kClose, 0, 0, handle};
  OwnedPacket reply;
  const aErr result = sExchange(link, module, request, nullptr, 0, kSlotWaitMs, &reply);
  // A close that the device does not acknowledge counts as done.
  if (!reply) return result == aErrTimeout ? aErrNone : result;
  if (reply->dataSize != 4) return aErrIO;
  return sRefusal(*reply, kHandleCodeAt);
}

// Capacity or size of a slot: a big-endian 16-bit value in a 6-byte reply.
aErr sSlotQuantity(Link& link, uint8_t subcommand, uint8_t module, uint8_t store, uint8_t slot, size_t* quantity) {
  if (!quantity) return aErrParam;
  if (!link.isConnected()) return aErrConnection;
  OwnedPacket reply;
  aErr result = sExchange(link, module, SlotRequest{subcommand, store, slot, 0}, nullptr, 0, kSlotWaitMs, &reply);
  if (result == aErrNone) result = sRefusal(*reply, kSlotCodeAt);
  if (result != aErrNone) return result;
  if (reply->dataSize != 6) return aErrUnknown;
  *quantity = aUEI_RetrieveShort(reply->data + 4);
  return aErrNone;
}

uint8_t sSum(const uint8_t* bytes, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

aErr sWriteChunks(Link& link, uint8_t module, uint8_t handle, const uint8_t* data, size_t length) {
  const SlotRequest request{kWrite, 0, 0, handle};
  for (size_t offset = 0; offset < length;) {
    const size_t chunk = std::min(kSlotChunk, length - offset);
    OwnedPacket reply;
    aErr result = sExchange(link, module, request, data + offset, chunk, kSlotWaitMs, &reply);
    if (result != aErrNone) return result;
    if (reply->dataSize == 4) {
      result = sRefusal(*reply, kHandleCodeAt);
      if (result != aErrNone) return result;
      if (reply->data[3] != sSum(data + offset, chunk)) return aErrIO;
    }
    offset += chunk;
  }
  return aErrNone;
}

aErr sReadChunks(Link& link, uint8_t module, uint8_t handle, uint8_t* buffer, size_t amount) {
  const SlotRequest request{kRead, 0, 0, handle};
  for (size_t done = 0; done < amount;) {
    OwnedPacket reply;
    aErr result = sExchange(link, module, request, nullptr, 0, kSlotWaitMs, &reply);
    if (result != aErrNone) return result;
    if (reply->dataSize <= 3) return aErrUnknown;
    result = sRefusal(*reply, kHandleCodeAt);
    if (result != aErrNone) return result;
    const size_t chunk = std::min<size_t>(reply->dataSize - 3, amount - done);
    memcpy(buffer + done, reply->data + 3, chunk);
    done += chunk;
  }
  return aErrNone;
}

}  // namespace

aErr LinkStoreSlots::capacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  return sSlotQuantity(m_link, kCapacity, module, store, slot, capacity);
}

aErr LinkStoreSlots::size(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  return sSlotQuantity(m_link, kSize, module, store, slot, size);
}

aErr LinkStoreSlots::load(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
  if (!m_link.isConnected()) return aErrConnection;
  if (length != 0 && !data) return aErrParam;
  const uint8_t handle = sOpenSlot(m_link, module, store, slot, true);
  if (handle == kInvalidHandle) return aErrMedia;
  const aErr transfer = sWriteChunks(m_link, module, handle, data, length);
  const aErr close = sCloseSlot(m_link, module, handle);
  return transfer != aErrNone ? transfer : close;
}

aErr LinkStoreSlots::unload(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                        size_t* unloaded) {
  if (!buffer || !unloaded) return aErrParam;
  if (!m_link.isConnected()) return aErrConnection;
  size_t slotSize = 0;
  aErr result = size(module, store, slot, &slotSize);
  if (result != aErrNone) return result;
  const uint8_t handle = sOpenSlot(m_link, module, store, slot, false);
  if (handle == kInvalidHandle) return aErrMedia;
  const size_t amount = std::min(bufferLength, slotSize);
  const aErr transfer = sReadChunks(m_link, module, handle, buffer, amount);
  const aErr close = sCloseSlot(m_link, module, handle);
  if (transfer != aErrNone) return transfer;
  if (close != aErrNone) return close;
  *unloaded = amount;
  return bufferLength < slotSize ? aErrOverrun : aErrNone;
}

}  // namespace Axonforge
}  // namespace Tessaron
