#ifndef AXONFORGE2_ALINKSPEC_H
#define AXONFORGE2_ALINKSPEC_H

// How to reach one module: a fixed 128-byte record. The same bytes (little-endian, as on every
// host this library targets) are the discovery answer that a link server publishes, so the
// layout must not change.

#include <stddef.h>
#include <stdint.h>

#include "aError.h"

// Transport kind, stored as a 32-bit value.
enum linkType : uint32_t {
  INVALID = 0,
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  AWEAVE = 4,  // client of a shared link; shown as "aWeave"
};

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_PORTNAME_SIZE 100

// Bytes 24..127 depend on the transport and are zero where unused:
//   USB: usbId; TCPIP and AWEAVE: ipAddress, ipPort; SERIAL: baudRate, portName.
struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t module;              // module address (byte value)
  uint32_t router;              // equals module for a directly connected module
  uint32_t routerSerialNumber;
  uint32_t model;               // model number (byte value)
  union {
    uint32_t usbId;             // serial number used to open the USB device
    uint32_t ipAddress;         // IPv4, network byte order
    uint32_t baudRate;
  };
  union {  // the largest member first, so that linkSpec{} zeroes all of it
    char portName[aLINKSPEC_PORTNAME_SIZE];  // NUL-terminated device path
    uint32_t ipPort;            // 16-bit TCP port, host order
  };
};

static_assert(sizeof(linkType) == 4, "linkType is 32 bits");
static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, serialNumber) == 4, "serialNumber at 4");
static_assert(offsetof(linkSpec, module) == 8, "module at 8");
static_assert(offsetof(linkSpec, router) == 12, "router at 12");
static_assert(offsetof(linkSpec, routerSerialNumber) == 16, "routerSerialNumber at 16");
static_assert(offsetof(linkSpec, model) == 20, "model at 20");
static_assert(offsetof(linkSpec, usbId) == 24, "usbId at 24");
static_assert(offsetof(linkSpec, ipAddress) == 24, "ipAddress at 24");
static_assert(offsetof(linkSpec, ipPort) == 28, "ipPort at 28");
static_assert(offsetof(linkSpec, baudRate) == 24, "baudRate at 24");
static_assert(offsetof(linkSpec, portName) == 28, "portName at 28");

#ifdef __cplusplus
extern "C" {
#endif

// A zeroed specifier of the given transport; null when out of memory.
linkSpec* aLinkSpec_Create(linkType type);
// A heap copy of all 128 bytes; null when out of memory.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees the specifier and nulls the caller's pointer.
aErr aLinkSpec_Destroy(linkSpec** spec);

#ifdef __cplusplus
}
#endif

#endif
