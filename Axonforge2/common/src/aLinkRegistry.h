#ifndef AXONFORGE2_ALINKREGISTRY_H
#define AXONFORGE2_ALINKREGISTRY_H

// Maps the link ids that callers hold to the engine's link records, remembers which device
// each link is bound to so that a second request for it shares the link, and counts uses.
// Internal to the link core.
//
// Entries are shared: a lookup hands out its own reference, so an entry (and its link record)
// stays valid for whoever holds it even after the last aLink_Destroy has taken it out.

#include <stdint.h>

#include <atomic>
#include <memory>

#include "aError.h"
#include "aLinkRecord.h"
#include "aLinkSpec.h"
#include "aTransport.h"

struct aLinkEntry {
  uint32_t id = 0;
  uint32_t identifier = 0;    // device key: serial number or IPv4 address
  uint32_t port = 0;          // TCP port; 0 otherwise
  uint32_t clientNumber = 0;  // sequence number of a client link; 0 otherwise
  linkType type = INVALID;
  int16_t useCount = 0;       // guarded by the registry mutex
  // The link server that owns a served USB link (set once while it is created), and the
  // served link that a server's own client link keeps alive; each goes with the entry.
  std::atomic<aServer*> server{nullptr};
  std::atomic<uint32_t> parent{0};
  std::unique_ptr<aLinkRecord> link = std::make_unique<aLinkRecord>();
};

using aLinkEntryRef = std::shared_ptr<aLinkEntry>;

// Identifier of a link made over a caller's own stream.
#define aLINK_LEGACY_IDENTIFIER 0xFFFFFFFFu

// New entry with use count 0 and a fresh link record carrying the id; ids start at 1, grow
// by one and are never reused. 0 when memory runs out.
uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t port, linkType type);
uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t port, uint32_t clientNumber, linkType type);

aLinkEntryRef aLinkRegistry_FindById(uint32_t id);
// Newest entry with this identifier, whatever its port or type.
aLinkEntryRef aLinkRegistry_FindByIdentifier(uint32_t identifier);
aLinkEntryRef aLinkRegistry_FindByIdentifierPortClient(uint32_t identifier, uint32_t port,
                                                       uint32_t clientNumber);
// Takes the entry out of the registry; its id no longer resolves.
aLinkEntryRef aLinkRegistry_Extract(uint32_t id);
// Adds delta to the use count and returns the new count.
int16_t aLinkRegistry_ChangeUseCount(aLinkEntry& entry, int16_t delta);
// Counts one more user of an entry found earlier; false when it has left the registry
// meanwhile (its last user released it).
bool aLinkRegistry_Share(aLinkEntry& entry);
// Drops one use of the link id. When that was the last use, the entry leaves the registry
// in the same step and is handed to *last for tearing down; otherwise *last stays empty.
// aErrParam for an unknown id.
aErr aLinkRegistry_Release(uint32_t id, aLinkEntryRef* last);

#endif
