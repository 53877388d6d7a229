#ifndef AXONFORGE2_ADISCOVERYBACKEND_H
#define AXONFORGE2_ADISCOVERYBACKEND_H

// The search mechanisms beneath aDiscovery_EnumerateModules. Discovery reaches them only
// through this one table, which the platform layer defines; each hands every module it finds
// to aDiscovery_Report and returns the count that function kept. They never report an error.

#include <stdbool.h>
#include <stdint.h>

#include "aDiscovery.h"

typedef struct aDiscoveryTable {
  // Family USB devices (type USB).
  int (*enumerateUSB)(aDiscoveryModuleFoundProc callback, void* reference);
  // Network modules answering the multicast query (type TCPIP).
  int (*enumerateNetwork)(aDiscoveryModuleFoundProc callback, void* reference);
  // Links shared by link servers (type AWEAVE); networkInterface: IPv4, network byte order.
  int (*enumerateShared)(aDiscoveryModuleFoundProc callback, void* reference, uint32_t networkInterface);
} aDiscoveryTable;

#ifdef __cplusplus
extern "C" {
#endif

extern const aDiscoveryTable aPlatformDiscovery;

// Hands one found specifier to the callback, adds 1 to *count when the callback matched it,
// and returns whether the search goes on.
bool aDiscovery_Report(const linkSpec* spec, aDiscoveryModuleFoundProc callback, void* reference, int* count);

#ifdef __cplusplus
}
#endif

#endif
