// How a link server is found: a beacon on the interface it serves, or, in local-only mode
// (and on a host without a network interface), the multicast responder on the loopback
// interface. Both answer with the server's discovery answer, and only once the model is known.

#include <arpa/inet.h>
#include <string.h>

#include "aLinkSpec.h"
#include "aMulticast.h"
#include "aNetworkInterfaces.h"
#include "aServerRecord.h"
#include "aSharedLinkDiscovery.h"
#include "aTime.h"
#include "zBeaconInterface.h"

namespace {

constexpr uint32_t kMaxInterfaces = 50;
// Answers are published for this long after a request.
constexpr uint32_t kPublishMs = 2000;

bool sDiscoveryConfigured(const aServer& server) { return server.model != 0; }

// The 128-byte answer: a specifier of type AWEAVE for this server.
linkSpec sNetworkSpec(const aServer& server) {
  linkSpec spec{};
  spec.type = AWEAVE;
  spec.serialNumber = server.serialNumber;
  spec.model = server.model;
  spec.ipAddress = server.localOnly ? htonl(INADDR_LOOPBACK) : server.beaconHost;
  spec.ipPort = server.port;
  return spec;
}

void sRespond(zsock_t* pipe, void* argument) {
  aServer& server = *static_cast<aServer*>(argument);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  aMulticast* requests = nullptr;
  aMulticast* answers = nullptr;
  // The first offset at which no other server listens.
  for (uint16_t k = 0; k < aDISCOVERY_LOCAL_PORT_COUNT && !answers; ++k) {
    requests = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REQUEST_PORT + k, false);
    if (!requests) continue;
    answers = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REPLY_PORT + k, true);
    if (!answers) aMulticast_Destroy(&requests);
  }
  zpoller_t* poller = zpoller_new(pipe, nullptr);
  zsock_signal(pipe, 0);
  // The receive waits up to a second itself; the pipe is only looked at in between, so that a
  // request is never left waiting on the pipe's time.
  while (poller && zpoller_wait(poller, requests ? 0 : 1000) != pipe) {
    uint32_t request = 0;
    if (requests && aMulticast_Receive(requests, &request, sizeof request) == sizeof request &&
        request == aDISCOVERY_LOCAL_REQUEST && sDiscoveryConfigured(server)) {
      const linkSpec answer = sNetworkSpec(server);
      aMulticast_Send(answers, &answer, sizeof answer);
    }
  }
  zpoller_destroy(&poller);
  aMulticast_Destroy(&answers);
  aMulticast_Destroy(&requests);
  aServer_WorkerEnded(server);
}

bool sStartBeacon(aServer& server) {
  char name[aDISCOVERY_IPV4_TEXT_SIZE];
  if (aDiscovery_ConvertIPv4Interface(server.networkInterface, name, sizeof name) == 0) return false;
  if (!zBeaconInterface_setAndLock(name)) return false;
  // The beacon reads the selected interface when it is configured.
  server.beacon = zactor_new(zbeacon, nullptr);
  char* host = nullptr;
  if (server.beacon) {
    zsock_send(server.beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    host = zstr_recv(server.beacon);
  }
  zBeaconInterface_unlock();
  const bool configured = host && *host && inet_pton(AF_INET, host, &server.beaconHost) == 1;
  zstr_free(&host);
  if (!configured) return false;
  zsock_send(server.beacon, "sb", "SUBSCRIBE", aDISCOVERY_BEACON_MARKER, (size_t)aDISCOVERY_BEACON_MARKER_SIZE);
  zsock_set_rcvtimeo(server.beacon, aDISCOVERY_BEACON_INTERVAL_MS);
  server.beaconMode = true;
  return true;
}

}  // namespace

bool aServerDiscovery_Start(aServer& server) {
  uint32_t interfaces[kMaxInterfaces];
  const uint32_t count = server.localOnly ? 0 : aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  if (count > 0) {
    if (server.networkInterface == htonl(INADDR_LOOPBACK)) server.networkInterface = interfaces[0];
    return sStartBeacon(server);
  }
  server.beaconHost = htonl(INADDR_LOOPBACK);
  server.beaconMode = false;
  server.responder = zactor_new(sRespond, &server);
  return server.responder != nullptr;
}

void aServerDiscovery_OnBeacon(aServer& server) {
  char* sender = zstr_recv(server.beacon);
  zframe_t* content = sender ? zframe_recv(server.beacon) : nullptr;
  const bool request = content && zframe_size(content) >= aDISCOVERY_BEACON_MARKER_SIZE &&
                       memcmp(zframe_data(content), aDISCOVERY_BEACON_MARKER, aDISCOVERY_BEACON_MARKER_SIZE) == 0;
  if (request && sDiscoveryConfigured(server) && !server.publishing) {
    const linkSpec answer = sNetworkSpec(server);
    zsock_send(server.beacon, "sbi", "PUBLISH", &answer, sizeof answer, aDISCOVERY_BEACON_INTERVAL_MS);
    server.publishing = true;
    server.publishStart = aTime_GetMSTicks();
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void aServerDiscovery_Tick(aServer& server) {
  if (!server.publishing || aTime_GetMSTicks() - server.publishStart <= kPublishMs) return;
  zstr_sendx(server.beacon, "SILENCE", nullptr);
  server.publishing = false;
}

void aServerDiscovery_Stop(aServer& server) {
  zactor_destroy(&server.responder);
  zactor_destroy(&server.beacon);
}
