#ifndef AXONFORGE2_ALINKRECORD_H
#define AXONFORGE2_ALINKRECORD_H

// The link engine's state for one link id. Internal to the link core: callers name links by
// id, and only the engine, the registry and the link server reach into this record.

#include <stdint.h>

#include <mutex>

#include "aPacket.h"
#include "aPacketLog.h"

#define aLINK_CHECK 0xCEED

struct aLinkRecord {
  uint32_t check = 0;  // aLINK_CHECK while initialised
  uint32_t id = 0;

  // Packet log: created on first enable, freed with the record. Every put and get, from the
  // link threads and from callers alike, happens under packetLogMutex.
  aPacketLog* packetLog = nullptr;
  uint32_t packetLogSize = 0;  // bytes; 0 = default
  std::mutex packetLogMutex;
};

// Records a packet's wire bytes in the link's packet log while logging is enabled.
void aLinkRecord_LogPacket(aLinkRecord& link, uint8_t direction, const aPacket& packet);
// Frees the packet log, if any.
void aLinkRecord_DestroyPacketLog(aLinkRecord& link);

#endif
