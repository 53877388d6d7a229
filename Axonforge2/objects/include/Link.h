#ifndef AXONFORGE2_LINK_H
#define AXONFORGE2_LINK_H

// The object-model face of one link-engine connection to a device module. A Link remembers
// how the device is reached, creates and waits for the engine link, and carries the one
// conversation every request is made of (exchange): a packet goes on the link's outgoing
// queue, then the caller waits, on the link's clock, for the first received packet that a
// filter accepts; packets the filter rejects stay queued for other waiters. UEI requests and
// raw command packets are built on it here; store slots (LinkStoreSlots), factory data
// (LinkFactoryData), stream samples (LinkStreams) and the packet log (LinkPacketLog) are classes of
// their own over a Link.
//
// Every operation returns an aErr and never throws; a Link whose state could not be allocated
// answers aErrMemory (and is never connected).

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "LinkClock.h"
#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aUEI.h"
#include "aWeaveConfig.h"

namespace Tessaron {
namespace Axonforge {

class LinkPacketLog;
class LinkStreams;

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
// A received packet, released when it goes.
using OwnedPacket = std::unique_ptr<aPacket, PacketDeleter>;

class Link {
 public:
  // Longest name kept.
  static constexpr size_t kMaxNameLength = 1024;

  explicit Link(const char* name);
  Link(const linkSpec& spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Name, specifier, configuration, clock -------------------------------------------------
  const char* getName() const;
  // aErrNotFound when no specifier is stored.
  aErr getLinkSpecifier(linkSpec* spec) const;
  // aErrBusy while connected.
  aErr setLinkSpecifier(const linkSpec& spec);
  aErr getConfig(aWeaveConfig* config) const;
  // aErrMode while connected.
  aErr setConfig(const aWeaveConfig& config);
  // The clock every wait for a reply is measured on; null restores the steady clock.
  aErr setClock(std::shared_ptr<LinkClock> clock);

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
  // The engine's link id; 0 without a link.
  uint32_t getLinkId() const;
  // Releases the engine link (and the stream registrations and packet log that rode on it).
  aErr disconnect();
  aErr reset();
  aErr enablePooledPackets(bool enable);
  // Asks the module for its address on the link (aLink_QueryModuleAddress); aErrNotReady when
  // it does not answer.
  aErr getModuleAddress(uint8_t* address);

  // The exchange -------------------------------------------------------------------------
  // Puts a packet of length data bytes for module, then waits up to waitMs for the first
  // received packet that filter accepts (reference is handed to it), which *reply receives.
  // The put's error (aErrResource when the packet cannot be made); aErrTimeout when nothing
  // was accepted in time or the link stopped meanwhile. Neither the connection nor the
  // address is checked.
  aErr exchange(uint8_t module, const uint8_t* data, uint8_t length, aPacketFilter filter, void* reference,
                uint32_t waitMs, OwnedPacket* reply);
  // The waiting half of exchange alone.
  aErr await(aPacketFilter filter, void* reference, uint32_t waitMs, OwnedPacket* reply);
  // The device's refusal in a reply: aErrNone unless bit 7 of data[flagAt] is set; then the
  // code at data[codeAt], or aErrUnknown when the reply carries none (or 0), so that a refusal
  // never reads as success.
  static aErr refusal(const aPacket& reply, uint8_t flagAt, uint8_t codeAt);
  // The same for a UEI reply record (error flag in the specifier, code in byteVal).
  static aErr refusal(const uei& reply);

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
  // A request and its reply: sends request (with the subindex byte when one is given), waits
  // as receiveUEI for the reply *reply describes, and returns the device's refusal as its code.
  aErr requestUEI(const uei& request, uei* reply, const uint8_t* subindex = nullptr);
  // Removes every queued reply of that entity option.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

  // Raw command packets ------------------------------------------------------------------
  // One packet: command then length (at most 27) data bytes.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits for the first packet whose first *length data bytes equal match; on success
  // *length is the reply's data length and buffer (28 bytes) receives its data.
  aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);
  // sendPacket, then receivePacket with match and *length as given.
  aErr requestPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* match,
                     uint8_t* replyLength, uint8_t* reply);

  // Parts that live with the link --------------------------------------------------------
  // Null only for a Link whose state could not be allocated.
  LinkStreams* streams();
  LinkPacketLog* packetLog();

  struct impl;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
