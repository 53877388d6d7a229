#ifndef AXONFORGE2_ANETWORKDISCOVERY_H
#define AXONFORGE2_ANETWORKDISCOVERY_H

// The network module query: a 16-byte UDP datagram to a multicast group, sent through every
// local IPv4 interface; modules answer with 16 bytes to the querier's reply port.

#include <stddef.h>
#include <stdint.h>

#include "aDiscoveryBackend.h"

#define aDISCOVERY_QUERY_GROUP "232.2.2.2"
#define aDISCOVERY_QUERY_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_QUERY_SIZE 16
#define aDISCOVERY_REPLY_SIZE 16

#ifdef __cplusplus
extern "C" {
#endif

// Searches for network modules until no reply came for 2 s or the callback stops.
int aDiscovery_EnumerateNetworkModules(aDiscoveryModuleFoundProc callback, void* reference);
// The specifier of one module reply from sourceAddress (IPv4, network byte order); false for a
// reply too short to carry address, port and serial number.
bool aDiscovery_ParseModuleReply(const uint8_t* reply, size_t length, uint32_t sourceAddress, linkSpec* spec);

#ifdef __cplusplus
}
#endif

#endif
