// The two threads of a link: inbound (byte-by-byte packet assembly, the sync handshake,
// heartbeat answers, the user filter) and outbound (writing queued packets to the stream).

#include <string.h>

#include <chrono>
#include <thread>

#include "aLink.h"
#include "aLinkRecord.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kSyncBurstCount = 6;
// Sync bursts go out at most this often. Without a bound, a module that never answers, or a
// stream of unrelated bytes during a sync, would have every read timeout or stray byte send
// another burst.
constexpr milliseconds kMinBurstInterval(50);
// A stream read that finds no byte and returns at once is followed by this pause, so that
// streams which do not wait for data themselves are not polled in a busy loop.
constexpr milliseconds kIdlePause(1);
constexpr milliseconds kInstantReturn(1);
constexpr milliseconds kReadErrorPause(100);
// The outbound thread looks at `running` at least this often.
constexpr uint32_t kOutboundWaitMs = 100;
constexpr size_t kPoolSize = 4096;

aLinkRecord& sRecord(void* argument) { return *static_cast<aLinkRecord*>(argument); }

// --- inbound ---------------------------------------------------------------------------

// Asks the module to show where packets begin: six empty packets to the sync address, each
// answered by two empty packets from the module's own address.
void sSyncBurst(aLinkRecord& link) {
  link.status = LINK_SYNCING;
  aPacket_Reset(link.packet);
  const Clock::time_point now = Clock::now();
  if (now - link.lastBurst < kMinBurstInterval) {
    // A burst is already out: keep looking for its answer instead of sending another.
    if (link.syncState == kSyncStateSynced || link.syncState == kSyncStateStart) link.syncState = kSyncStateByte1;
    return;
  }
  link.lastBurst = now;
  link.syncState = kSyncStateStart;
  aErr err = aErrNone;
  for (int i = 0; i < kSyncBurstCount; ++i) err = aLinkRecord_QueueOutbound(link, aLINK_SYNC_ADDRESS, 0, nullptr);
  if (err == aErrNone) link.syncState = kSyncStateByte1;
}

constexpr uint8_t kHeartbeatLength = 2;

void sAnswerHeartbeat(aLinkRecord& link, uint8_t address, uint8_t value) {
  const uint8_t answer[kHeartbeatLength] = {0, static_cast<uint8_t>(value + 2)};
  aLinkRecord_QueueOutbound(link, address, sizeof answer, answer);
}

// One received byte while syncing; the answer looked for is address, 0, address, 0. A
// heartbeat met on the way is answered, so that a module which heartbeats from the moment it
// is opened is never left unanswered while the link gets in step.
void sSyncMachine(aLinkRecord& link, uint8_t byte) {
  switch (link.syncState) {
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link.syncAddress = byte;
        link.syncState = kSyncStateByte2;
      } else {
        sSyncBurst(link);
      }
      break;
    case kSyncStateByte2:
      link.syncState = byte == 0 ? kSyncStateByte3 : byte == kHeartbeatLength ? kSyncStateHeartbeatCommand : kSyncStateStart;
      break;
    case kSyncStateHeartbeatCommand:
      link.syncState = byte == 0 ? kSyncStateHeartbeatValue : kSyncStateStart;
      break;
    case kSyncStateHeartbeatValue:
      if (byte <= 1) sAnswerHeartbeat(link, link.syncAddress, byte);
      link.syncState = byte <= 1 ? kSyncStateByte1 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link.syncState = byte == link.syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link.syncState = kSyncStateSynced;
        link.status = LINK_RUNNING;
      } else {
        link.syncState = kSyncStateStart;
      }
      break;
    default:  // in step already, or a failed match: ask again
      sSyncBurst(link);
      break;
  }
}

// Answers a module heartbeat (command 0, two bytes); true when the packet was one.
bool sHandleHeartbeat(aLinkRecord& link, const aPacket& packet) {
  if (packet.dataSize != kHeartbeatLength || packet.data[0] != 0) return false;
  if (link.hbState == aLINK_HB_UP || link.hbState == aLINK_HB_DOWN) return false;
  const uint8_t value = packet.data[1];
  if (value == 0) link.hbState = aLINK_HB_UP;
  if (value == 1) link.hbState = aLINK_HB_DOWN;
  sAnswerHeartbeat(link, packet.address, value);
  link.hbState = aLINK_HB_IDLE;
  return true;
}

bool sRunUserFilter(aLinkRecord& link, const aPacket& packet) {
  std::lock_guard<std::mutex> lock(link.userFilterMutex);
  return link.userFilter != nullptr && link.userFilter(&packet, link.userFilterRef) != 0;
}

// After each accepted byte: a complete packet is logged, offered to the user filter and the
// heartbeat handler, and otherwise queued for callers.
aErr sHandlePacket(aLinkRecord& link) {
  if (!aPacket_IsComplete(link.packet)) return aErrNone;
  const aPacket& packet = *link.packet;
  aLinkRecord_LogPacket(link, aPACKETLOG_RECEIVED, packet);
  aErr err = aErrNone;
  if (!sRunUserFilter(link, packet) && !sHandleHeartbeat(link, packet)) {
    err = aPacketFifo_Put(link.inFifo, link.packet);
  }
  aPacket_Reset(link.packet);
  return err;
}

void sInboundByte(aLinkRecord& link, uint8_t byte) {
  if (link.status == LINK_SYNCING) {
    sSyncMachine(link, byte);
  } else if (aPacket_AddByte(link.packet, byte) != aErrNone) {
    sSyncBurst(link);  // out of step with the packet boundaries
  } else if (sHandlePacket(link) != aErrNone) {
    link.status = LINK_PACKET_ERROR;
  }
}

// --- outbound --------------------------------------------------------------------------

size_t sAppendWire(const aPacket& packet, uint8_t* buffer) {
  buffer[0] = packet.address;
  buffer[1] = packet.dataSize;
  memcpy(buffer + 2, packet.data, packet.dataSize);
  return packet.dataSize + 2u;
}

// Writes one packet and releases it. Write errors are not reported: the packet is dropped.
// Packets are logged before they go out, so that a reply can never precede its request.
void sWriteOne(aLinkRecord& link, aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  const size_t length = sAppendWire(*packet, wire);
  aLinkRecord_LogPacket(link, aPACKETLOG_SENT, *packet);
  aPacket_Destroy(&packet);
  aStream_Write(link.stream, wire, length);
}

// Coalesces first and whatever else is queued right now into one write of at most kPoolSize
// bytes; never waits for more.
void sWritePooled(aLinkRecord& link, aPacket* first) {
  uint8_t pool[kPoolSize];
  size_t used = 0;
  for (aPacket* packet = first; packet != nullptr;) {
    used += sAppendWire(*packet, pool + used);
    aLinkRecord_LogPacket(link, aPACKETLOG_SENT, *packet);
    aPacket_Destroy(&packet);
    if (used <= kPoolSize - aPACKET_MAX_WIRE) packet = aPacketFifo_Get(link.outFifo);
  }
  aStream_Write(link.stream, pool, used);
}

}  // namespace

aErr aLinkRecord_QueueOutbound(aLinkRecord& link, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNoData = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &kNoData);
  if (packet == nullptr) return aErrMemory;
  const aErr err = aPacketFifo_Put(link.outFifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

void aLink_InboundProcess(void* argument) {
  aLinkRecord& link = sRecord(argument);
  link.hbState = aLINK_HB_IDLE;
  link.syncAddress = 1;
  link.syncState = kSyncStateSynced;
  link.lastBurst = Clock::now() - kMinBurstInterval;
  link.inStarted = true;
  link.status = LINK_RUNNING;
  while (link.running) {
    uint8_t byte = 0;
    const Clock::time_point readStart = Clock::now();
    const aErr err = aStream_Read(link.stream, &byte, 1);
    if (err == aErrNotReady) {
      if (link.status == LINK_SYNCING) sSyncBurst(link);
      if (Clock::now() - readStart < kInstantReturn) std::this_thread::sleep_for(kIdlePause);
    } else if (err != aErrNone) {
      link.status = LINK_IO_ERROR;
      std::this_thread::sleep_for(kReadErrorPause);
    } else {
      sInboundByte(link, byte);
    }
  }
}

void aLink_OutboundProcess(void* argument) {
  aLinkRecord& link = sRecord(argument);
  link.outStarted = true;
  while (link.running) {
    aPacket* packet = aPacketFifo_Await(link.outFifo, kOutboundWaitMs);
    if (packet == nullptr) continue;
    if (link.pooled) {
      sWritePooled(link, packet);
    } else {
      sWriteOne(link, packet);
    }
  }
  // Whatever is still queued (the route switch off, heartbeat answers) goes out before the end.
  while (aPacket* packet = aPacketFifo_Get(link.outFifo)) sWriteOne(link, packet);
}
