#ifndef AXONFORGE2_APACKETFIFO_H
#define AXONFORGE2_APACKETFIFO_H

#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

// Thread-safe queue of packets between a link's worker threads and its callers.
// A FIFO is named by a 64-bit handle, never by pointer: once destroyed, its handle
// simply stops resolving. Packets are copied in; every packet handed out is a fresh
// one owned by the caller (release it with aPacket_Destroy).

typedef uint64_t aPacketFifoHandle;

// Caller predicate: non-zero accepts the packet. Filters run with the FIFO locked,
// so a filter must not call back into the same FIFO.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* reference);

// A put that makes the queue longer than this discards the whole queue.
#define aPACKETFIFO_CAPACITY 1000

#ifdef __cplusplus
extern "C" {
#endif

// New empty FIFO; 0 when it cannot be allocated.
aPacketFifoHandle aPacketFifo_Create(void);
// Wakes every waiter, discards the queue and zeroes *handle.
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);

uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle);
// Queues a copy; the caller keeps its packet.
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);

// Oldest packet, or null when none is queued (Get) or none arrives in time (Await).
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs);
// Ends the wait of an aPacketFifo_Await now, or of the next one to start when none waits: it
// returns the oldest packet if one is queued, else null at once. A link's stop uses it so that
// its writer notices the stop without waiting out its await.
aErr aPacketFifo_Wake(aPacketFifoHandle handle);

// Oldest packet the filter accepts. Rejected packets stay queued; within one call
// each packet is offered to the filter at most once.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, void* reference,
                                uint32_t timeoutMs);

// Removes every packet the filter accepts; returns how many.
uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, void* reference);

#ifdef __cplusplus
}
#endif

#endif
