#include "aLinkPacketDebug.h"

#include <string.h>

#include "aLinkRegistry.h"

namespace {

// Runs fn(link) on the record of a registered link, with its packet-log mutex held.
template <typename Fn>
aErr sWithLogLocked(uint32_t linkId, Fn fn) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  if (!entry) return aErrParam;
  aLinkRecord& link = *entry->link;
  std::lock_guard<std::mutex> lock(link.packetLogMutex);
  return fn(link);
}

}  // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size) {
  if (size > aLINK_PACKETLOG_MAX_SIZE) return aErrParam;
  return sWithLogLocked(linkId, [size](aLinkRecord& link) {
    if (link.packetLog != nullptr) return aErrBusy;
    link.packetLogSize = size < 0 ? 0 : static_cast<uint32_t>(size);
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Enable(uint32_t linkId) {
  return sWithLogLocked(linkId, [](aLinkRecord& link) {
    if (link.packetLogSize == 0) link.packetLogSize = aLINK_PACKETLOG_DEFAULT_SIZE;
    if (link.packetLog == nullptr) link.packetLog = aPacketLog_Create(link.packetLogSize);
    if (link.packetLog == nullptr) return aErrResource;
    link.packetLog->enabled = true;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Disable(uint32_t linkId) {
  return sWithLogLocked(linkId, [](aLinkRecord& link) {
    if (link.packetLog == nullptr) return aErrNotReady;
    link.packetLog->enabled = false;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
  return sWithLogLocked(linkId, [&](aLinkRecord& link) {
    if (link.packetLog == nullptr) return aErrNotReady;
    return aPacketLog_Get(link.packetLog, direction, length, buffer);
  });
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length, const uint8_t* bytes) {
  return sWithLogLocked(linkId, [&](aLinkRecord& link) {
    if (link.packetLog == nullptr) return aErrNotReady;
    return aPacketLog_Put(link.packetLog, direction, length, bytes);
  });
}

void aLinkRecord_LogPacket(aLinkRecord& link, uint8_t direction, const aPacket& packet) {
  std::lock_guard<std::mutex> lock(link.packetLogMutex);
  if (link.packetLog == nullptr || !link.packetLog->enabled || packet.dataSize > aPACKET_MAX_DATA) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  wire[0] = packet.address;
  wire[1] = packet.dataSize;
  memcpy(wire + 2, packet.data, packet.dataSize);
  aPacketLog_Put(link.packetLog, direction, packet.dataSize + 2u, wire);
}

void aLinkRecord_DestroyPacketLog(aLinkRecord& link) {
  std::lock_guard<std::mutex> lock(link.packetLogMutex);
  aPacketLog_Destroy(&link.packetLog);
}
