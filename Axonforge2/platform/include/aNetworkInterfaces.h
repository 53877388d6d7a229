#ifndef AXONFORGE2_ANETWORKINTERFACES_H
#define AXONFORGE2_ANETWORKINTERFACES_H

#include <stdint.h>

#define aDISCOVERY_IPV4_TEXT_SIZE 16  // "255.255.255.255" and its NUL

#ifdef __cplusplus
extern "C" {
#endif

// IPv4 addresses (network byte order) of the host's usable interfaces, as CZMQ lists them
// (up, broadcast-capable, not loopback), at most capacity of them; returns how many.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Dotted text of an address (network byte order); its length, or 0 when size < 16.
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
