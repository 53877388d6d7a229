#ifndef AXONFORGE2_MODULE_H
#define AXONFORGE2_MODULE_H

// One device module as the application sees it: an address on a link, and the Link through
// which it is reached. A Module connects by serial number (discovery), from a ready specifier,
// or through the link of another, already connected module (a module behind a router); after
// connecting it can ask the link for the module's real address (networking mode). It also
// carries the system queries that are plain command packets rather than UEI values.
//
// Every operation returns an aErr and never throws.

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "Link.h"
#include "aError.h"
#include "aLinkSpec.h"
#include "aWeaveConfig.h"

namespace Tessaron {
namespace Axonforge {

class Module {
 public:
  // Networking mode on: every successful connect learns the module's address from the link.
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool autoNetworking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Connection -----------------------------------------------------------------------------
  // aErrParam for serial number 0; otherwise discoverAndConnect.
  aErr connect(linkType type, uint32_t serialNumber);
  // Finds the module by serial number (or, for 0, the first of this module's model).
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  // aErrBusy when already connected.
  aErr connectFromSpec(const linkSpec& spec);
  // Shares the connection of another, connected module (a router whose bus this module sits
  // on). Switches networking mode off: the address on the shared link is this module's own.
  aErr connectThroughLinkModule(const Module& other);
  // Connects again with the stored specifier (after disconnect).
  aErr reconnect();
  bool isConnected() const;
  // The link status, or LINK_PACKET_ERROR without a link.
  uint32_t getStatus() const;
  aErr disconnect();

  // State (no device traffic) --------------------------------------------------------------
  uint8_t getModuleAddress() const { return m_address; }
  void setModuleAddress(uint8_t address) { m_address = address; }
  void setNetworkingMode(bool enable) { m_networkingMode = enable; }
  bool getNetworkingMode() const { return m_networkingMode; }
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr getConfig(aWeaveConfig* config) const;
  // Refused (by the link) while connected.
  aErr setConfig(const aWeaveConfig& config);
  Link* getLink() const { return m_link.get(); }
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // System queries -------------------------------------------------------------------------
  // Echo test: sends up to 27 bytes and expects them back (aErrIO when they differ).
  aErr debug(const uint8_t* data, size_t length);
  // The firmware build number.
  aErr getBuild(uint32_t* build);
  // aErrNone when the module implements the UEI; otherwise the module's reason. flags: 0,
  // UEI_OPTION_GET or UEI_OPTION_SET (asks about that direction only).
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  // Number of entities of a class, of a subclass, and the group of a subclass.
  aErr classQuantity(uint8_t entityClass, uint8_t* count);
  aErr subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count);
  aErr entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group);

 private:
  // After a successful connect: learns the module's address from the link (networking mode).
  aErr autoNetwork();
  // Sends a system query (command 0x49 followed by `length` bytes) and takes the first reply
  // that begins with the first `matchLength` bytes of the query.
  aErr query(const uint8_t* data, uint8_t length, uint8_t matchLength, uint8_t* reply, uint8_t* replyLength);
  // An entity count query; the reply echoes the request and adds one byte.
  aErr countQuery(const uint8_t* request, uint8_t length, uint8_t* out);

  std::unique_ptr<Link> m_link;
  uint8_t m_address;
  bool m_networkingMode;
  uint8_t m_model;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
