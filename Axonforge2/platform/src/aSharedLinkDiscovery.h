#ifndef AXONFORGE2_ASHAREDLINKDISCOVERY_H
#define AXONFORGE2_ASHAREDLINKDISCOVERY_H

// Searches for links shared by link servers. On a network interface: a CZMQ beacon exchange
// (the searcher publishes a marker, servers answer by publishing their 128-byte specifier). On
// this host only: a multicast query on the loopback interface, probing each server port.
// Both report each serial number once per search.

#include <stdint.h>

#include "aDiscoveryBackend.h"

#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_MARKER "Axonforge2-Discovery"
#define aDISCOVERY_BEACON_MARKER_SIZE 20
#define aDISCOVERY_BEACON_INTERVAL_MS 100
#define aDISCOVERY_BEACON_ATTEMPTS 22

#define aDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define aDISCOVERY_LOCAL_REQUEST_PORT 9850  // a server at offset k listens on 9850 + k
#define aDISCOVERY_LOCAL_REPLY_PORT 9950    // and answers to 9950 + k
#define aDISCOVERY_LOCAL_PORT_COUNT 50
#define aDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu  // sent as 4 bytes in host order

#ifdef __cplusplus
extern "C" {
#endif

// networkInterface: IPv4, network byte order. 0 or 127.0.0.1, or a host without IPv4
// interfaces, searches locally and accepts only answers advertising 127.0.0.1.
int aDiscovery_Enumerate_aWeaveModules(aDiscoveryModuleFoundProc callback, void* reference,
                                       uint32_t networkInterface);

#ifdef __cplusplus
}
#endif

#endif
