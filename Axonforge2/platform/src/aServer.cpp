// The link server's record: creation, the start and stop sequences, and its settings.

#include <arpa/inet.h>

#include <new>

#include "aLink.h"
#include "aNetworkInterfaces.h"
#include "aServerRecord.h"

namespace {

// Frames beyond this size are not the server's protocol: zmq drops the peer that sends one.
constexpr int64_t kMaxClientFrame = 1024;

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

bool sIsLoopback(uint32_t address) { return address == 0 || address == htonl(INADDR_LOOPBACK); }

// Binds a DEALER to an in-process endpoint named after the server and connects its partner.
bool sPair(const aServer* server, const char* role, zsock_t* bound, zsock_t* connected) {
  char endpoint[64];
  snprintf(endpoint, sizeof endpoint, "inproc://aServer-%p-%s", static_cast<const void*>(server), role);
  return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}

// Binds the client socket: loopback only, or the interface the server serves on.
uint16_t sBindFrontend(aServer& server) {
  char host[aDISCOVERY_IPV4_TEXT_SIZE] = "127.0.0.1";
  if (!server.localOnly && aDiscovery_ConvertIPv4Interface(server.networkInterface, host, sizeof host) == 0) return 0;
  zsock_set_maxmsgsize(server.frontend, kMaxClientFrame);
  const int port = zsock_bind(server.frontend, "tcp://%s:*", host);
  return port > 0 ? static_cast<uint16_t>(port) : 0;
}

bool sStart(aServer& server) {
  server.frontend = zsock_new_router(nullptr);
  server.streamIn = zsock_new_dealer(nullptr);
  server.streamOut = zsock_new_dealer(nullptr);
  server.syncBroker = zsock_new_dealer(nullptr);
  server.syncWorker = zsock_new_dealer(nullptr);
  if (!server.frontend || !server.streamIn || !server.streamOut || !server.syncBroker || !server.syncWorker) return false;
  if (!aServerDiscovery_Start(server)) return false;
  server.port = sBindFrontend(server);
  if (server.port == 0) return false;
  if (!sPair(&server, "stream", server.streamIn, server.streamOut)) return false;
  if (!sPair(&server, "sync", server.syncBroker, server.syncWorker)) return false;
  server.broker = zactor_new(aServer_BrokerTask, &server);
  server.syncActor = zactor_new(aServer_SyncTask, &server);
  if (!server.broker || !server.syncActor) return false;
  if (aLink_InstallUserPacketFilter(server.linkId, aServer_StreamingFilter, &server) != aErrNone) return false;
  // Whatever arrived before anybody could ask for it is nobody's reply.
  aLink_DrainPackets(server.linkId, sAcceptAll, nullptr);
  return true;
}

}  // namespace

aErr aServer_Create(uint32_t linkId, uint32_t networkInterface, bool localOnly, aServer** server) {
  if (server == nullptr) return aErrParam;
  *server = nullptr;
  uint32_t serialNumber = 0;
  if (aLink_GetSerialNumber(linkId, &serialNumber) != aErrNone) return aErrNotFound;
  if (localOnly && !sIsLoopback(networkInterface)) return aErrConfiguration;
  auto* made = new (std::nothrow) aServer;
  if (made == nullptr) return aErrMemory;
  made->linkId = linkId;
  made->serialNumber = serialNumber;
  made->localOnly = localOnly;
  made->networkInterface = networkInterface != 0 ? networkInterface : htonl(INADDR_LOOPBACK);
  *server = made;
  return aErrNone;
}

aErr aServer_Start(aServer* server) {
  if (server == nullptr) return aErrParam;
  return sStart(*server) ? aErrNone : aErrResource;
}

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return aErrParam;
  aServer& self = **server;
  // Under the link's filter lock: once removed, the filter is not running and never will.
  aLink_InstallUserPacketFilter(self.linkId, nullptr, nullptr);
  self.stopping = true;
  zactor_destroy(&self.syncActor);
  zactor_destroy(&self.broker);
  aServerDiscovery_Stop(self);
  self.workersEnded.load(std::memory_order_acquire);
  zsock_destroy(&self.frontend);
  zsock_destroy(&self.streamIn);
  zsock_destroy(&self.streamOut);
  zsock_destroy(&self.syncBroker);
  zsock_destroy(&self.syncWorker);
  delete *server;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port) {
  if (server == nullptr || port == nullptr) return aErrParam;
  *port = server->port;
  return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* address) {
  if (server == nullptr || address == nullptr) return aErrParam;
  *address = server->localOnly ? htonl(INADDR_LOOPBACK) : server->networkInterface;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (server == nullptr) return aErrParam;
  server->moduleAddress = address;
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (server == nullptr) return aErrParam;
  server->model = model;
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (server == nullptr) return aErrParam;
  server->generation++;
  return aErrNone;
}
