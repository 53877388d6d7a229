// Stream samples: the stream table, the filter on the engine's inbound thread, the
// registrations with the device and the worker that runs the callbacks.

#include "LinkStreams.h"

#include <chrono>
#include <new>

#include "LinkStreamFilter.h"
#include "aLink.h"

namespace Tessaron {
namespace Axonforge {

namespace {

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
  static const uint8_t kElements[] = {LinkStreams::kSTREAM_KEY_INDEX, LinkStreams::kSTREAM_KEY_OPTION,
                                      LinkStreams::kSTREAM_KEY_COMMAND, LinkStreams::kSTREAM_KEY_SUBINDEX};
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
    if (wanted[element] != LinkStreams::kSTREAM_ANY && LinkStreams::getStreamKeyElement(key, element) != wanted[element]) {
      return false;
    }
  }
  return true;
}

bool sIsConcreteKey(uint64_t key) {
  for (uint8_t element = 0; element < kStreamKeyElements; ++element) {
    if (LinkStreams::getStreamKeyElement(key, element) == LinkStreams::kSTREAM_ANY) return false;
  }
  return true;
}

}  // namespace

// ---- filter, worker, queue ------------------------------------------------------------

LinkStreams::LinkStreams(Link& link) : m_link(link) {}

LinkStreams::~LinkStreams() { stopWorker(); }

// Runs on the engine's inbound thread (through LinkStreamFilter) for every stream sample.
void LinkStreams::take(const aPacket* packet) {
  uint8_t type = 0;
  getStreamPacketType(packet, &type);
  const uint8_t subindex = isSubindexType(type) ? packet->data[4] : 0;
  const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & UEI_OPTION_MASK,
                                       packet->data[2] & UEI_SPECIFIER_INDEX_MASK, subindex);
  uint32_t value = 0;
  const bool decoded = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> lock(m_mutex);
  auto exact = m_table.find(key);
  if (exact != m_table.end()) {
    queueCallback(exact->second, packet);
    if (decoded) {
      exact->second.value = value;
      exact->second.fresh = 1;
    }
  }
  bool wildcardMatched = false;
  for (int n = 0; n < kGenericStreamKeyMasks; ++n) {
    auto generic = m_table.find(key | _getGenericStreamKeyMask(n));
    if (generic == m_table.end()) continue;
    queueCallback(generic->second, packet);
    wildcardMatched = true;
  }
  if (exact != m_table.end() || !wildcardMatched || !decoded) return;
  try {
    Entry& entry = m_table[key];
    entry.key = key;
    entry.value = value;
    entry.fresh = 1;
  } catch (const std::bad_alloc&) {
    // Without memory the value is not cached; its callbacks were queued all the same.
  }
}

// The stream worker: runs the queued callbacks until the stop signal is given.
void LinkStreams::sWork(Queue& queue, std::future<void> stop) {
  while (stop.wait_for(std::chrono::nanoseconds(1)) != std::future_status::ready) {
    Pending item;
    while (queue.pop(item)) {
      item.callback(item.packet.get(), item.context);
      item.packet.reset();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LinkStreams::queueCallback(const Entry& entry, const aPacket* packet) {
  if (!entry.callback) return;
  Pending item;
  try {
    item.callback = entry.callback;
  } catch (const std::bad_alloc&) {
    return;  // dropped, as when the queue is full
  }
  item.context = entry.context;
  item.packet.reset(aPacket_Copy(packet));
  if (!item.packet) return;
  m_queue.push(std::move(item));  // a full queue drops the sample (and releases the copy)
}

aErr LinkStreams::installFilter(bool on) {
  const uint32_t linkId = m_link.getLinkId();
  if (linkId == 0) return aErrConnection;
  if (on) {
    aErr result = LinkStreamFilter::attach(linkId, this);
    if (result != aErrNone) return result;
    m_filterInstalled = true;
    if (m_worker.joinable()) return aErrNone;
    try {
      m_worker = std::thread(sWork, std::ref(m_queue), m_stop.get_future());
    } catch (const std::exception&) {  // no thread, or no memory for its state
      LinkStreamFilter::detach(linkId, this);
      m_filterInstalled = false;
      rearmStop();
      return aErrResource;
    }
    return aErrNone;
  }
  aErr result = aErrNone;
  if (m_filterInstalled) result = LinkStreamFilter::detach(linkId, this);
  m_filterInstalled = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_table.clear();
  }
  stopWorker();
  return result;
}

void LinkStreams::rearmStop() {
  try {
    m_stop = std::promise<void>();
  } catch (const std::bad_alloc&) {
    // The spent signal stays: the next worker cannot start and reports aErrResource.
  }
}

aErr LinkStreams::stop() {
  const aErr result = installFilter(false);
  stopWorker();
  return result;
}

void LinkStreams::stopWorker() {
  // A callback that removes the last registration runs on the worker itself, which cannot wait
  // for its own end: it stays, idle, until the Link stops it from another thread.
  if (!m_worker.joinable() || m_worker.get_id() == std::this_thread::get_id()) return;
  m_stop.set_value();
  m_worker.join();
  rearmStop();
  // Samples still queued belong to registrations that are gone.
  Pending stale;
  while (m_queue.pop(stale)) stale.packet.reset();
}

void LinkStreams::eraseKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (uint64_t key : filterActiveStreamKeys(module, command, option, index, kSTREAM_ANY, false)) {
    m_table.erase(key);
  }
}

// ---- samples and keys -----------------------------------------------------------------

bool LinkStreams::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool LinkStreams::getStreamPacketType(const aPacket* packet, uint8_t* type) {
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

bool LinkStreams::isSubindexType(uint8_t type) {
  return type == kSTREAM_PACKET_SUBINDEX_U8 || type == kSTREAM_PACKET_SUBINDEX_U16 ||
         type == kSTREAM_PACKET_SUBINDEX_U32;
}

bool LinkStreams::isStreamSample(const aPacket* packet) {
  uint8_t type = 0;
  return getStreamPacketType(packet, &type) && sTrailer(packet) == 0 &&
         _checkStreamSampleLength(type, packet->dataSize);
}

aErr LinkStreams::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
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

void LinkStreams::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low) *low = static_cast<uint32_t>(timestamp);
}

uint64_t LinkStreams::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return (uint64_t{subindex} << 32) | (uint64_t{module} << 24) | (uint64_t{command} << 16) |
         (uint64_t{option} << 8) | index;
}

uint8_t LinkStreams::getStreamKeyElement(uint64_t key, uint8_t element) {
  if (element >= kStreamKeyElements) return 0;
  return static_cast<uint8_t>(key >> sKeyShift(element));
}

// ---- registrations and queries --------------------------------------------------------

// Asks the device's stream entity: a request with option | requestFlag, answered by the
// reply with option | replyFlag, which *reply receives.
aErr LinkStreams::askDevice(uint8_t module, uint8_t option, uint8_t requestFlag, uint8_t replyFlag,
                            uint32_t type, uint32_t value, uei* reply) {
  uei request{};
  request.module = module;
  request.command = UEI_STREAM_COMMAND;
  request.option = option | requestFlag;
  request.specifier = UEI_SPECIFIER_REPLY;
  request.type = type;
  request.value.intVal = value;
  *reply = request;
  reply->option = option | replyFlag;
  reply->specifier = 0;
  return m_link.requestUEI(request, reply);
}

// Tells the device to start or stop streaming the values of a key (its low 32 bits: module,
// command, option, index) and waits for the acknowledgement.
aErr LinkStreams::tellDevice(uint8_t module, uint64_t key, bool enable) {
  uei reply{};
  return askDevice(module, enable ? UEI_STREAM_ENABLE : UEI_STREAM_DISABLE, UEI_OPTION_SET, UEI_OPTION_ACK,
                   UEI_TYPE_INT, static_cast<uint32_t>(key), &reply);
}

aErr LinkStreams::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                         bool enable, StreamCallback callback, void* context) {
  if ((module & 1) != 0 || module == kSTREAM_ANY) return aErrParam;
  const uint64_t key = createStreamKey(module, command, option, index, kSTREAM_ANY);
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (enable) {
      try {
        Entry& entry = m_table[key];
        entry.key = key;
        entry.callback = std::move(callback);
        entry.context = context;
      } catch (const std::bad_alloc&) {
        return aErrMemory;
      }
    } else {
      for (uint64_t found : filterActiveStreamKeys(module, command, option, index, kSTREAM_ANY, false)) {
        m_table.erase(found);
      }
    }
    empty = m_table.empty();
  }
  aErr result = installFilter(!empty);
  if (result == aErrNone) result = tellDevice(module, key, enable);
  if (result == aErrNone) return aErrNone;
  eraseKeys(module, command, option, index);
  bool nowEmpty = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    nowEmpty = m_table.empty();
  }
  // Nothing left to deliver: the filter and the worker go as with the last disable.
  if (nowEmpty && m_filterInstalled) installFilter(false);
  return result;
}

aErr LinkStreams::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

aErr LinkStreams::isLinkStreaming(uint8_t module, uint8_t* state) {
  if (!state) return aErrParam;
  uei reply{};
  aErr result = askDevice(module, UEI_STREAM_ENABLE, UEI_OPTION_GET, 0, UEI_TYPE_NONE, 0, &reply);
  if (result != aErrNone) return result;
  *state = reply.value.byteVal;
  return aErrNone;
}

aErr LinkStreams::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (!value) return aErrParam;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_table.find(createStreamKey(module, command, option, index, subindex));
  if (found == m_table.end()) return aErrNotFound;
  *value = found->second.value;
  if (found->second.fresh != 1) return aErrStreamStale;
  found->second.fresh = 0;
  return aErrNone;
}

std::list<uint64_t> LinkStreams::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock) {
  const uint8_t wanted[kStreamKeyElements] = {module, command, option, index, subindex};
  std::unique_lock<std::mutex> guard(m_mutex, std::defer_lock);
  if (lock) guard.lock();
  std::list<uint64_t> keys;
  try {
    for (const auto& entry : m_table) {
      if (sMatchesKey(entry.first, wanted)) keys.push_back(entry.first);
    }
  } catch (const std::bad_alloc&) {
    // Without memory the list holds the keys found so far.
  }
  return keys;
}

aErr LinkStreams::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* filled) {
  if (!m_link.isConnected()) return aErrConnection;
  if (!entries || !filled || capacity == 0) return aErrParam;
  *filled = 0;
  const std::list<uint64_t> keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
  std::lock_guard<std::mutex> lock(m_mutex);
  for (uint64_t key : keys) {
    auto found = m_table.find(key);
    if (found == m_table.end() || !sIsConcreteKey(key)) continue;
    if (*filled == capacity) return aErrSize;
    entries[(*filled)++] = {key, found->second.value};
  }
  return aErrNone;
}

}  // namespace Axonforge
}  // namespace Tessaron
