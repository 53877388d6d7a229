#ifndef AXONFORGE2_ASERVER_H
#define AXONFORGE2_ASERVER_H

// A link server: shares one link (a USB device, as aLink_CreateServer makes it) with any
// number of clients over ZeroMQ, on this host or others, and answers discovery so that they
// can find it. Clients connect a DEALER socket (aClientStream.h) and send one packet per
// message frame (address, length, up to 28 data bytes); every reply comes back to the client
// that asked, as one packet frame, and stream samples go, several packets to a frame, to the
// clients that enabled streaming.
//
// Two worker threads: the broker (the client-facing ROUTER socket, stream subscribers,
// UEI-bytes pools that keep a multi-packet write of one client from interleaving with
// another's on the device, and the conversation with the device: one request at a time into
// the link, each answered packet waiting up to 2000 ms for its reply) and the discovery worker
// (a beacon on a network interface, or the loopback multicast responder in local-only mode). A
// filter on the link's receiving thread takes stream samples out of the reply path and hands
// every other device packet but heartbeats straight to the broker.
//
// Discovery: while the model is 0 nothing answers. The answer is the 128-byte linkSpec image
// of type AWEAVE with the device's serial number, model, the advertised address and the port.
//
// Threads: create, start and destroy on one thread at a time per server; the setters and
// FlushFIFO may be called from any thread while it runs.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aTransport.h"

#ifdef __cplusplus
extern "C" {
#endif

// A server record for the link; nothing runs yet. networkInterface: IPv4, network byte order,
// 0 meaning 127.0.0.1. aErrParam without a server pointer, aErrNotFound for an unknown link,
// aErrConfiguration for local only with an interface other than loopback (its own client would
// connect where nothing listens), aErrMemory. *server stays null on failure.
aErr aServer_Create(uint32_t linkId, uint32_t networkInterface, bool localOnly, aServer** server);
// Binds the client socket (loopback when local only, else the interface; loopback or 0 there
// means the host's first interface), starts the workers and the discovery worker, and installs
// the stream filter on the link. aErrParam for no server, aErrResource when any part failed
// (destroy releases what was built).
aErr aServer_Start(aServer* server);
// Removes the stream filter, stops the workers and frees everything; empties the handle.
// aErrParam for an empty handle.
aErr aServer_Destroy(aServer** server);

// The port the client socket was bound to and the address clients reach it at (the interface
// actually used). aErrParam when an argument is missing.
aErr aServer_GetPort(const aServer* server, uint16_t* port);
aErr aServer_GetInterface(const aServer* server, uint32_t* address);
// What discovery answers carry; a model of 0 silences discovery. aErrParam for no server.
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
// Drops every reply that requests made so far are still owed; they reach no client.
// aErrParam for no server.
aErr aServer_FlushFIFO(aServer* server);

// Large enough for any in-process endpoint name.
#define aSERVER_ENDPOINT_SIZE 64
// True when a server of this process serves on address and port (IPv4, network byte order);
// its in-process endpoint, which skips the network, goes to endpoint. False, endpoint
// untouched, for none or without an endpoint buffer. Any thread.
bool aServer_InProcessEndpoint(uint32_t address, uint16_t port, char* endpoint, size_t size);

#ifdef __cplusplus
}
#endif

#endif
