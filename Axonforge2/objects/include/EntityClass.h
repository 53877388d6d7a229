#ifndef AXONFORGE2_ENTITYCLASS_H
#define AXONFORGE2_ENTITYCLASS_H

// The base of every entity object: one entity (command byte and index) of one Module, read and
// written with UEI requests over the module's Link. Typed getters and setters fill a uei record
// and wait for the device's reply or acknowledgement; a value that the module streams is
// answered from the link's stream cache without asking the device.
//
// Every operation that talks to the device returns aErrResource while the entity is not bound
// to a module with a link. Every operation returns an aErr and never throws.

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "Link.h"
#include "LinkStreams.h"
#include "aError.h"
#include "aUEI.h"

namespace Tessaron {
namespace Axonforge {

class Module;

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds the entity (the module is not owned and must outlive the binding).
  aErr init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw command packets to and from the module (see Link::sendPacket / receivePacket).
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

  // UEI requests. A record of type byte given to getUEI asks for that subindex. The device's
  // refusal is returned as its own error code.
  aErr getUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  // The value is written for aErrNone and for aErrStreamStale (a streamed value already read).
  aErr getUEI8(uint8_t option, uint8_t* value);
  aErr getUEI16(uint8_t option, uint16_t* value);
  aErr getUEI32(uint8_t option, uint32_t* value);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

  // A multi-packet value. aErrMemory when it does not fit the buffer (received then counts the
  // bytes stored); aErrTimeout when a chunk does not arrive in order within 1000 ms.
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t bufferLength, size_t* received);
  // Turns a byte count into a count of elementSize-byte elements; 1 (count unchanged) when the
  // bytes are not whole elements.
  static aErr getUEIBytesCheck(size_t* count, size_t elementSize);

  // Waits up to 1000 ms for an unsolicited 32-bit value of this entity option.
  aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t reserved);
  // Discards queued replies of this entity option.
  aErr drainUEI(uint8_t option);

  // Streaming of every option of this entity, callbacks per option, and the streamed values.
  aErr setStreamEnabled(bool enable);
  aErr registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* context);
  aErr getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* filled);

  struct impl;

 private:
  // The link of the bound module and its streams; none while unbound.
  Link* boundLink() const;
  LinkStreams* boundStreams() const;
  // A get with a fresh record of the given type; the reply's value, narrowed to T, is written
  // when the device (or the stream cache) gave one.
  template <typename T>
  aErr getValue(uint8_t option, uint32_t type, uint8_t subindex, T* value);
  aErr setValue(uint8_t option, uint32_t type, uint32_t value);
  aErr setValue(uint8_t option, uint8_t subindex, uint32_t type, uint32_t value);

  std::unique_ptr<impl> m_impl;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
