// The link engine's public operations: initialisation, start and stop, sync, the route
// switch, packet exchange through the two queues, reset and destroy.

#include "aLink.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "aLinkRecord.h"
#include "aLinkRegistry.h"
#include "aLinkTransport.h"
#include "aTransport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Start and sync wait up to 2 s for the link threads. They look often: the state they wait
// for usually comes within a millisecond, and a link opened for a listing is opened once.
constexpr std::chrono::milliseconds kPollInterval(1);
constexpr std::chrono::milliseconds kPollLimit(2000);
constexpr std::chrono::milliseconds kSyncSettle(100);
constexpr int kReopenAttempts = 20;
constexpr std::chrono::milliseconds kReopenPause(100);
constexpr uint32_t kQueryTimeoutMs = 1000;
// aLink_AwaitFirst looks at the link's state at least this often.
constexpr uint32_t kAwaitSliceMs = 20;

// The record of a registered link that has been initialised, or null.
aLinkRecord* sInitialised(const aLinkEntryRef& entry) {
  if (!entry || entry->link->check != aLINK_CHECK) return nullptr;
  return entry->link.get();
}

template <typename Condition>
bool sPollFor(Condition condition) {
  const Clock::time_point deadline = Clock::now() + kPollLimit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

// False when the system cannot start another thread.
bool sStartThread(std::thread* thread, void (*body)(void*), aLinkRecord* link) {
  try {
    *thread = std::thread(body, link);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// False when the join fails.
bool sJoin(std::thread* thread) {
  try {
    thread->join();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void sSetUserFilter(aLinkRecord& link, aPacketFilter filter, void* reference) {
  std::lock_guard<std::mutex> lock(link.userFilterMutex);
  link.userFilter = filter;
  link.userFilterRef = reference;
}

void sDestroyQueues(aLinkRecord& link, aErr* outResult) {
  aPacketFifo_Destroy(&link.inFifo);
  const aErr err = aPacketFifo_Destroy(&link.outFifo);
  if (outResult != nullptr) *outResult = err;
}

// Everything a link owns: its server goes first (it feeds packets into the link), then the
// threads, the queues and the stream, and last the served link a client link kept alive.
aErr sTearDown(aLinkEntry& entry) {
  aLinkRecord& link = *entry.link;
  sSetUserFilter(link, nullptr, nullptr);
  if (aServer* server = entry.server.exchange(nullptr)) aPlatformServers.destroy(&server);
  aLink_Stop(&link);
  aErr result = aErrUnknown;
  sDestroyQueues(link, &result);
  aPacket_Destroy(&link.packet);
  aLinkRecord_DestroyPacketLog(link);
  if (link.stream != nullptr) aStream_Destroy(&link.stream);
  link.check = 0;
  if (uint32_t parent = entry.parent.exchange(0)) aLink_Destroy(&parent);
  return result;
}

// Matches the module's answer to the address query: an empty packet.
uint8_t sIsEmptyPacket(const aPacket* packet, void*) { return packet->dataSize == 0; }

struct ModelQuery {
  uint8_t address;
};

uint8_t sIsModelReply(const aPacket* packet, void* reference) {
  const auto* query = static_cast<const ModelQuery*>(reference);
  return packet->address == query->address && packet->dataSize >= 1 && packet->data[0] == 3;
}

}  // namespace

uint32_t aLink_Init(uint32_t linkId, aStream* stream) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  if (!entry) return 0;
  aLinkRecord& link = *entry->link;
  // A re-initialised link starts with empty queues and a fresh assembly packet. The packet
  // log survives: a logger may be reading it.
  sDestroyQueues(link, nullptr);
  aPacket_Destroy(&link.packet);
  link.inFifo = aPacketFifo_Create();
  link.outFifo = aPacketFifo_Create();
  link.packet = aPacket_Create();
  if (link.inFifo == 0 || link.outFifo == 0 || link.packet == nullptr) {
    sDestroyQueues(link, nullptr);
    aPacket_Destroy(&link.packet);
    link.check = 0;
    return 0;
  }
  link.id = linkId;
  link.check = aLINK_CHECK;
  link.running = false;
  link.stream = stream;
  link.status = stream != nullptr ? LINK_STOPPED : LINK_NO_STREAM;
  link.inStarted = link.outStarted = false;
  link.hbState = aLINK_HB_IDLE;
  link.pooled = false;
  sSetUserFilter(link, nullptr, nullptr);
  return linkId;
}

aErr aLink_Start(uint32_t linkId) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return aErrParam;
  if (link->running) return aErrNone;
  if (link->stream == nullptr) return aErrConnection;
  link->running = true;
  link->status = LINK_STARTING;
  link->hbState = aLINK_HB_IDLE;
  link->inStarted = link->outStarted = false;
  if (!sStartThread(&link->inThread, aLink_InboundProcess, link) ||
      !sStartThread(&link->outThread, aLink_OutboundProcess, link)) {
    link->running = false;
    if (link->inThread.joinable()) sJoin(&link->inThread);
    link->status = LINK_STOPPED;
    return aErrResource;
  }
  if (!sPollFor([link] { return link->inStarted && link->outStarted && link->status == LINK_RUNNING; })) {
    return aErrIndexRange;
  }
  return aLink_ForceRoute(linkId, 1);
}

aErr aLink_Stop(aLinkRecord* link) {
  if (link == nullptr) return aErrParam;
  const uint32_t previous = link->status;
  if (previous == LINK_STOPPING || previous == LINK_STOPPED) return aErrNone;
  link->status = LINK_STOPPING;
  if (!link->inThread.joinable() || !link->outThread.joinable()) {
    link->status = previous;  // nothing was running
    return aErrNone;
  }
  // Queued before the threads end: the outbound thread writes what is left when it stops.
  const uint8_t routeOff = 0;
  aLinkRecord_QueueOutbound(*link, aLINK_ROUTE_ADDRESS, 1, &routeOff);
  link->running = false;
  // Both threads stop now: the writer without waiting out its await, a reader waiting on a slow
  // transport (USB reads wait up to a second) without waiting out the read.
  aPacketFifo_Wake(link->outFifo);
  aStream_Interrupt(link->stream);
  aErr result = aErrNone;
  if (!sJoin(&link->inThread)) result = aErrUnknown;
  if (!sJoin(&link->outThread)) result = aErrUnknown;
  link->inStarted = link->outStarted = false;
  aPacket_Reset(link->packet);
  link->status = LINK_STOPPED;
  link->hbState = aLINK_HB_IDLE;
  return result;
}

aErr aLink_Sync(uint32_t linkId) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return aErrParam;
  link->status = LINK_SYNCING;  // the inbound thread sends the burst on its next byte or timeout,
  aStream_Interrupt(link->stream);  // which an interrupted read brings forward
  const bool synced = sPollFor([link] { return link->status == LINK_RUNNING; });
  // Drop what was queued before the link was in step, and the surplus answers to the burst.
  aPacketFifo_DrainPackets(link->outFifo, sAcceptAll, nullptr);
  std::this_thread::sleep_for(kSyncSettle);
  aPacketFifo_DrainPackets(link->inFifo, sAcceptAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t on) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  if (!entry) return aErrNotFound;
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return aErrParam;
  return aLinkRecord_QueueOutbound(*link, aLINK_ROUTE_ADDRESS, 1, &on);
}

aErr aLink_Reset(uint32_t linkId) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return aErrParam;
  // Only transports that can be reopened from what the registry knows; anything else keeps
  // its working link.
  if (!aLinkTransport_CanReopen(entry->type)) return aErrParam;
  aLink_Stop(link);
  sDestroyQueues(*link, nullptr);
  if (link->stream != nullptr) aStream_Destroy(&link->stream);
  aStream* stream = nullptr;
  aErr err = aErrNone;
  for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
    err = aLinkTransport_Open(*entry, &stream);
    if (err == aErrNone) break;
    std::this_thread::sleep_for(kReopenPause);
  }
  // Without a stream the link stays registered in LINK_NO_STREAM, ready for another reset;
  // starting threads over nothing would only spin.
  if (aLink_Init(linkId, stream) == 0) {
    if (stream != nullptr) aStream_Destroy(&stream);
    return aErrResource;
  }
  if (err != aErrNone) return err;
  return aLink_Start(linkId);
}

aErr aLink_Destroy(uint32_t* linkId) {
  if (linkId == nullptr) return aErrParam;
  const uint32_t id = *linkId;
  *linkId = 0;
  aLinkEntryRef last;
  const aErr err = aLinkRegistry_Release(id, &last);
  if (err != aErrNone || !last) return err;
  return sTearDown(*last);
}

uint32_t aLink_GetStatus(uint32_t linkId) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  return entry ? entry->link->status.load() : LINK_NO_STREAM;
}

aPacket* aLink_GetPacket(uint32_t linkId) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  return link ? aPacketFifo_Await(link->inFifo, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilter filter, void* reference) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  return link ? aPacketFifo_GetFirst(link->inFifo, filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilter filter, void* reference, uint32_t timeoutMs) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return nullptr;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Waited for in slices, so that a link that stops or falls out of step ends the wait early.
  aPacket* found = nullptr;
  while (found == nullptr && link->running && link->status == LINK_RUNNING) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    const uint32_t slice = left < int64_t(kAwaitSliceMs) ? uint32_t(left) : kAwaitSliceMs;
    found = aPacketFifo_AwaitFirst(link->inFifo, filter, reference, slice);
  }
  return found;
}

uint32_t aLink_DrainPackets(uint32_t linkId, aPacketFilter filter, void* reference) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  return link ? aPacketFifo_DrainPackets(link->inFifo, filter, reference) : 0;
}

aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  return link ? aPacketFifo_Put(link->outFifo, packet) : aErrParam;
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketFilter filter, void* reference) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  if (link == nullptr) return aErrParam;
  sSetUserFilter(*link, filter, reference);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  aLinkRecord* link = sInitialised(entry);
  if (link == nullptr) return aErrParam;
  // A link server takes each client message for one packet and drops longer ones.
  link->pooled = enable && entry->type != AWEAVE;
  return aErrNone;
}

aErr aLink_GetSerialNumber(uint32_t linkId, uint32_t* serialNumber) {
  aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
  if (!entry || serialNumber == nullptr) return aErrParam;
  *serialNumber = entry->identifier;
  return aErrNone;
}

aErr aLink_QueryModuleAddress(uint32_t linkId, uint8_t* address) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  if (link == nullptr || address == nullptr) return aErrParam;
  aErr err = aLinkRecord_QueueOutbound(*link, aLINK_SYNC_ADDRESS, 0, nullptr);
  if (err != aErrNone) return err;
  aPacket* answer = aPacketFifo_AwaitFirst(link->inFifo, sIsEmptyPacket, nullptr, kQueryTimeoutMs);
  if (answer == nullptr) return aErrTimeout;
  err = answer->address != 0 ? aErrNone : aErrIO;
  *address = answer->address;
  aPacket_Destroy(&answer);
  return err;
}

aErr aLink_QueryModel(uint32_t linkId, uint8_t address, uint8_t* model) {
  aLinkRecord* link = sInitialised(aLinkRegistry_FindById(linkId));
  if (link == nullptr || model == nullptr) return aErrParam;
  const uint8_t request[3] = {3, 0x48, 0x20};  // get of option 8 on entity 0 of the system class
  aErr err = aLinkRecord_QueueOutbound(*link, address, sizeof request, request);
  if (err != aErrNone) return err;
  ModelQuery query{address};
  aPacket* answer = aPacketFifo_AwaitFirst(link->inFifo, sIsModelReply, &query, kQueryTimeoutMs);
  if (answer == nullptr) return aErrTimeout;
  err = answer->dataSize == 4 ? aErrNone : aErrIO;
  if (err == aErrNone) *model = answer->data[3];
  aPacket_Destroy(&answer);
  return err;
}
