// Stream samples: the stream table, the filter on the engine's inbound thread, the
// registrations with the device and the worker that runs the callbacks.

#include <chrono>
#include <thread>

#include "Link.h"
#include "LinkImpl.h"
#include "aLink.h"

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kStreamStateOption = 1;
constexpr uint8_t kStreamEnableOption = 1;
constexpr uint8_t kStreamDisableOption = 2;
constexpr uint8_t kTimestampSize = 8;
constexpr uint8_t kStreamKeyElements = 5;
constexpr int kGenericStreamKeyMasks = 15;

// Payload length of a one-packet sample of each type (0: no one-packet form).
constexpr uint8_t kSampleLength[] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t sKeyShift(uint8_t element) {
  static const uint8_t kShift[kStreamKeyElements] = {24, 16, 8, 0, 32};
  return kShift[element];
}

// Wildcard mask n (0..14): the elements picked by the bits of n + 1 (bit 0 index, bit 1
// option, bit 2 command, bit 3 subindex) read "any"; the module is never wildcarded.
uint64_t _getGenericStreamKeyMask(int n) {
  if (n < 0 || n >= kGenericStreamKeyMasks) return 0;
  static const uint8_t kElements[] = {Link::kSTREAM_KEY_INDEX, Link::kSTREAM_KEY_OPTION, Link::kSTREAM_KEY_COMMAND,
                                      Link::kSTREAM_KEY_SUBINDEX};
  const unsigned bits = static_cast<unsigned>(n) + 1;
  uint64_t mask = 0;
  for (unsigned bit = 0; bit < 4; ++bit) {
    if (bits & (1u << bit)) mask |= uint64_t{0xFF} << sKeyShift(kElements[bit]);
  }
  return mask;
}

bool _checkStreamSampleLength(uint8_t type, uint8_t length) {
  return type < sizeof kSampleLength && kSampleLength[type] != 0 && kSampleLength[type] == length;
}

uint8_t sTrailer(const aPacket* packet) { return packet->data[packet->dataSize - 1]; }

bool sMatchesKey(uint64_t key, const uint8_t wanted[kStreamKeyElements]) {
  for (uint8_t element = 0; element < kStreamKeyElements; ++element) {
    if (wanted[element] != Link::kSTREAM_ANY && Link::getStreamKeyElement(key, element) != wanted[element]) {
      return false;
    }
  }
  return true;
}

bool sIsConcreteKey(uint64_t key) {
  for (uint8_t element = 0; element < kStreamKeyElements; ++element) {
    if (Link::getStreamKeyElement(key, element) == Link::kSTREAM_ANY) return false;
  }
  return true;
}

// Runs on the engine's inbound thread for every received packet: stream samples are recorded
// and handed to the worker, and never reach the reply queue.
uint8_t linkStreamFilter(const aPacket* packet, void* reference) {
  uint8_t type = 0;
  if (!Link::getStreamPacketType(packet, &type)) return 0;
  auto* self = static_cast<Link::impl*>(reference);
  const uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
  const uint64_t key = Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & UEI_OPTION_MASK,
                                             packet->data[2] & UEI_SPECIFIER_INDEX_MASK, subindex);
  uint32_t value = 0;
  const bool decoded = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> lock(self->streamMutex);
  auto exact = self->streamTable.find(key);
  if (exact != self->streamTable.end()) {
    self->queueAsyncCallback(exact->second, packet);
    if (decoded) {
      exact->second.value = value;
      exact->second.fresh = 1;
    }
  }
  bool wildcardMatched = false;
  for (int n = 0; n < kGenericStreamKeyMasks; ++n) {
    auto generic = self->streamTable.find(key | _getGenericStreamKeyMask(n));
    if (generic == self->streamTable.end()) continue;
    self->queueAsyncCallback(generic->second, packet);
    wildcardMatched = true;
  }
  if (exact == self->streamTable.end() && wildcardMatched && decoded) {
    StreamEntry& entry = self->streamTable[key];
    entry.key = key;
    entry.value = value;
    entry.fresh = 1;
  }
  return 1;
}

// The stream worker: runs the queued callbacks until the stop signal is given.
void asyncWork(AsyncQueue& queue, std::future<void> stop) {
  while (stop.wait_for(std::chrono::nanoseconds(1)) != std::future_status::ready) {
    asyncPacket item;
    while (queue.pop(item)) {
      item.callback(item.packet.get(), item.context);
      item.packet.reset();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

// ---- impl: filter, worker, queue ------------------------------------------------------

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  asyncPacket item;
  item.callback = entry.callback;
  item.context = entry.context;
  item.packet.reset(aPacket_Copy(packet));
  if (!item.packet) return;
  asyncQueue.push(std::move(item));  // a full queue drops the sample (and releases the copy)
}

aErr Link::impl::installStreamFilter(bool on) {
  if (linkId == 0) return aErrConnection;
  if (on) {
    aErr result = aLink_InstallUserPacketFilter(linkId, linkStreamFilter, this);
    if (result != aErrNone) return result;
    streamFilterInstalled = true;
    if (!asyncThread.joinable()) asyncThread = std::thread(asyncWork, std::ref(asyncQueue), stopSignal.get_future());
    return aErrNone;
  }
  aErr result = aErrNone;
  if (streamFilterInstalled) result = aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
  streamFilterInstalled = false;
  {
    std::lock_guard<std::mutex> lock(streamMutex);
    streamTable.clear();
  }
  stopAsyncWorker();
  return result;
}

void Link::impl::stopAsyncWorker() {
  // A callback that removes the last registration runs on the worker itself, which cannot wait
  // for its own end: it stays, idle, until the Link stops it from another thread.
  if (!asyncThread.joinable() || asyncThread.get_id() == std::this_thread::get_id()) return;
  stopSignal.set_value();
  asyncThread.join();
  stopSignal = std::promise<void>();
  // Samples still queued belong to registrations that are gone.
  asyncPacket stale;
  while (asyncQueue.pop(stale)) stale.packet.reset();
}

void Link::impl::eraseStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  std::lock_guard<std::mutex> lock(streamMutex);
  for (uint64_t key : owner.filterActiveStreamKeys(module, command, option, index, kSTREAM_ANY, false)) {
    streamTable.erase(key);
  }
}

// ---- samples and keys -----------------------------------------------------------------

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, uint8_t* type) {
  uint8_t found = kSTREAM_PACKET_UNKNOWN;
  if (isStreamPacket(packet)) {
    const uint8_t trailer = sTrailer(packet);
    if ((trailer & UEI_BYTES_SEQUENCE_MASK) != 0 || (trailer & UEI_BYTES_CONTINUE) != 0) {
      found = kSTREAM_PACKET_BYTES;
    } else if (packet->data[3] >= kSTREAM_PACKET_U8 && packet->data[3] <= kSTREAM_PACKET_SUBINDEX_U32) {
      found = packet->data[3];
    }
  }
  if (type) *type = found;
  return found != kSTREAM_PACKET_UNKNOWN;
}

bool Link::isSubindexType(uint8_t type) {
  return type == kSTREAM_PACKET_SUBINDEX_U8 || type == kSTREAM_PACKET_SUBINDEX_U16 ||
         type == kSTREAM_PACKET_SUBINDEX_U32;
}

bool Link::isStreamSample(const aPacket* packet) {
  uint8_t type = 0;
  return getStreamPacketType(packet, &type) && sTrailer(packet) == 0 &&
         _checkStreamSampleLength(type, packet->dataSize);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  if (!isStreamPacket(packet)) return aErrPacket;
  uint8_t type = 0;
  getStreamPacketType(packet, &type);
  if (type == kSTREAM_PACKET_BYTES) return aErrSize;
  if (type == kSTREAM_PACKET_UNKNOWN) return aErrUnknown;
  if (!isStreamSample(packet)) return aErrPacket;
  const bool subindexed = isSubindexType(type);
  const uint8_t* at = packet->data + 4;
  if (subindex) *subindex = subindexed ? at[0] : 0;
  if (subindexed) ++at;
  if (timestamp) *timestamp = (uint64_t{aUEI_RetrieveInt(at)} << 32) | aUEI_RetrieveInt(at + 4);
  at += kTimestampSize;
  if (value) {
    switch (subindexed ? type - 4 : type) {
      case kSTREAM_PACKET_U8:
        *value = at[0];
        break;
      case kSTREAM_PACKET_U16:
        *value = aUEI_RetrieveShort(at);
        break;
      default:
        *value = aUEI_RetrieveInt(at);
        break;
    }
  }
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low) *low = static_cast<uint32_t>(timestamp);
}

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{command} << 16) |
         (uint64_t{option} << 8) | index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  if (element >= kStreamKeyElements) return 0;
  return static_cast<uint8_t>(key >> sKeyShift(element));
}

// ---- registrations and queries --------------------------------------------------------

// Tells the device to start or stop streaming the values of a key (its low 32 bits: module,
// command, option, index) and waits for the acknowledgement.
static aErr sTellDevice(Link& link, uint8_t module, uint64_t key, bool enable) {
  const uint8_t option = enable ? kStreamEnableOption : kStreamDisableOption;
  uei request{};
  request.module = module;
  request.command = kStreamCommand;
  request.option = option | UEI_OPTION_SET;
  request.specifier = UEI_SPECIFIER_REPLY;
  request.type = UEI_TYPE_INT;
  request.value.intVal = static_cast<uint32_t>(key);
  aErr result = link.sendUEI(request);
  if (result != aErrNone) return result;
  uei reply = request;
  reply.option = option | UEI_OPTION_ACK;
  reply.specifier = 0;
  result = link.receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
  if (result != aErrNone) return result;
  return (reply.specifier & UEI_SPECIFIER_ERROR) ? static_cast<aErr>(reply.value.byteVal) : aErrNone;
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* context) {
  if ((module & 1) != 0 || module == kSTREAM_ANY) return aErrParam;
  const uint64_t key = createStreamKey(module, command, option, index, kSTREAM_ANY);
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(m_impl->streamMutex);
    if (enable) {
      StreamEntry& entry = m_impl->streamTable[key];
      entry.key = key;
      entry.callback = std::move(callback);
      entry.context = context;
    } else {
      for (uint64_t found : filterActiveStreamKeys(module, command, option, index, kSTREAM_ANY, false)) {
        m_impl->streamTable.erase(found);
      }
    }
    empty = m_impl->streamTable.empty();
  }
  aErr result = m_impl->installStreamFilter(!empty);
  if (result == aErrNone) result = sTellDevice(*this, module, key, enable);
  if (result == aErrNone) return aErrNone;
  m_impl->eraseStreamKeys(module, command, option, index);
  bool nowEmpty = false;
  {
    std::lock_guard<std::mutex> lock(m_impl->streamMutex);
    nowEmpty = m_impl->streamTable.empty();
  }
  // Nothing left to deliver: the filter and the worker go as with the last disable.
  if (nowEmpty && m_impl->streamFilterInstalled) m_impl->installStreamFilter(false);
  return result;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (!state) return aErrParam;
  uei request{};
  request.module = module;
  request.command = kStreamCommand;
  request.option = kStreamStateOption | UEI_OPTION_GET;
  request.specifier = UEI_SPECIFIER_REPLY;
  request.type = UEI_TYPE_NONE;
  aErr result = sendUEI(request);
  if (result != aErrNone) return result;
  uei reply = request;
  reply.option = kStreamStateOption;
  reply.specifier = 0;
  result = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
  if (result != aErrNone) return result;
  if (reply.specifier & UEI_SPECIFIER_ERROR) return static_cast<aErr>(reply.value.byteVal);
  *state = reply.value.byteVal;
  return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (!value) return aErrParam;
  std::lock_guard<std::mutex> lock(m_impl->streamMutex);
  auto found = m_impl->streamTable.find(createStreamKey(module, command, option, index, subindex));
  if (found == m_impl->streamTable.end()) return aErrNotFound;
  *value = found->second.value;
  if (found->second.fresh != 1) return aErrStreamStale;
  found->second.fresh = 0;
  return aErrNone;
}

std::list<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock) {
  const uint8_t wanted[kStreamKeyElements] = {module, command, option, index, subindex};
  std::unique_lock<std::mutex> guard(m_impl->streamMutex, std::defer_lock);
  if (lock) guard.lock();
  std::list<uint64_t> keys;
  for (const auto& entry : m_impl->streamTable) {
    if (sMatchesKey(entry.first, wanted)) keys.push_back(entry.first);
  }
  return keys;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* filled) {
  if (!isConnected()) return aErrConnection;
  if (!entries || !filled || capacity == 0) return aErrParam;
  *filled = 0;
  const std::list<uint64_t> keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
  std::lock_guard<std::mutex> lock(m_impl->streamMutex);
  for (uint64_t key : keys) {
    auto found = m_impl->streamTable.find(key);
    if (found == m_impl->streamTable.end() || !sIsConcreteKey(key)) continue;
    if (*filled == capacity) return aErrSize;
    entries[(*filled)++] = {key, found->second.value};
  }
  return aErrNone;
}

}  // namespace Axonforge
}  // namespace Tessaron
