#ifndef AXONFORGE2_AUSBDISCOVERY_H
#define AXONFORGE2_AUSBDISCOVERY_H

#include "aDiscoveryBackend.h"

#ifdef __cplusplus
extern "C" {
#endif

// Family USB devices whose serial-number string is 8 hexadecimal digits, in enumeration order.
int aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* reference);

#ifdef __cplusplus
}
#endif

#endif
