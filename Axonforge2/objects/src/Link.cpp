#include "Link.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <tuple>

#include "LinkPacketLog.h"
#include "LinkStreams.h"
#include "aDebug.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aTime.h"

namespace Tessaron {
namespace Axonforge {

namespace {

struct LinkSpecDeleter {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using OwnedLinkSpec = std::unique_ptr<linkSpec, LinkSpecDeleter>;

constexpr uint32_t kDebugLink = 1;  // library debugging level bit of this layer
constexpr uint32_t kReplyWaitMs = 1000;
constexpr uint32_t kLargeBytesWaitMs = 4000;
constexpr size_t kLargeBytesLength = 1000;
constexpr uint32_t kStatusPollMs = 10;
constexpr uint32_t kStatusPolls = 200;
constexpr uint8_t kMaxCommandData = aPACKET_MAX_DATA - 1;  // raw packets: command byte + data
// A wait looks at the link's clock and state at least this often.
constexpr uint32_t kAwaitSliceMs = 20;

// Serialises the creation of engine links for one device by all Link objects, so that no device
// is opened twice at once; links to different devices open side by side (a listing opens every
// device it finds). Guards the table of per-device locks.
std::mutex linkCreateHelperSerializer;

using DeviceKey = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;
struct CreationLock {
  std::mutex mutex;
  unsigned users = 0;
};
std::map<DeviceKey, CreationLock> creationLocks;

// Holds the creation lock of the device a specifier names.
class DeviceCreation {
 public:
  explicit DeviceCreation(const linkSpec& spec)
      : key_(spec.type, spec.serialNumber, spec.ipAddress, spec.ipPort), lock_(acquire(key_)) {
    lock_.mutex.lock();
  }
  ~DeviceCreation() {
    lock_.mutex.unlock();
    std::lock_guard<std::mutex> table(linkCreateHelperSerializer);
    if (--lock_.users == 0) creationLocks.erase(key_);
  }
  DeviceCreation(const DeviceCreation&) = delete;
  DeviceCreation& operator=(const DeviceCreation&) = delete;

 private:
  static CreationLock& acquire(const DeviceKey& key) {
    std::lock_guard<std::mutex> table(linkCreateHelperSerializer);
    CreationLock& lock = creationLocks[key];
    lock.users++;
    return lock;
  }
  DeviceKey key_;
  CreationLock& lock_;
};

bool sIsModuleAddress(uint8_t module) { return module != 0 && (module & 1) == 0; }

struct CommandMatch {
  const uint8_t* bytes;
  uint8_t length;
};

// A packet whose first bytes equal the expected ones (the sender is not compared).
uint8_t sCommandFilter(const aPacket* packet, void* reference) {
  const auto* match = static_cast<const CommandMatch*>(reference);
  return packet->dataSize >= match->length && memcmp(packet->data, match->bytes, match->length) == 0;
}

// Values of the reply by its length: none, byte, big-endian 16 or 32 bits.
void sFillValue(const aPacket* packet, uei* record) {
  const uint8_t* value = packet->data + UEI_HEADER_SIZE;
  switch (packet->dataSize) {
    case UEI_SIZE_NONE:
      record->type = UEI_TYPE_NONE;
      break;
    case UEI_SIZE_BYTE:
      record->type = UEI_TYPE_BYTE;
      record->value.byteVal = value[0];
      break;
    case UEI_SIZE_SHORT:
      record->type = UEI_TYPE_SHORT;
      record->value.shortVal = aUEI_RetrieveShort(value);
      break;
    case UEI_SIZE_INT:
      record->type = UEI_TYPE_INT;
      record->value.intVal = aUEI_RetrieveInt(value);
      break;
    default:  // accepted as it is
      break;
  }
}

uint8_t sUEIFilter(const aPacket* packet, void* reference) {
  auto* record = static_cast<uei*>(reference);
  if (!aUEI_isReply(packet, record->module, record->command, record->option, record->specifier)) return 0;
  if (packet->data[2] & UEI_SPECIFIER_ERROR) {
    record->specifier = packet->data[2];
    record->value.byteVal = packet->dataSize > UEI_HEADER_SIZE ? packet->data[3] : 0;
  } else {
    sFillValue(packet, record);
  }
  return 1;
}

// Header, then the value of a plain UEI record big-endian; the payload length, or 0 for a
// type that has no fixed width.
uint8_t sEncodeValue(const uei& record, uint8_t* at) {
  switch (record.type) {
    case UEI_TYPE_NONE:
      return 0;
    case UEI_TYPE_BYTE:
      at[0] = record.value.byteVal;
      return 1;
    case UEI_TYPE_SHORT:
      aUEI_StoreShort(at, record.value.shortVal);
      return 2;
    case UEI_TYPE_INT:
      aUEI_StoreInt(at, record.value.intVal);
      return 4;
    default:
      return 0xFF;
  }
}

bool sHasFixedWidth(uint32_t type) {
  return type == UEI_TYPE_NONE || type == UEI_TYPE_BYTE || type == UEI_TYPE_SHORT || type == UEI_TYPE_INT;
}

class SteadyClock : public LinkClock {
 public:
  uint64_t nowMs() override {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
};

SteadyClock sSteadyClock;

// Waits while the engine brings the link up.
aErr sAwaitRunning(uint32_t linkId) {
  switch (aLink_GetStatus(linkId)) {
    case LINK_RUNNING:
      return aErrNone;
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING:
      for (uint32_t poll = 0; poll < kStatusPolls && aLink_GetStatus(linkId) != LINK_RUNNING; ++poll) {
        aTime_MSSleep(kStatusPollMs);
      }
      return aLink_GetStatus(linkId) == LINK_RUNNING ? aErrNone : aErrConnection;
    case LINK_NO_STREAM:
    case LINK_IO_ERROR:
    case LINK_PACKET_ERROR:
      return aErrConnection;
    case LINK_STOPPING:
      return aErrBusy;
    default:
      return aErrDuplicate;
  }
}

// Discovery of the first module of a model (any model when 0).
struct ModelSearch {
  linkSpec* found;
  bool counted;
};

uint8_t cbModelCallback(const linkSpec* spec, uint8_t* matched, void* reference) {
  auto* search = static_cast<ModelSearch*>(reference);
  if (search->found->model != 0 && spec->model != search->found->model) return 1;
  *search->found = *spec;
  search->counted = true;
  *matched = 1;
  return 0;
}

OwnedLinkSpec sDiscover(linkType type, uint32_t serialNumber, uint8_t model, uint32_t networkInterface) {
  if (serialNumber != 0) return OwnedLinkSpec(aDiscovery_FindModule(type, serialNumber, networkInterface));
  OwnedLinkSpec wanted(aLinkSpec_Create(type));
  if (!wanted) return nullptr;
  wanted->model = model;
  ModelSearch search{wanted.get(), false};
  if (aDiscovery_EnumerateModules(type, cbModelCallback, &search, networkInterface) == 0 || !search.counted) {
    return nullptr;
  }
  return wanted;
}

bool sFallsBack(aErr result) {
  return result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
}

}  // namespace

// ---- impl -----------------------------------------------------------------------------

struct Link::impl {
  // Throws only std::bad_alloc, for the name.
  impl(Link& owner, const char* name_) : streams(owner), packetLog(owner) {
    if (name_) name.assign(name_, strnlen(name_, kMaxNameLength));
  }
  // The stream filter and the packet log go before the engine link.
  ~impl() {
    streams.stop();
    packetLog.close();
    if (linkId != 0) aLink_Destroy(&linkId);
  }

  uint32_t linkId = 0;
  aWeaveConfig config;
  std::string name;
  OwnedLinkSpec specifier;
  std::shared_ptr<LinkClock> clock;  // null: the steady clock
  LinkStreams streams;
  LinkPacketLog packetLog;

  bool connected() const { return linkId != 0 && aLink_GetStatus(linkId) == LINK_RUNNING; }
  uint64_t nowMs() const { return clock ? clock->nowMs() : sSteadyClock.nowMs(); }

  // Creates a packet for module and puts it on the outgoing queue; aErrResource when it
  // cannot be created.
  aErr put(uint8_t module, uint8_t length, const uint8_t* data) const {
    static const uint8_t kNoData = 0;
    OwnedPacket packet(aPacket_CreateWithData(module, length, data ? data : &kNoData));
    if (!packet) return aErrResource;
    return aLink_PutPacket(linkId, packet.get());
  }
};

namespace {

Link::impl* sNewImpl(Link& owner, const char* name) {
  try {
    return new Link::impl(owner, name);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

// ---- construction and specifier -------------------------------------------------------

Link::Link(const char* name) : m_impl(sNewImpl(*this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name) {
  if (m_impl) m_impl->specifier.reset(aLinkSpec_Copy(spec));
}

Link::~Link() = default;

const char* Link::getName() const { return !m_impl || m_impl->name.empty() ? nullptr : m_impl->name.c_str(); }

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!spec) return aErrParam;
  if (!m_impl) return aErrMemory;
  if (!m_impl->specifier) return aErrNotFound;
  *spec = *m_impl->specifier;
  return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  if (!m_impl) return aErrMemory;
  if (isConnected()) return aErrBusy;
  OwnedLinkSpec copy(aLinkSpec_Copy(spec));
  if (!copy) return aErrMemory;
  m_impl->specifier = std::move(copy);
  return aErrNone;
}

aErr Link::getConfig(aWeaveConfig* config) const {
  if (!config) return aErrParam;
  if (!m_impl) return aErrMemory;
  *config = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(const aWeaveConfig& config) {
  if (!m_impl) return aErrMemory;
  if (isConnected()) return aErrMode;
  m_impl->config = config;
  return aErrNone;
}

aErr Link::setClock(std::shared_ptr<LinkClock> clock) {
  if (!m_impl) return aErrMemory;
  m_impl->clock = std::move(clock);
  return aErrNone;
}

// ---- connection -----------------------------------------------------------------------

namespace {

// The engine link for a specifier; 0 with *result set when none can be made. A USB device in
// networking mode is opened through a link server, which writes its port and address back
// into the config; a shared link (AWEAVE) is a client of such a server, or one more user of
// existingLinkId when that is given.
uint32_t sCreateEngineLink(const linkSpec& spec, aWeaveConfig* config, uint32_t existingLinkId, aErr* result) {
  DeviceCreation serialized(spec);
  uint32_t linkId = 0;
  *result = aErrNone;
  if (spec.type == AWEAVE) {
    if (!config->enabled) {
      *result = aErrConfiguration;
      return 0;
    }
    linkId = aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.ipPort), existingLinkId);
  } else if (spec.type == USB && config->enabled) {
    linkId = aLink_CreateServer(spec.serialNumber, &config->assignedPort, &config->networkInterface, config->localOnly);
  } else {
    *result = aLink_CreateFromSpec(&spec, &linkId);
    return linkId;
  }
  if (linkId == 0) *result = aErrConnection;
  return linkId;
}

}  // namespace

// The connect procedure; existingLinkId: the engine link of another Link to share, or 0.
static aErr sConnect(Link::impl& self, uint32_t existingLinkId) {
  if (!self.specifier) return aErrConfiguration;
  const linkSpec spec = *self.specifier;
  aErr result = aErrNone;
  self.linkId = sCreateEngineLink(spec, &self.config, existingLinkId, &result);
  if (result != aErrNone) return result;
  return sAwaitRunning(self.linkId);
}

aErr Link::connect() {
  if (!m_impl) return aErrMemory;
  if (m_impl->linkId != 0) return aErrConnection;
  return sConnect(*m_impl, 0);
}

aErr Link::connectThroughLinkModule(const Link& other) {
  if (!other.m_impl || other.m_impl->linkId == 0) return aErrInitialization;
  if (!m_impl) return aErrMemory;
  if (m_impl->linkId != 0) return aErrConnection;
  return sConnect(*m_impl, other.m_impl->linkId);
}

// One discover-and-connect attempt over one transport.
static aErr sDiscoverAndConnectOnce(Link& link, Link::impl& self, linkType type, uint32_t serialNumber,
                                    uint8_t model) {
  OwnedLinkSpec found = sDiscover(type, serialNumber, model, self.config.networkInterface);
  if (!found) return aErrNotFound;
  aErr result = link.setLinkSpecifier(*found);
  if (result != aErrNone) return result;
  return link.connect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  if (!m_impl) return aErrMemory;
  const bool heldLink = m_impl->linkId != 0;
  aErr result = sDiscoverAndConnectOnce(*this, *m_impl, type, serialNumber, model);
  if (!sFallsBack(result) || (type != USB && type != AWEAVE) || !m_impl->config.fallback) return result;
  // A link this attempt made but could not bring up would keep the other attempt from
  // connecting at all.
  if (!heldLink) disconnect();
  const linkType other = type == USB ? AWEAVE : USB;
  aDebug_Printf(kDebugLink, "Executing Fallback: %s\n", other == USB ? "USB" : "aWeave");
  return sDiscoverAndConnectOnce(*this, *m_impl, other, serialNumber, model);
}

bool Link::isConnected() const { return m_impl && m_impl->connected(); }

uint32_t Link::getStatus() const {
  const uint32_t linkId = getLinkId();
  return linkId == 0 ? static_cast<uint32_t>(LINK_PACKET_ERROR) : aLink_GetStatus(linkId);
}

uint32_t Link::getLinkId() const { return m_impl ? m_impl->linkId : 0; }

aErr Link::disconnect() {
  if (!m_impl) return aErrMemory;
  if (m_impl->linkId == 0) return aErrNone;
  // The stream filter refers to this object; another user of a shared engine link would
  // otherwise keep calling it.
  m_impl->streams.stop();
  m_impl->packetLog.close();
  aLink_Destroy(&m_impl->linkId);
  return aErrNone;
}

aErr Link::reset() {
  if (getLinkId() != 0) aLink_Reset(getLinkId());
  return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) { return aLink_EnablePooledPackets(getLinkId(), enable); }

aErr Link::getModuleAddress(uint8_t* address) {
  if (!address) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  aDebug_Printf(kDebugLink, "getModuleAddress\n");
  aDebug_Printf(kDebugLink, "getModuleAddress wait\n");
  return aLink_QueryModuleAddress(m_impl->linkId, address) == aErrNone ? aErrNone : aErrNotReady;
}

LinkStreams* Link::streams() { return m_impl ? &m_impl->streams : nullptr; }

LinkPacketLog* Link::packetLog() { return m_impl ? &m_impl->packetLog : nullptr; }

// ---- the exchange ---------------------------------------------------------------------

aErr Link::exchange(uint8_t module, const uint8_t* data, uint8_t length, aPacketFilter filter, void* reference,
                    uint32_t waitMs, OwnedPacket* reply) {
  if (!m_impl) return aErrMemory;
  const aErr result = m_impl->put(module, length, data);
  if (result != aErrNone) return result;
  return await(filter, reference, waitMs, reply);
}

aErr Link::await(aPacketFilter filter, void* reference, uint32_t waitMs, OwnedPacket* reply) {
  if (!reply) return aErrParam;
  reply->reset();
  if (!m_impl) return aErrMemory;
  const uint32_t linkId = m_impl->linkId;
  const uint64_t deadline = m_impl->nowMs() + waitMs;
  // Waited for in slices, so that the deadline is read on the link's clock.
  for (uint64_t now = m_impl->nowMs(); now < deadline; now = m_impl->nowMs()) {
    const uint64_t left = deadline - now;
    reply->reset(aLink_AwaitFirst(linkId, filter, reference, left < kAwaitSliceMs ? uint32_t(left) : kAwaitSliceMs));
    if (*reply) return aErrNone;
    // A link that stopped or fell out of step delivers nothing more.
    if (aLink_GetStatus(linkId) != LINK_RUNNING) break;
  }
  return aErrTimeout;
}

aErr Link::refusal(const aPacket& reply, uint8_t flagAt, uint8_t codeAt) {
  if (reply.dataSize <= flagAt || (reply.data[flagAt] & 0x80) == 0) return aErrNone;
  const uint8_t code = reply.dataSize > codeAt ? reply.data[codeAt] : 0;
  return code != aErrNone ? static_cast<aErr>(code) : aErrUnknown;
}

aErr Link::refusal(const uei& reply) {
  if ((reply.specifier & UEI_SPECIFIER_ERROR) == 0) return aErrNone;
  return reply.value.byteVal != aErrNone ? static_cast<aErr>(reply.value.byteVal) : aErrUnknown;
}

// ---- UEI ------------------------------------------------------------------------------

namespace {

aErr sSendBytes(const Link::impl& self, const uei& record) {
  const ueiBytes& bytes = record.value.bytesVal;
  if (bytes.data == nullptr && bytes.length != 0) return aErrParam;
  uint8_t data[aPACKET_MAX_DATA] = {record.command, record.option, record.specifier};
  size_t offset = 0;
  uint8_t sequence = 0;
  do {
    const size_t chunk = std::min<size_t>(UEI_BYTES_CHUNK_MAX, bytes.length - offset);
    if (chunk) memcpy(data + UEI_HEADER_SIZE, bytes.data + offset, chunk);
    offset += chunk;
    const bool more = offset < bytes.length;
    data[UEI_HEADER_SIZE + chunk] = static_cast<uint8_t>((sequence & UEI_BYTES_SEQUENCE_MASK) | (more ? UEI_BYTES_CONTINUE : 0));
    aErr result = self.put(record.module, static_cast<uint8_t>(chunk + UEI_HEADER_SIZE + 1), data);
    if (result != aErrNone) return result;
    ++sequence;
  } while (offset < bytes.length);
  return aErrNone;
}

// A link that fell out of step (a corrupted byte) is back within milliseconds once the module
// answers the engine's sync: a conversation waits for that instead of taking it for a lost link.
bool sInStep(const Link& link) {
  for (uint32_t poll = 0; poll < kStatusPolls; ++poll) {
    if (link.isConnected()) return true;
    if (aLink_GetStatus(link.getLinkId()) != LINK_SYNCING) return false;
    aTime_MSSleep(kStatusPollMs);
  }
  return link.isConnected();
}

aErr sCheckConversation(const Link& link, uint8_t module) {
  if (!sInStep(link)) return aErrConnection;
  return sIsModuleAddress(module) ? aErrNone : aErrPacket;
}

}  // namespace

aErr Link::sendUEI(const uei& record) {
  aErr result = sCheckConversation(*this, record.module);
  if (result != aErrNone) return result;
  if (record.type == UEI_TYPE_BYTES) return sSendBytes(*m_impl, record);
  if (!sHasFixedWidth(record.type)) return aErrParam;
  uint8_t data[UEI_SIZE_INT] = {record.command, record.option, record.specifier};
  const uint8_t width = sEncodeValue(record, data + UEI_HEADER_SIZE);
  return m_impl->put(record.module, static_cast<uint8_t>(UEI_HEADER_SIZE + width), data);
}

aErr Link::sendUEI(const uei& record, uint8_t subindex) {
  aErr result = sCheckConversation(*this, record.module);
  if (result != aErrNone) return result;
  if (!sHasFixedWidth(record.type)) return aErrParam;
  uint8_t data[UEI_SIZE_INT + 1] = {record.command, record.option, record.specifier, subindex};
  const uint8_t width = sEncodeValue(record, data + UEI_HEADER_SIZE + 1);
  return m_impl->put(record.module, static_cast<uint8_t>(UEI_HEADER_SIZE + 1 + width), data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record) {
  return receiveUEI(module, command, option, specifier, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aPacketFilter filter) {
  if (!record || !filter) return aErrParam;
  aErr result = sCheckConversation(*this, module);
  if (result != aErrNone) return result;
  uint32_t waitMs = kReplyWaitMs;
  if (record->type == UEI_TYPE_BYTES && record->value.bytesVal.length > kLargeBytesLength) {
    waitMs = kLargeBytesWaitMs;
    aDebug_Printf(kDebugLink, "receiveUEI - Expanding timeout for large payload: %lu\n",
                  static_cast<unsigned long>(waitMs));
  }
  OwnedPacket reply;
  return await(filter, record, waitMs, &reply);
}

aErr Link::requestUEI(const uei& request, uei* reply, const uint8_t* subindex) {
  if (!reply) return aErrParam;
  aErr result = subindex ? sendUEI(request, *subindex) : sendUEI(request);
  if (result == aErrNone) result = receiveUEI(reply->module, reply->command, reply->option, reply->specifier, reply);
  return result == aErrNone ? refusal(*reply) : result;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  aErr result = sCheckConversation(*this, module);
  if (result != aErrNone) return result;
  uei reference{};
  reference.module = module;
  reference.command = command;
  reference.option = option;
  reference.specifier = index;
  aLink_DrainPackets(m_impl->linkId, sUEIFilter, &reference);
  return aErrNone;
}

// ---- raw command packets --------------------------------------------------------------

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!sInStep(*this)) return aErrConnection;
  if (length > kMaxCommandData) return aErrParam;
  if (!sIsModuleAddress(module)) return aErrPacket;
  if (length != 0 && !data) return aErrParam;
  uint8_t bytes[aPACKET_MAX_DATA] = {command};
  if (length) memcpy(bytes + 1, data, length);
  return m_impl->put(module, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  aErr result = sCheckConversation(*this, module);
  if (result != aErrNone) return result;
  if (!length || !buffer || (*length != 0 && !match)) return aErrParam;
  CommandMatch expected{match, *length};
  OwnedPacket reply;
  result = await(sCommandFilter, &expected, kReplyWaitMs, &reply);
  if (result != aErrNone) return result;
  *length = reply->dataSize;
  memcpy(buffer, reply->data, reply->dataSize);
  return aErrNone;
}

aErr Link::requestPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* match,
                         uint8_t* replyLength, uint8_t* reply) {
  aErr result = sendPacket(module, command, length, data);
  return result == aErrNone ? receivePacket(module, match, replyLength, reply) : result;
}

}  // namespace Axonforge
}  // namespace Tessaron
