// Creating links per transport. A device that already has a link shares it: the registry
// counts one more user and the same id is returned.

#include "aLink.h"
#include "aLinkRegistry.h"
#include "aLinkTransport.h"

namespace {

// One more user of an existing link; 0 when there is none or it was released meanwhile.
uint32_t sShare(const aLinkEntryRef& existing) {
  return existing && aLinkRegistry_Share(*existing) ? existing->id : 0;
}

uint32_t sDiscard(uint32_t id) {
  aLink_Destroy(&id);
  return 0;
}

// Hands the freshly opened stream to the new link and counts its first user. On failure the
// stream and the link are released and 0 returned.
uint32_t sAdopt(uint32_t id, aErr openResult, aStream* stream) {
  if (openResult != aErrNone || aLink_Init(id, stream) != id) {
    if (stream != nullptr) aStream_Destroy(&stream);
    return sDiscard(id);
  }
  aLinkEntryRef entry = aLinkRegistry_FindById(id);
  if (!entry) return 0;
  aLinkRegistry_ChangeUseCount(*entry, 1);
  return id;
}

// Registers a link of this type and opens its transport from the registry entry.
uint32_t sCreateReopenable(uint32_t identifier, uint32_t port, linkType type) {
  const uint32_t id = aLinkRegistry_Create(identifier, port, type);
  if (id == 0) return 0;
  aLinkEntryRef entry = aLinkRegistry_FindById(id);
  aStream* stream = nullptr;
  const aErr err = entry ? aLinkTransport_Open(*entry, &stream) : aErrNotFound;
  return sAdopt(id, err, stream);
}

}  // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  if (uint32_t shared = sShare(aLinkRegistry_FindByIdentifier(serialNumber))) return shared;
  const uint32_t id = sCreateReopenable(serialNumber, 0, USB);
  if (id == 0) return 0;
  if (aLink_Start(id) != aErrNone || aLink_Sync(id) != aErrNone || aLink_ForceRoute(id, 1) != aErrNone) {
    return sDiscard(id);
  }
  return id;
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  // Keyed by address and port: several modules may listen on one address.
  aLinkEntryRef existing = aLinkRegistry_FindByIdentifierPortClient(address, port, 0);
  if (existing && existing->type == TCPIP) {
    if (uint32_t shared = sShare(existing)) return shared;
  }
  const uint32_t id = sCreateReopenable(address, port, TCPIP);
  if (id == 0) return 0;
  return aLink_Start(id) == aErrNone ? id : sDiscard(id);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  if (uint32_t shared = sShare(aLinkRegistry_FindByIdentifier(serialNumber))) return shared;
  uint32_t rateCode = 0;
  if (portName == nullptr || !aLinkTransport_BaudRateCode(baudRate, &rateCode)) return 0;
  const uint32_t id = aLinkRegistry_Create(serialNumber, 0, SERIAL);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  const aErr err = aLinkTransport_OpenSerial(portName, rateCode, &stream);
  if (sAdopt(id, err, stream) == 0) return 0;
  return aLink_Start(id) == aErrNone ? id : sDiscard(id);
}

uint32_t aLink_Create(aStream* stream) {
  if (stream == nullptr) return 0;
  const uint32_t id = aLinkRegistry_Create(aLINK_LEGACY_IDENTIFIER, 0, INVALID);
  if (id == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  if (sAdopt(id, aErrNone, stream) == 0) return 0;
  return aLink_Start(id) == aErrNone ? id : sDiscard(id);
}

aErr aLink_CreateFromSpec(const linkSpec* spec, uint32_t* linkId) {
  if (spec == nullptr || linkId == nullptr) return aErrParam;
  switch (spec->type) {
    case USB:
      *linkId = aLink_CreateUSB(spec->serialNumber);
      break;
    case TCPIP:
      *linkId = aLink_CreateTCPIP(spec->ipAddress, static_cast<uint16_t>(spec->ipPort));
      break;
    case SERIAL:
      *linkId = aLink_CreateSerial(spec->serialNumber, spec->portName, spec->baudRate);
      break;
    default:
      *linkId = 0;
      return aErrMode;
  }
  return *linkId != 0 ? aErrNone : aErrConnection;
}
