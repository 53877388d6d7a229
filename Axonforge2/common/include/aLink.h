#ifndef AXONFORGE2_ALINK_H
#define AXONFORGE2_ALINK_H

// The link engine: packets over a byte stream to one device module. Each running link has an
// inbound thread, which assembles packets byte by byte, keeps the stream in step with the
// module (sync handshake), answers heartbeats and queues the rest, and an outbound thread,
// which writes queued packets to the stream. Callers name a link by a small integer id and
// exchange packets only through the link's two queues.
//
// Packets handed out belong to the caller (aPacket_Destroy); packets passed in stay the
// caller's (the queue keeps a copy).

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"
#include "aLinkPacketDebug.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"

// Link status; only LINK_RUNNING counts as connected.
enum linkStatus : uint32_t {
  LINK_STOPPED = 0,       // initialised with a stream, or stopped
  LINK_STARTING = 1,
  LINK_RUNNING = 2,       // threads running and in step with the module
  LINK_STOPPING = 3,
  LINK_SYNCING = 4,       // a sync burst is out, waiting for the module's answer
  LINK_NO_STREAM = 5,     // no transport; also the status of an unknown id
  LINK_IO_ERROR = 6,      // the last stream read failed
  LINK_PACKET_ERROR = 8,  // a received packet could not be queued
};

// Link-control addresses.
#define aLINK_SYNC_ADDRESS 0xAD   // sync request, also the module-address query
#define aLINK_ROUTE_ADDRESS 0xAF  // route switch: payload 1 = route traffic here, 0 = stop

#ifdef __cplusplus
extern "C" {
#endif

// Creation. Each returns the link id, or 0 on failure (a partly made link is destroyed).
// A second request for a device that already has a link shares it and counts one more user.
uint32_t aLink_CreateUSB(uint32_t serialNumber);
// address: IPv4 in network byte order.
uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port);
// baudRate: 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A client link to the link server at address (IPv4, network byte order) and port. With a
// non-zero existingLinkId that link is shared instead (0 when it is unknown); otherwise every
// call makes a new link. A client link writes each packet as one message, never pooled.
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLinkId);
// Opens the USB device and shares it through a link server bound to *address (IPv4, network
// byte order; 0 is 127.0.0.1; local only: loopback only, and any other address is refused),
// learns the module's address and model for the server's discovery answers, and returns a
// client link of this process to the server, with the server's port and address in *port
// and *address. The server and the USB link go when that client link's last user releases
// it. While served, the device cannot be opened directly (aLink_CreateUSB gives 0).
uint32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* address, bool localOnly);
// A link over a stream the caller made; the link takes the stream over (also on failure).
uint32_t aLink_Create(aStream* stream);
// The link for a specifier of type USB, TCPIP, SERIAL or AWEAVE, made as by those above:
// aErrMode for another type, aErrConnection when the link cannot be made (*linkId 0 then).
aErr aLink_CreateFromSpec(const linkSpec* spec, uint32_t* linkId);

// (Re)initialises the record of a registered id over stream, which the link owns from then
// on; the id, or 0 when the id is not registered or memory runs out (the stream stays the
// caller's then). A null stream leaves the link in LINK_NO_STREAM.
uint32_t aLink_Init(uint32_t linkId, aStream* stream);
// Starts both threads and switches the module's route to this link.
aErr aLink_Start(uint32_t linkId);
// Runs the sync handshake (aErrNotReady when the module does not answer within 2 s), then
// discards whatever is queued in both directions.
aErr aLink_Sync(uint32_t linkId);
// Queues a route switch packet: on = 1 routes the module's traffic to this link, 0 stops it.
aErr aLink_ForceRoute(uint32_t linkId, uint8_t on);
// Stops the link, reopens its transport and starts it again.
aErr aLink_Reset(uint32_t linkId);
// Drops one use; the last one stops and frees the link. Always zeroes *linkId.
aErr aLink_Destroy(uint32_t* linkId);

uint32_t aLink_GetStatus(uint32_t linkId);

aPacket* aLink_GetPacket(uint32_t linkId);
aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs);
aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilter filter, void* reference);
// First received packet the filter accepts, waiting up to timeoutMs; ends early with null
// when the link stops or loses step with the module.
aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilter filter, void* reference, uint32_t timeoutMs);
uint32_t aLink_DrainPackets(uint32_t linkId, aPacketFilter filter, void* reference);
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet);

// A filter run on every received packet before it is queued; a non-zero result consumes the
// packet. Null removes it. The filter runs on the link's inbound thread.
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketFilter filter, void* reference);
// Pooled: queued packets are coalesced into stream writes of up to 4096 bytes. A client link
// stays unpooled: the server takes each message for one packet.
aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable);
// The serial number a USB or serial link was made for; aErrParam for an unknown id.
aErr aLink_GetSerialNumber(uint32_t linkId, uint32_t* serialNumber);

// Asks the module for its address (an empty packet to aLINK_SYNC_ADDRESS; the answer comes
// from the module's address). aErrTimeout without an answer within 1 s, aErrIO for a wrong one.
aErr aLink_QueryModuleAddress(uint32_t linkId, uint8_t* address);
// Reads the model number of the module at address with a UEI get.
aErr aLink_QueryModel(uint32_t linkId, uint8_t address, uint8_t* model);

#ifdef __cplusplus
}
#endif

#endif
