#ifndef AXONFORGE2_APACKETFIFOTESTING_H
#define AXONFORGE2_APACKETFIFOTESTING_H

// Hooks for the FIFO's own tests only: they move the internal counters close to their
// limits so that wrap-around can be exercised without billions of puts.

#include <stdint.h>

#include "aPacketFifo.h"

// Empties the queue and makes nextId the id of the next packet put.
void aPacketFifo_TestSetNextPacketId(aPacketFifoHandle handle, int32_t nextId);
// Makes next the counter value the next aPacketFifo_Create draws from.
void aPacketFifo_TestSetNextHandle(uint64_t next);

#endif
