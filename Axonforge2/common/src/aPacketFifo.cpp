#include "aPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "aPacketFifoTesting.h"

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

struct SerialPacket {
  int32_t id;
  OwnedPacket packet;
};

using Clock = std::chrono::steady_clock;

// True when id was issued after lastSeen. Ids are 32-bit and wrap, so the signed
// difference decides rather than a plain comparison.
bool sIsAfter(int32_t id, int32_t lastSeen) {
  return static_cast<int32_t>(static_cast<uint32_t>(id) - static_cast<uint32_t>(lastSeen)) > 0;
}

int32_t sPrevious(int32_t id) { return static_cast<int32_t>(static_cast<uint32_t>(id) - 1u); }

struct packetFifo {
  using Queue = std::deque<SerialPacket>;

  Queue packets;
  std::condition_variable cond;
  std::mutex mutex;
  std::atomic<bool> alive{true};
  bool woken = false;  // aPacketFifo_Wake: the current or next Await returns at once
  std::atomic<int32_t> windowStart{0};
  std::atomic<int32_t> nextPacketId{0};

  // All of the following expect `mutex` to be held.
  void syncWindow() { windowStart = packets.empty() ? nextPacketId.load() : packets.front().id; }

  void clearAndSyncWindow() {
    packets.clear();
    syncWindow();
  }

  void eraseAndSyncWindow(Queue::iterator first, Queue::iterator last) {
    packets.erase(first, last);
    syncWindow();
  }

  // Hands the queued copy itself to the caller: it is already a private packet, so
  // copying it once more would only add an allocation that could fail.
  aPacket* steal(Queue::iterator element) {
    aPacket* packet = element->packet.release();
    eraseAndSyncWindow(element, std::next(element));
    return packet;
  }

  Clock::time_point deadlineAfter(uint32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
};

using FifoRef = std::shared_ptr<packetFifo>;

// The process-wide handle registry. Built on first use and kept for the whole run so
// that links torn down during static destruction still find it.
struct FifoRegistry {
  std::unordered_map<aPacketFifoHandle, FifoRef> gpPacketFifoDictionary;
  std::mutex gpPacketFifoDictionaryMutex;
  std::atomic<uint64_t> gpSequentialId{1};

  // Expects the registry mutex to be held. Zero is never issued, and once the counter
  // has come round a handle still in use is skipped rather than shared.
  aPacketFifoHandle nextHandle() {
    aPacketFifoHandle handle = 0;
    while (handle == 0 || gpPacketFifoDictionary.count(handle) != 0) handle = gpSequentialId.fetch_add(1);
    return handle;
  }

  FifoRef resolve(aPacketFifoHandle handle) {
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(handle);
    return found == gpPacketFifoDictionary.end() ? nullptr : found->second;
  }

  FifoRef extract(aPacketFifoHandle handle) {
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto found = gpPacketFifoDictionary.find(handle);
    if (found == gpPacketFifoDictionary.end()) return nullptr;
    FifoRef fifo = std::move(found->second);
    gpPacketFifoDictionary.erase(found);
    return fifo;
  }
};

FifoRegistry& sRegistry() {
  static FifoRegistry* registry = new FifoRegistry;
  return *registry;
}

// Runs the filter over the queue; the first accepted element, or end().
packetFifo::Queue::iterator sFindFirst(packetFifo& fifo, aPacketFilter filter, void* reference) {
  for (auto element = fifo.packets.begin(); element != fifo.packets.end(); ++element) {
    if (filter(element->packet.get(), reference)) return element;
  }
  return fifo.packets.end();
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create(void) {
  try {
    FifoRef fifo = std::make_shared<packetFifo>();
    FifoRegistry& registry = sRegistry();
    std::lock_guard<std::mutex> lock(registry.gpPacketFifoDictionaryMutex);
    aPacketFifoHandle handle = registry.nextHandle();
    registry.gpPacketFifoDictionary.emplace(handle, std::move(fifo));
    return handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
  if (handle == nullptr) return aErrParam;
  FifoRef fifo = sRegistry().extract(*handle);
  if (!fifo) return aErrNotFound;
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    fifo->clearAndSyncWindow();
    fifo->alive = false;
  }
  fifo->cond.notify_all();
  *handle = 0;
  return aErrNone;
}

uint32_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return static_cast<uint32_t>(fifo->packets.size());
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return aErrParam;
  OwnedPacket copy(aPacket_Copy(packet));  // null for an invalid packet too
  if (!copy) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    // A put racing with destruction must not revive the queue.
    if (!fifo->alive) return aErrParam;
    try {
      fifo->packets.push_back(SerialPacket{fifo->nextPacketId.fetch_add(1), std::move(copy)});
    } catch (const std::bad_alloc&) {
      return aErrResource;
    }
    if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
      // Nobody is draining this queue; drop the backlog rather than grow without bound.
      fifo->clearAndSyncWindow();
      return aErrNone;
    }
    fifo->syncWindow();
  }
  fifo->cond.notify_all();
  return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return nullptr;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  if (fifo->packets.empty()) return nullptr;
  return fifo->steal(fifo->packets.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return nullptr;
  const Clock::time_point deadline = fifo->deadlineAfter(timeoutMs);
  std::unique_lock<std::mutex> lock(fifo->mutex);
  fifo->cond.wait_until(lock, deadline, [&] { return !fifo->packets.empty() || !fifo->alive || fifo->woken; });
  fifo->woken = false;
  if (!fifo->alive || fifo->packets.empty()) return nullptr;
  return fifo->steal(fifo->packets.begin());
}

aErr aPacketFifo_Wake(aPacketFifoHandle handle) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    fifo->woken = true;
  }
  fifo->cond.notify_all();
  return aErrNone;
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, void* reference) {
  if (filter == nullptr) return nullptr;
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return nullptr;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  auto accepted = sFindFirst(*fifo, filter, reference);
  if (accepted == fifo->packets.end()) return nullptr;
  return fifo->steal(accepted);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, void* reference,
                                uint32_t timeoutMs) {
  if (filter == nullptr) return nullptr;
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return nullptr;
  const Clock::time_point deadline = fifo->deadlineAfter(timeoutMs);
  std::unique_lock<std::mutex> lock(fifo->mutex);

  // Every element with an id up to lastSeen has been offered to the filter already
  // (or was taken by someone else); a wake-up only looks at what arrived since.
  int32_t lastSeen = sPrevious(fifo->windowStart);
  // Arrivals invalidate iterators (end() included), so "nothing accepted" is a flag of its
  // own; an accepted position is used before the lock is let go.
  bool found = false;
  packetFifo::Queue::iterator accepted;
  auto scanNewArrivals = [&] {
    if (!fifo->alive) return true;
    for (auto element = fifo->packets.begin(); element != fifo->packets.end(); ++element) {
      if (!sIsAfter(element->id, lastSeen)) continue;
      lastSeen = element->id;
      if (filter(element->packet.get(), reference)) {
        accepted = element;
        found = true;
        return true;
      }
    }
    return false;
  };
  fifo->cond.wait_until(lock, deadline, scanNewArrivals);
  if (!fifo->alive || !found) return nullptr;
  return fifo->steal(accepted);
}

uint32_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, void* reference) {
  if (filter == nullptr) return 0;
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return 0;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  const size_t before = fifo->packets.size();
  auto kept = std::remove_if(fifo->packets.begin(), fifo->packets.end(), [&](const SerialPacket& element) {
    return filter(element.packet.get(), reference) != 0;
  });
  fifo->eraseAndSyncWindow(kept, fifo->packets.end());
  return static_cast<uint32_t>(before - fifo->packets.size());
}

void aPacketFifo_TestSetNextPacketId(aPacketFifoHandle handle, int32_t nextId) {
  FifoRef fifo = sRegistry().resolve(handle);
  if (!fifo) return;
  std::lock_guard<std::mutex> lock(fifo->mutex);
  fifo->clearAndSyncWindow();
  fifo->nextPacketId = nextId;
  fifo->syncWindow();
}

void aPacketFifo_TestSetNextHandle(uint64_t next) { sRegistry().gpSequentialId = next; }
