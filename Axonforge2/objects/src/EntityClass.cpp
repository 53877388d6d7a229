#include "EntityClass.h"

#include <string.h>

#include <new>
#include <type_traits>
#include <utility>

#include "LinkStreams.h"
#include "Module.h"

namespace Tessaron {
namespace Axonforge {

namespace {

bool HoldsValue(aErr err) { return err == aErrNone || err == aErrStreamStale; }

// The value a reply left in the record, by the width it arrived with.
uint32_t Widen(const uei& record) {
  switch (record.type) {
    case UEI_TYPE_BYTE:
      return record.value.byteVal;
    case UEI_TYPE_SHORT:
      return record.value.shortVal;
    case UEI_TYPE_INT:
      return record.value.intVal;
    default:
      return 0;
  }
}

uei Record(uint32_t type, uint32_t value) {
  uei record{};
  record.type = type;
  switch (type) {
    case UEI_TYPE_BYTE:
      record.value.byteVal = static_cast<uint8_t>(value);
      break;
    case UEI_TYPE_SHORT:
      record.value.shortVal = static_cast<uint16_t>(value);
      break;
    case UEI_TYPE_INT:
      record.value.intVal = value;
      break;
    default:
      break;
  }
  return record;
}


// The state of one multi-packet get, handed to sUEIBytesFilter through the link. The link
// passes the filter the address of `record`, which is also the address of the whole state.
struct BytesReception {
  uei record;  // module, command, plain option and plain index of the expected reply
  uint8_t* position;
  size_t capacity;
  size_t* received;
  uint8_t expectedSequence;
  uint8_t more;   // continue bit of the last chunk taken
  uint8_t error;  // code of an error reply (or of a chunk that did not fit)
};
static_assert(std::is_standard_layout<BytesReception>::value && offsetof(BytesReception, record) == 0,
              "the filter finds the reception state at the record's address");

uint8_t sUEIBytesFilter(const aPacket* packet, void* reference) {
  BytesReception* r = static_cast<BytesReception*>(reference);
  if (!aUEI_isReply(packet, r->record.module, r->record.command, r->record.option, r->record.specifier)) return 0;
  const uint8_t* data = packet->data;
  if (data[2] & UEI_SPECIFIER_ERROR) {
    r->record.specifier = data[2];
    r->error = Link::refusal(*packet, 2, UEI_HEADER_SIZE);
    return 1;
  }
  // A chunk packet has a trailer after the header; anything shorter is not part of the value.
  if (packet->dataSize < UEI_HEADER_SIZE + 1) return 0;
  const uint8_t trailer = data[packet->dataSize - 1];
  if ((trailer & UEI_BYTES_SEQUENCE_MASK) != r->expectedSequence) return 0;
  const size_t chunk = packet->dataSize - (UEI_HEADER_SIZE + 1u);
  if (chunk > r->capacity - *r->received) {
    r->record.specifier = data[2] | UEI_SPECIFIER_ERROR;
    r->error = aErrMemory;
    return 1;
  }
  memcpy(r->position, data + UEI_HEADER_SIZE, chunk);
  r->position += chunk;
  *r->received += chunk;
  r->more = (trailer & UEI_BYTES_CONTINUE) ? 1 : 0;
  return 1;
}

}  // namespace

struct EntityClass::impl {
  explicit impl(EntityClass& owner) : owner(owner) {}

  EntityClass& owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;

  Link* link() const { return module ? module->getLink() : nullptr; }
  uint8_t address() const { return module->getModuleAddress(); }

  // Fills the addressing fields of a record for this entity.
  void prepare(uei* record, uint8_t option, uint8_t specifier) const {
    record->module = address();
    record->command = command;
    record->option = option;
    record->specifier = specifier;
  }

  // Sends *record as this entity's request with the given option and specifier bytes, and
  // waits for the reply with replyOption in the same record; the device's refusal becomes
  // the result.
  aErr request(Link& link, uei* record, uint8_t option, uint8_t replyOption, const uint8_t* subindex) const {
    prepare(record, option, index | UEI_SPECIFIER_REPLY);
    const uei sent = *record;
    prepare(record, replyOption, index);
    return link.requestUEI(sent, record, subindex);
  }

  aErr set(uint8_t option, uei* record, const uint8_t* subindex) const {
    Link* l = link();
    if (!l) return aErrResource;
    if (!record) return aErrParam;
    return request(*l, record, option | UEI_OPTION_SET, option | UEI_OPTION_ACK, subindex);
  }
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(*this)) {}

EntityClass::~EntityClass() = default;

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (!m_impl) return aErrResource;
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
  return module ? aErrNone : aErrParam;
}

Link* EntityClass::boundLink() const { return m_impl ? m_impl->link() : nullptr; }

uint8_t EntityClass::getIndex() const { return m_impl ? m_impl->index : 0; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = boundLink();
  if (!link) return aErrResource;
  return link->sendPacket(m_impl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  Link* link = boundLink();
  if (!link) return aErrResource;
  return link->receivePacket(m_impl->address(), match, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
  Link* link = boundLink();
  if (!link) return aErrResource;
  if (!record) return aErrParam;
  const impl& self = *m_impl;
  const uint8_t subindex = record->type == UEI_TYPE_BYTE ? record->value.byteVal : 0;
  uint32_t streamed = 0;
  LinkStreams* streams = link->streams();
  const aErr err = streams ? streams->getStreamValue(self.address(), self.command, option, self.index, subindex,
                                                     &streamed)
                           : aErrNotFound;
  if (HoldsValue(err)) {
    record->type = UEI_TYPE_INT;
    record->value.intVal = streamed;
    return err;
  }
  // A byte value in a get request is the subindex.
  return self.request(*link, record, option | UEI_OPTION_GET, option, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* record) { return m_impl ? m_impl->set(option, record, nullptr) : aErrResource; }

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
  return m_impl ? m_impl->set(option, record, &subindex) : aErrResource;
}

aErr EntityClass::callUEI(uint8_t option) { return setValue(option, UEI_TYPE_NONE, 0); }

aErr EntityClass::setValue(uint8_t option, uint32_t type, uint32_t value) {
  uei record = Record(type, value);
  return setUEI(option, &record);
}

aErr EntityClass::setValue(uint8_t option, uint8_t subindex, uint32_t type, uint32_t value) {
  uei record = Record(type, value);
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return setValue(option, UEI_TYPE_BYTE, value); }
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return setValue(option, UEI_TYPE_SHORT, value); }
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return setValue(option, UEI_TYPE_INT, value); }

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  return setValue(option, subindex, UEI_TYPE_BYTE, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  return setValue(option, subindex, UEI_TYPE_SHORT, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  return setValue(option, subindex, UEI_TYPE_INT, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (!data && length > 0) return aErrParam;
  uei record{};
  record.type = UEI_TYPE_BYTES;
  record.value.bytesVal.data = data;
  record.value.bytesVal.length = length;
  return setUEI(option, &record);
}

template <typename T>
aErr EntityClass::getValue(uint8_t option, uint32_t type, uint8_t subindex, T* value) {
  uei record = Record(type, subindex);
  aErr err = getUEI(option, &record);
  if (HoldsValue(err)) *value = static_cast<T>(Widen(record));
  return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_NONE, 0, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_NONE, 0, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_NONE, 0, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_BYTE, subindex, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_BYTE, subindex, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  if (!value) return aErrParam;
  return getValue(option, UEI_TYPE_BYTE, subindex, value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t bufferLength, size_t* received) {
  if (!buffer || !received || bufferLength == 0) return aErrParam;
  *received = 0;
  Link* link = boundLink();
  if (!link) return aErrResource;
  const impl& self = *m_impl;
  // Chunks left queued by an earlier read that stopped early (a value too long for its
  // buffer, a lost chunk) carry the same header and sequence numbers: they would be taken
  // for parts of this value.
  aErr err = link->dropMatchingUEIPackets(self.address(), self.command, option, self.index);
  if (err != aErrNone) return err;
  uei request = Record(UEI_TYPE_NONE, 0);
  self.prepare(&request, option | UEI_OPTION_GET, self.index | UEI_SPECIFIER_REPLY);
  err = link->sendUEI(request);
  if (err != aErrNone) return err;

  BytesReception reception{};
  self.prepare(&reception.record, option, self.index);
  reception.position = buffer;
  reception.capacity = bufferLength;
  reception.received = received;
  do {
    err = link->receiveUEI(reception.record.module, self.command, option, self.index, &reception.record,
                           sUEIBytesFilter);
    if (err != aErrNone) break;
    if (reception.record.specifier & UEI_SPECIFIER_ERROR) {
      err = static_cast<aErr>(reception.error);
      break;
    }
    reception.expectedSequence = (reception.expectedSequence + 1) & UEI_BYTES_SEQUENCE_MASK;
  } while (reception.more);
  return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t elementSize) {
  if (!count || elementSize == 0) return aErrParam;
  if (*count % elementSize != 0) return aErrMemory;
  *count /= elementSize;
  return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t /*reserved*/) {
  if (!value) return aErrParam;
  Link* link = boundLink();
  if (!link) return aErrResource;
  uei record{};
  m_impl->prepare(&record, option, m_impl->index);
  aErr err = link->receiveUEI(record.module, record.command, option, record.specifier, &record);
  if (err == aErrNone) err = Link::refusal(record);
  if (err == aErrNone) *value = Widen(record);
  return err;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = boundLink();
  if (!link) return aErrResource;
  return link->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

LinkStreams* EntityClass::boundStreams() const {
  Link* link = boundLink();
  return link ? link->streams() : nullptr;
}

aErr EntityClass::setStreamEnabled(bool enable) {
  LinkStreams* streams = boundStreams();
  if (!streams) return aErrResource;
  return streams->enableStream(m_impl->address(), m_impl->command, LinkStreams::kSTREAM_ANY, m_impl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* context) {
  LinkStreams* streams = boundStreams();
  if (!streams) return aErrResource;
  return streams->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, enable,
                                         std::move(callback), context);
}

aErr EntityClass::getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* filled) {
  LinkStreams* streams = boundStreams();
  if (!streams) return aErrResource;
  return streams->getStreamStatus(m_impl->address(), m_impl->command, LinkStreams::kSTREAM_ANY, m_impl->index,
                                  LinkStreams::kSTREAM_ANY, entries, capacity, filled);
}

}  // namespace Axonforge
}  // namespace Tessaron
