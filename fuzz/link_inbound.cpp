// Arbitrary device bytes into the link engine's inbound thread body: packet assembly, the sync
// machine, heartbeat answers, the user filter and the reply queue. The thread body runs on the
// fuzzer's own thread over a scripted stream, which ends it after the last byte, so each input
// is one deterministic pass. The first two bytes steer the run: flags (bit 0: the link is asked
// to sync before the first device byte, bit 1: a user filter takes packets from the address in
// the second byte, bit 2: a sync is asked for again half-way). Every queued packet must be a
// whole one of at most 28 bytes.
#include <cstddef>
#include <cstdint>

#include "aLink.h"
#include "aLinkRecord.h"

namespace {

struct Script {
  aLinkRecord* link;
  const uint8_t* data;
  size_t size;
  size_t pos;
  size_t syncAt;  // offset at which a sync is asked for, as aLink_Sync does from another thread
};

aErr sGet(uint8_t* byte, void* reference) {
  Script* s = static_cast<Script*>(reference);
  if (s->pos == s->syncAt) s->link->status = LINK_SYNCING;
  *byte = s->data[s->pos++];
  // The thread body handles this byte and then finds that it should stop.
  if (s->pos == s->size) s->link->running = false;
  return aErrNone;
}
aErr sPut(uint8_t, void*) { return aErrNone; }
aErr sWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr sDestroy(void*) { return aErrNone; }

uint8_t sFilterAddress(const aPacket* packet, void* reference) {
  return packet->address == *static_cast<const uint8_t*>(reference);
}

// Takes every queued packet and checks it is whole; returns how many there were.
size_t sDrain(aPacketFifoHandle fifo) {
  size_t count = 0;
  while (aPacket* packet = aPacketFifo_Get(fifo)) {
    if (packet->dataSize > aPACKET_MAX_DATA || !aPacket_IsComplete(packet)) __builtin_trap();
    aPacket_Destroy(&packet);
    ++count;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  uint8_t filterAddress = data[1];
  const uint8_t* device = data + 2;
  const size_t length = size - 2;

  aLinkRecord link;
  link.inFifo = aPacketFifo_Create();
  link.outFifo = aPacketFifo_Create();
  link.packet = aPacket_Create();
  Script script{&link, device, length, 0, (flags & 1) ? 0 : (flags & 4) ? length / 2 : length};
  link.stream = aStream_Create(sGet, sPut, sWrite, sDestroy, &script);
  if (flags & 2) {
    link.userFilter = sFilterAddress;
    link.userFilterRef = &filterAddress;
  }
  if (link.inFifo != 0 && link.outFifo != 0 && link.packet != nullptr && link.stream != nullptr) {
    link.running = true;
    aLink_InboundProcess(&link);
    if (script.pos != length) __builtin_trap();
    sDrain(link.inFifo);
    sDrain(link.outFifo);  // sync bursts and heartbeat answers
  }
  aStream_Destroy(&link.stream);
  aPacket_Destroy(&link.packet);
  aPacketFifo_Destroy(&link.inFifo);
  aPacketFifo_Destroy(&link.outFifo);
  return 0;
}
