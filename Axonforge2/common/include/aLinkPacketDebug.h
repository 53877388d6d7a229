#ifndef AXONFORGE2_ALINKPACKETDEBUG_H
#define AXONFORGE2_ALINKPACKETDEBUG_H

// Per-link packet log control. While enabled, a link records every packet it sends
// (aPACKETLOG_SENT) and receives (aPACKETLOG_RECEIVED) in its ring; callers may add text
// notes (aPACKETLOG_TEXT) and read records back, typically from an aLogger thread.
// An unknown link id gives aErrParam.

#include <stdint.h>

#include "aError.h"
#include "aPacketLog.h"

// Ring size when none was set: 64 KiB. Largest accepted size: 64 MiB.
#define aLINK_PACKETLOG_DEFAULT_SIZE 0x10000
#define aLINK_PACKETLOG_MAX_SIZE 0x4000000

#ifdef __cplusplus
extern "C" {
#endif

// Size of the ring created by the next enable; aErrBusy once the ring exists. A negative
// size selects the default.
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size);
// Creates the ring on first use (aErrResource when that fails) and starts recording.
aErr aLink_PacketDebug_Enable(uint32_t linkId);
// Stops recording; the records already stored can still be read. aErrNotReady without a ring.
aErr aLink_PacketDebug_Disable(uint32_t linkId);
// Oldest record, as aPacketLog_Get. aErrNotReady without a ring.
aErr aLink_PacketDebug_Read(uint32_t linkId, uint8_t* direction, uint32_t* length, uint8_t* buffer);
// Adds a record, as aPacketLog_Put. aErrNotReady without a ring.
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length, const uint8_t* bytes);

#ifdef __cplusplus
}
#endif

#endif
