#ifndef AXONFORGE2_ADISCOVERY_H
#define AXONFORGE2_ADISCOVERY_H

// Finding modules: USB enumeration, the network module query and the shared-link searches.
// Each found module is handed to a callback as a link specifier.

#include <stdbool.h>
#include <stdint.h>

#include "aLinkSpec.h"

// Called once per module found. spec is valid only during the call (copy it to keep it); set
// *matched to count the module in the enumeration's result. Return 1 to go on, 0 to stop.
typedef uint8_t (*aDiscoveryModuleFoundProc)(const linkSpec* spec, uint8_t* matched, void* reference);

#ifdef __cplusplus
extern "C" {
#endif

// Dispatches by type: USB, TCPIP (network modules) or AWEAVE (shared links, searched on the
// given interface: IPv4, network byte order). Returns the number of calls that set *matched;
// other types find nothing. Never reports an error.
int aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                uint32_t networkInterface);
// The first module of that serial number, or null; release with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// The first module with a non-zero serial number, or null; release with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

#ifdef __cplusplus
}
#endif

#endif
