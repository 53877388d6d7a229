#include "aSharedLinkDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include <vector>

#include "aMulticast.h"
#include "aNetworkInterfaces.h"
#include "zBeaconInterface.h"

namespace {

// Serial numbers already reported in this search: a server answers more than once.
class SeenList {
 public:
  bool firstTime(const linkSpec& spec) {
    for (const linkSpec& s : seen_)
      if (s.serialNumber == spec.serialNumber) return false;
    seen_.push_back(spec);
    return true;
  }

 private:
  std::vector<linkSpec> seen_;
};

struct Search {
  aDiscoveryModuleFoundProc callback;
  void* reference;
  int count = 0;
  SeenList seen;
  // Reports a 128-byte answer unless already seen; false when the callback says stop.
  bool offer(const void* answer, size_t size, bool loopbackOnly) {
    if (size != sizeof(linkSpec)) return true;
    linkSpec spec;
    memcpy(&spec, answer, sizeof spec);
    if (loopbackOnly && spec.ipAddress != htonl(INADDR_LOOPBACK)) return true;
    if (!seen.firstTime(spec)) return true;
    return aDiscovery_Report(&spec, callback, reference, &count);
  }
};

bool isLocal(uint32_t networkInterface) {
  if (networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK)) return true;
  uint32_t any;
  return aDiscovery_GetIPv4Interfaces(&any, 1) == 0;
}

// Asks the server at port offset k; false when the callback says stop.
bool askLocalServer(Search& search, uint16_t k) {
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  aMulticast* replies = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REPLY_PORT + k, false);
  aMulticast* request = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REQUEST_PORT + k, true);
  bool goOn = true;
  const uint32_t question = aDISCOVERY_LOCAL_REQUEST;
  if (replies && request && aMulticast_Send(request, &question, sizeof question) == sizeof question) {
    uint8_t answer[sizeof(linkSpec) + 1];
    int n = aMulticast_Receive(replies, answer, sizeof answer);
    if (n > 0) goOn = search.offer(answer, static_cast<size_t>(n), true);
  }
  aMulticast_Destroy(&request);
  aMulticast_Destroy(&replies);
  return goOn;
}

void searchLocally(Search& search) {
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  for (uint16_t k = 0; k < aDISCOVERY_LOCAL_PORT_COUNT; ++k) {
    // Taking the request port succeeds only where no server listens.
    aMulticast* probe = aMulticast_Create(loopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REQUEST_PORT + k, false);
    if (probe) {
      aMulticast_Destroy(&probe);
      continue;
    }
    if (!askLocalServer(search, k)) return;
  }
}

// Receives beacons until the attempts are used up or the callback says stop.
void exchangeBeacons(Search& search, zactor_t* beacon) {
  for (int attempt = 0; attempt < aDISCOVERY_BEACON_ATTEMPTS; ++attempt) {
    char* sender = zstr_recv(beacon);
    if (!sender) continue;  // receive time-out
    zstr_free(&sender);
    zframe_t* content = zframe_recv(beacon);
    const bool goOn = !content || search.offer(zframe_data(content), zframe_size(content), false);
    zframe_destroy(&content);
    if (!goOn) return;
  }
}

void searchByBeacon(Search& search, uint32_t networkInterface) {
  char name[aDISCOVERY_IPV4_TEXT_SIZE];
  if (aDiscovery_ConvertIPv4Interface(networkInterface, name, sizeof name) == 0) return;
  if (!zBeaconInterface_backupSetAndLock(name)) return;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon) {
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* host = zstr_recv(beacon);
    if (host && *host) {
      zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_MARKER, (size_t)aDISCOVERY_BEACON_MARKER_SIZE,
                 aDISCOVERY_BEACON_INTERVAL_MS);
      zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);
      zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_INTERVAL_MS);
      exchangeBeacons(search, beacon);
      zstr_sendx(beacon, "SILENCE", nullptr);
      zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zstr_free(&host);
    zactor_destroy(&beacon);
  }
  zBeaconInterface_restoreAndUnlock();
}

}  // namespace

int aDiscovery_Enumerate_aWeaveModules(aDiscoveryModuleFoundProc callback, void* reference,
                                       uint32_t networkInterface) {
  if (!callback) return 0;
  Search search;
  search.callback = callback;
  search.reference = reference;
  if (isLocal(networkInterface))
    searchLocally(search);
  else
    searchByBeacon(search, networkInterface);
  return search.count;
}
