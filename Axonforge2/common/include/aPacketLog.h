#ifndef AXONFORGE2_APACKETLOG_H
#define AXONFORGE2_APACKETLOG_H

// Ring buffer of the packets a link sends and receives, kept for diagnosis. Each record is
// a direction byte, a length byte and that many bytes, wrapping round the end of the ring.
// When a new record does not fit, the oldest records are dropped to make room.
// The ring itself is not locked: its owner serialises access.

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

// Record directions.
#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_TEXT 3

// Largest record payload: the length is stored in one byte.
#define aPACKETLOG_MAX_RECORD 255

typedef struct aPacketLog {
  bool enabled;
  uint8_t* buffer;
  uint32_t size;
  uint32_t readIndex;   // oldest stored byte
  uint32_t writeIndex;  // next free byte; equal indices mean empty
} aPacketLog;

#ifdef __cplusplus
extern "C" {
#endif

// An empty, disabled ring of size bytes; null when size is 0 or memory runs out.
aPacketLog* aPacketLog_Create(uint32_t size);
// Appends one record. aErrOverrun when it could never fit, aErrParam for a missing log or
// bytes, or a length above aPACKETLOG_MAX_RECORD.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint32_t length, const uint8_t* bytes);
// Takes the oldest record. *length is the buffer's capacity on entry and the record's length
// on return; a record longer than the capacity gives aErrOverrun and stays in the ring.
// aErrNotFound when the ring is empty.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer);
// Frees the ring and nulls the caller's pointer; a null log is fine.
aErr aPacketLog_Destroy(aPacketLog** log);

#ifdef __cplusplus
}
#endif

#endif
