#ifndef AXONFORGE2_ATRANSPORT_H
#define AXONFORGE2_ATRANSPORT_H

// The byte streams beneath links. The link core opens every transport through this one table
// and names no device, socket or port implementation itself; the platform layer defines the
// table for its operating system, as libusb's core reaches its OS back-end through one vtable.
// Each opener leaves *stream null on failure and returns the open's error.

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"
#include "aStream.h"

// A link server: shares one link with clients over message sockets (aServer.h).
typedef struct aServer aServer;

typedef struct aTransportTable {
  // The family USB device with this serial number.
  aErr (*openUSB)(uint32_t serialNumber, aStream** stream);
  // A TCP connection; address: IPv4 in network byte order.
  aErr (*openSocket)(uint32_t address, uint16_t port, aStream** stream);
  // A serial port, 8 data bits, one stop bit, no parity; rateCode as aLink_CreateSerial's
  // baud rates are numbered, from 0 for 2400 to 7 for 230400.
  aErr (*openSerial)(const char* portName, uint32_t rateCode, aStream** stream);
  // A client connection to a link server; address: IPv4 in network byte order.
  aErr (*openClient)(uint32_t address, uint16_t port, aStream** stream);
} aTransportTable;

// The link servers through which the engine shares a USB link; aServer.h gives each
// operation's contract.
typedef struct aServerTable {
  aErr (*create)(uint32_t linkId, uint32_t networkInterface, bool localOnly, aServer** server);
  aErr (*start)(aServer* server);
  aErr (*getPort)(const aServer* server, uint16_t* port);
  aErr (*getInterface)(const aServer* server, uint32_t* address);
  aErr (*setModuleAddress)(aServer* server, uint8_t address);
  aErr (*setModel)(aServer* server, uint8_t model);
  aErr (*flushFIFO)(aServer* server);
  aErr (*destroy)(aServer** server);
} aServerTable;

#ifdef __cplusplus
extern "C" {
#endif

extern const aTransportTable aPlatformTransports;
extern const aServerTable aPlatformServers;

#ifdef __cplusplus
}
#endif

#endif
