#ifndef AXONFORGE2_LINKIMPL_H
#define AXONFORGE2_LINKIMPL_H

// The private state of a Link, shared by the files that implement it. Not for callers.

#include <stdint.h>

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "aLinkSpec.h"
#include "aLogger.h"

namespace Tessaron {
namespace Axonforge {

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<aPacket, PacketDeleter>;

struct LinkSpecDeleter {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using OwnedLinkSpec = std::unique_ptr<linkSpec, LinkSpecDeleter>;

// One value of the stream table.
struct StreamEntry {
  uint64_t key = 0;
  uint32_t fresh = 0;  // 1 when a sample arrived since the value was last read
  StreamCallback callback;
  void* context = nullptr;
  uint32_t value = 0;  // last sample value
};

// A sample waiting for its callback on the stream worker.
struct asyncPacket {
  StreamCallback callback;
  void* context = nullptr;
  OwnedPacket packet;
};

constexpr uint16_t kAsyncQueueSlots = 500;
using AsyncQueue = LocklessQueue_SPSC<asyncPacket, kAsyncQueueSlots>;

struct Link::impl {
  explicit impl(Link& owner, const char* name);
  ~impl();

  Link& owner;
  uint32_t linkId = 0;
  aLogger* packetLogger = nullptr;
  aWeaveConfig config;
  std::map<uint64_t, StreamEntry> streamTable;  // guarded by streamMutex
  std::thread asyncThread;
  AsyncQueue asyncQueue;
  std::promise<void> stopSignal;
  std::mutex streamMutex;
  std::string name;
  OwnedLinkSpec specifier;
  bool streamFilterInstalled = false;
  bool packetLogging = false;  // the logger runs for this link id

  // Link engine helpers shared by the conversations.
  bool connected() const;
  // Creates a packet for module and puts it on the outgoing queue; aErrResource when it
  // cannot be created.
  aErr put(uint8_t module, uint8_t length, const uint8_t* data) const;
  // Takes the first received packet the filter accepts within timeoutMs (null on timeout).
  OwnedPacket await(aPacketFilter filter, void* reference, uint32_t timeoutMs) const;

  // Packet log (LinkPacketLog.cpp). Switches recording off and waits until the logger has
  // written what was recorded.
  void finishPacketLog();
  // The same, then the logger goes: it reads the records of this link id only.
  void closePacketLog();

  // Stream machinery (LinkStreams.cpp).
  aErr installStreamFilter(bool on);
  void stopAsyncWorker();
  void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
  void eraseStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
