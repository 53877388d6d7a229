// Creating links per transport. A device that already has a link shares it: the registry
// counts one more user and the same id is returned.

#include <atomic>
#include <chrono>
#include <thread>

#include "aLink.h"
#include "aLinkRegistry.h"
#include "aLinkTransport.h"
#include "aTransport.h"

namespace {

constexpr int kServerQueryAttempts = 5;
constexpr std::chrono::milliseconds kServerQueryPause(10);

// Numbers every client link, so that each aLink_CreateClient call makes a link of its own.
std::atomic<uint32_t> sClientCount{0};

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
uint32_t sCreateReopenable(uint32_t identifier, uint32_t port, linkType type, uint32_t clientNumber = 0) {
  const uint32_t id = aLinkRegistry_Create(identifier, port, clientNumber, type);
  if (id == 0) return 0;
  aLinkEntryRef entry = aLinkRegistry_FindById(id);
  aStream* stream = nullptr;
  const aErr err = entry ? aLinkTransport_Open(*entry, &stream) : aErrNotFound;
  return sAdopt(id, err, stream);
}

// Asks the module behind a server's own client link for its address and model and hands both
// to the server, which answers discovery only once it knows the model.
aErr sIntroduceModule(aServer* server, uint32_t clientId) {
  aErr err = aErrNone;
  for (int attempt = 0; attempt < kServerQueryAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kServerQueryPause);
    uint8_t address = 0, model = 0;
    err = aLink_QueryModuleAddress(clientId, &address);
    if (err == aErrNone) err = aLink_QueryModel(clientId, address, &model);
    if (err == aErrNone) err = aPlatformServers.setModuleAddress(server, address);
    if (err == aErrNone) err = aPlatformServers.setModel(server, model);
    if (err == aErrNone) return aErrNone;
    aPlatformServers.flushFIFO(server);
  }
  return err;
}

}  // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  aLinkEntryRef existing = aLinkRegistry_FindByIdentifier(serialNumber);
  // A served device is reached through its server; its USB link is the server's alone.
  if (existing && existing->server.load() != nullptr) return 0;
  if (uint32_t shared = sShare(existing)) return shared;
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

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLinkId) {
  if (existingLinkId != 0) return sShare(aLinkRegistry_FindById(existingLinkId));
  const uint32_t id = sCreateReopenable(address, port, AWEAVE, ++sClientCount);
  if (id == 0) return 0;
  return aLink_Start(id) == aErrNone ? id : sDiscard(id);
}

uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* address, bool localOnly) {
  if (port == nullptr || address == nullptr) return 0;
  uint32_t usbId = aLink_CreateUSB(serialNumber);
  if (usbId == 0) return 0;
  aLinkEntryRef usb = aLinkRegistry_FindById(usbId);
  aServer* server = nullptr;
  aErr err = usb ? aPlatformServers.create(usbId, *address, localOnly, &server) : aErrNotFound;
  // Stored before it starts: destroying the USB link destroys a partly started server too.
  if (err == aErrNone) usb->server = server;
  if (err == aErrNone) err = aPlatformServers.start(server);
  uint16_t boundPort = 0;
  uint32_t boundAddress = 0;
  if (err == aErrNone) err = aPlatformServers.getPort(server, &boundPort);
  if (err == aErrNone) err = aPlatformServers.getInterface(server, &boundAddress);
  uint32_t clientId = err == aErrNone ? aLink_CreateClient(boundAddress, boundPort, 0) : 0;
  aLinkEntryRef client = aLinkRegistry_FindById(clientId);
  if (!client) return sDiscard(usbId);
  client->parent = usbId;  // from here on the client link releases the USB link
  if (sIntroduceModule(server, clientId) != aErrNone) return sDiscard(clientId);
  *port = boundPort;
  *address = boundAddress;
  return clientId;
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
    case AWEAVE:
      *linkId = aLink_CreateClient(spec->ipAddress, static_cast<uint16_t>(spec->ipPort), 0);
      break;
    default:
      *linkId = 0;
      return aErrMode;
  }
  return *linkId != 0 ? aErrNone : aErrConnection;
}
