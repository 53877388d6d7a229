#ifndef AXONFORGE2_ALINKRECORD_H
#define AXONFORGE2_ALINKRECORD_H

// The link engine's state for one link id. Internal to the link core: callers name links by
// id, and only the engine and the registry reach into this record.

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "aPacket.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aStream.h"

#define aLINK_CHECK 0xCEED

// Heartbeat states of the inbound thread.
#define aLINK_HB_IDLE 0
#define aLINK_HB_UP 2
#define aLINK_HB_DOWN 3

// Sync machine states: 0 is "in step"; the others follow a burst of sync requests.
enum aLinkSyncState : uint32_t {
  kSyncStateSynced = 0,
  kSyncStateStart = 1,  // the burst is being queued, or the answer did not match
  kSyncStateByte1 = 2,  // expecting the module address
  kSyncStateByte2 = 3,  // expecting length 0
  kSyncStateByte3 = 4,  // expecting the module address again
  kSyncStateByte4 = 5,  // expecting length 0 again
  // A module heartbeats while the link syncs: address, length 2, then these two bytes.
  kSyncStateHeartbeatCommand = 6,  // expecting the heartbeat's command 0
  kSyncStateHeartbeatValue = 7,    // expecting its value, 0 or 1
};

struct aLinkRecord {
  std::atomic<uint32_t> check{0};  // aLINK_CHECK while initialised
  uint32_t id = 0;

  // Written by one thread and polled by others.
  std::atomic<bool> running{false};
  std::atomic<uint32_t> status{0};
  std::atomic<bool> inStarted{false};
  std::atomic<bool> outStarted{false};
  std::atomic<bool> pooled{false};

  // Replaced only while the threads are stopped (init, reset, destroy).
  aPacketFifoHandle inFifo = 0;
  aPacketFifoHandle outFifo = 0;
  aStream* stream = nullptr;
  std::thread inThread;  // joinable while the link runs
  std::thread outThread;

  // The inbound thread's own: the packet being assembled and the handshake state.
  aPacket* packet = nullptr;
  uint32_t hbState = aLINK_HB_IDLE;
  uint32_t syncState = kSyncStateSynced;
  uint8_t syncAddress = 0;
  std::chrono::steady_clock::time_point lastBurst{};

  // Packet log: created on first enable, freed with the link. Every put and get, from the
  // link threads and from callers alike, happens under packetLogMutex.
  aPacketLog* packetLog = nullptr;
  uint32_t packetLogSize = 0;  // bytes; 0 = default
  std::mutex packetLogMutex;

  // Optional filter run on the inbound thread; held under its mutex while it runs, so it is
  // never removed mid-call.
  aPacketFilter userFilter = nullptr;
  void* userFilterRef = nullptr;
  std::mutex userFilterMutex;
};

// Records a packet's wire bytes in the link's packet log while logging is enabled.
void aLinkRecord_LogPacket(aLinkRecord& link, uint8_t direction, const aPacket& packet);
// Frees the packet log, if any.
void aLinkRecord_DestroyPacketLog(aLinkRecord& link);

// Queues a packet of length payload bytes for the module (link-control and heartbeat packets).
aErr aLinkRecord_QueueOutbound(aLinkRecord& link, uint8_t address, uint8_t length, const uint8_t* data);

// The two thread bodies; the argument is the link record.
void aLink_InboundProcess(void* link);
void aLink_OutboundProcess(void* link);

// Stops both threads; the route switch off is still sent.
aErr aLink_Stop(aLinkRecord* link);

#endif
