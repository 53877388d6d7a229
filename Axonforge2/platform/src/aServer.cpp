// The link server's record: creation, the start and stop sequences, and its settings.

#include <arpa/inet.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "aLink.h"
#include "aNetworkInterfaces.h"
#include "aServerRecord.h"
#include "aSharedSocket.h"

namespace {

// Frames beyond this size are not the server's protocol: zmq drops the peer that sends one.
constexpr int64_t kMaxClientFrame = 1024;

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

// The servers of this process by the address and port they serve on: a client of the same
// process talks to one through an in-process endpoint, which skips the messaging layer's
// network threads and the loopback round trip.
std::mutex sInProcessLock;
std::set<std::pair<uint32_t, uint16_t>> sInProcess;

void sInProcessName(uint32_t address, uint16_t port, char* endpoint, size_t size) {
  snprintf(endpoint, size, "inproc://aServer-%08x-%u", unsigned(address), unsigned(port));
}

// The address clients reach the server at.
uint32_t sServedAddress(const aServer& server) {
  return server.localOnly ? htonl(INADDR_LOOPBACK) : server.networkInterface;
}

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
  if (port <= 0) return 0;
  char endpoint[aSERVER_ENDPOINT_SIZE];
  const uint32_t address = sServedAddress(server);
  sInProcessName(address, static_cast<uint16_t>(port), endpoint, sizeof endpoint);
  if (zsock_bind(server.frontend, "%s", endpoint) != 0) return 0;
  std::lock_guard<std::mutex> lock(sInProcessLock);
  sInProcess.emplace(address, static_cast<uint16_t>(port));
  return static_cast<uint16_t>(port);
}

bool sStart(aServer& server) {
  server.frontend = zsock_new_router(nullptr);
  server.streamIn = zsock_new_dealer(nullptr);
  server.streamOut = zsock_new_dealer(nullptr);
  server.wake = aSharedSocket_CreateWake();
  server.conversation.reset(new (std::nothrow) aServerSync(
      [&server](const aPacket& packet) { return aLink_PutPacket(server.linkId, &packet) == aErrNone; },
      [&server](aServerSync::Replies& replies) { aServer_Reply(server, replies); }));
  if (!server.frontend || !server.streamIn || !server.streamOut || server.wake < 0 || !server.conversation) return false;
  if (!aServerDiscovery_Start(server)) return false;
  server.port = sBindFrontend(server);
  if (server.port == 0) return false;
  if (!sPair(&server, "stream", server.streamIn, server.streamOut)) return false;
  server.broker = zactor_new(aServer_BrokerTask, &server);
  if (!server.broker) return false;
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
  if (self.port != 0) {
    std::lock_guard<std::mutex> lock(sInProcessLock);
    sInProcess.erase(std::make_pair(sServedAddress(self), self.port));
  }
  zactor_destroy(&self.broker);
  aServerDiscovery_Stop(self);
  self.workersEnded.load(std::memory_order_acquire);
  zsock_destroy(&self.frontend);
  zsock_destroy(&self.streamIn);
  zsock_destroy(&self.streamOut);
  if (self.wake >= 0) close(self.wake);
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
  *address = sServedAddress(*server);
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

bool aServer_InProcessEndpoint(uint32_t address, uint16_t port, char* endpoint, size_t size) {
  if (endpoint == nullptr || size == 0) return false;
  std::lock_guard<std::mutex> lock(sInProcessLock);
  if (sInProcess.count(std::make_pair(address, port)) == 0) return false;
  sInProcessName(address, port, endpoint, size);
  return true;
}
