#ifndef AXONFORGE2_LINK_H
#define AXONFORGE2_LINK_H

// The object-model face of one link-engine connection to a device module. A Link remembers
// how the device is reached, creates and waits for the engine link, and carries the
// request/reply conversations of the upper layers: UEI requests and replies, raw command
// packets, store slots, factory data and the module-address query. Every conversation puts
// a packet on the link's outgoing queue and then waits for the first received packet that a
// filter accepts; packets the filter rejects stay queued for other waiters.
//
// A Link also turns the module's stream samples into a per-value cache and into callbacks run
// on a worker thread of its own (see registerStreamCallback).
//
// Every operation returns an aErr and never throws.

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <list>
#include <memory>

#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aUEI.h"
#include "aWeaveConfig.h"

namespace Tessaron {
namespace Axonforge {

// Called on the Link's stream worker with a stream sample and the context given at
// registration. The packet is released after the call.
using StreamCallback = std::function<uint8_t(const aPacket* packet, void* context)>;

// Key and last value of one concrete stream entry.
struct StreamStatusEntry {
  uint64_t key;
  uint32_t value;
};

class Link {
 public:
  // Sample types of a stream packet (data byte 3).
  enum STREAM_PACKET : uint8_t {
    kSTREAM_PACKET_UNKNOWN = 0,
    kSTREAM_PACKET_U8 = 1,
    kSTREAM_PACKET_U16 = 2,
    kSTREAM_PACKET_U32 = 3,
    kSTREAM_PACKET_BYTES = 4,  // a multi-packet stream; not decoded
    kSTREAM_PACKET_SUBINDEX_U8 = 5,
    kSTREAM_PACKET_SUBINDEX_U16 = 6,
    kSTREAM_PACKET_SUBINDEX_U32 = 7,
  };

  // Elements of a stream key, for getStreamKeyElement.
  enum STREAM_KEY_ELEMENT : uint8_t {
    kSTREAM_KEY_MODULE = 0,
    kSTREAM_KEY_COMMAND = 1,
    kSTREAM_KEY_OPTION = 2,
    kSTREAM_KEY_INDEX = 3,
    kSTREAM_KEY_SUBINDEX = 4,
  };

  // A key element of this value matches every value of that element.
  static constexpr uint8_t kSTREAM_ANY = 0xFF;
  // Longest name kept.
  static constexpr size_t kMaxNameLength = 1024;

  explicit Link(const char* name);
  Link(const linkSpec& spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Name and specifier -------------------------------------------------------------------
  const char* getName() const;
  // aErrNotFound when no specifier is stored.
  aErr getLinkSpecifier(linkSpec* spec) const;
  // aErrBusy while connected.
  aErr setLinkSpecifier(const linkSpec& spec);
  aErr getConfig(aWeaveConfig* config) const;
  // aErrMode while connected.
  aErr setConfig(const aWeaveConfig& config);

  // Connection ---------------------------------------------------------------------------
  // Creates the engine link from the stored specifier and waits until it runs.
  // aErrConnection when a link id is already held (even one whose connect failed).
  aErr connect();
  // Finds the module (by serial number, or the first of the model when serialNumber is 0)
  // with discovery and connects to it; with config.fallback, a USB search that fails is
  // retried as a shared-link search and the other way round.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  // Shares the engine connection of another, connected Link.
  aErr connectThroughLinkModule(const Link& other);
  bool isConnected() const;
  // The engine's link status, or LINK_PACKET_ERROR without a link.
  uint32_t getStatus() const;
  // Releases the engine link (and the stream registrations that rode on it).
  aErr disconnect();
  aErr reset();
  aErr enablePooledPackets(bool enable);
  // Asks the module for its address on the link (1000 ms).
  aErr getModuleAddress(uint8_t* address);

  // UEI conversations --------------------------------------------------------------------
  // Sends the record as it stands (direction flags already set by the caller); a bytes value
  // travels in chunks of up to 24 bytes, each with a trailer byte.
  aErr sendUEI(const uei& record);
  // The same with a subindex byte before the value (types none, byte, 16-bit, 32-bit).
  aErr sendUEI(const uei& record, uint8_t subindex);
  // Waits for the reply that record describes: its module, command, option and specifier
  // (entity index only) are the expected reply's; the accepted reply fills the record. An
  // error reply keeps bit 7 in specifier and the device's code in value.byteVal. The wait is
  // 1000 ms, 4000 ms for a bytes record longer than 1000 bytes. The filter (default
  // sUEIFilter) receives the record as its reference.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* record,
                  aPacketFilter filter);
  // Removes every queued reply of that entity option.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  // Raw command packets ------------------------------------------------------------------
  // One packet: command then length (at most 27) data bytes.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits for the first packet whose first *length data bytes equal match; on success
  // *length is the reply's data length and buffer (28 bytes) receives its data.
  aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

  // Store slots --------------------------------------------------------------------------
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  // Reads the slot into buffer; aErrOverrun (with the first bufferLength bytes read) when
  // the slot holds more than the buffer.
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                       size_t* unloaded);

  // Factory data -------------------------------------------------------------------------
  // The buffer must be longer than the data (aErrOverrun otherwise).
  aErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t bufferLength, size_t* received);
  aErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

  // Packet log ---------------------------------------------------------------------------
  // Records the link's traffic and writes it as text to path (appended) from a logger thread.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Stream samples -----------------------------------------------------------------------
  static bool isStreamPacket(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, uint8_t* type);
  static bool isSubindexType(uint8_t type);
  static bool isStreamSample(const aPacket* packet);
  // Decodes a one-packet sample; each output may be null.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);

  // Registers (enable) or removes (disable) a callback for the samples of an entity option
  // (option kSTREAM_ANY: every option of the entity) and tells the device to stream it.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* context);
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  aErr isLinkStreaming(uint8_t module, uint8_t* state);
  // The last sample of that exact value: aErrNone the first time after a sample arrived,
  // aErrStreamStale after that, aErrNotFound when none has been seen.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // Keys in the stream table whose elements equal the arguments (kSTREAM_ANY matches all).
  std::list<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                             uint8_t subindex, bool lock);
  // Lists the concrete entries (no wildcard element) matching the arguments; aErrSize when
  // there are more than capacity (the first capacity are filled).
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* filled);

  struct impl;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
