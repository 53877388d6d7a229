#ifndef AXONFORGE2_ASERVERFRAME_H
#define AXONFORGE2_ASERVERFRAME_H

// The message frames of a link server. A packet frame is a packet's wire image: address,
// data length n, then n data bytes, so 2 to 30 bytes; a stream frame is several packet frames
// end to end. These work on plain buffers and take any bytes.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

#ifdef __cplusplus
extern "C" {
#endif

// The packet of a packet frame in a new packet (*packet, the caller's). aErrParam without
// bytes or packet pointer, aErrPacket when the buffer is not exactly one packet frame,
// aErrMemory; *packet stays null on failure.
aErr aServerFrame_ToPacket(const uint8_t* bytes, size_t size, aPacket** packet);
// Writes the packet's frame into buffer (room for aPACKET_MAX_WIRE bytes) and returns its size.
size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* buffer);

#ifdef __cplusplus
}
#endif

#endif
