#ifndef AXONFORGE2_ACLIENTSTREAM_H
#define AXONFORGE2_ACLIENTSTREAM_H

// The byte stream under a client link: a connection to a link server (aServer.h) over
// ZeroMQ. Each write goes to the server as one message frame (the server takes it for one
// packet: address, length, data); the frames the server sends back (a reply packet, or stream
// data: several packets end to end) are handed out byte by byte, across frame boundaries, so
// that the link engine assembles packets exactly as from a USB stream.
//
// The link engine's writing thread (write) and reading thread (get) share the one server
// connection under a lock, so that a request goes out from the thread that writes it. A
// client in the process of the server it connects to (aServer_InProcessEndpoint) reaches it
// through an in-process endpoint instead of the network. When the process is interrupted
// (SIGINT caught by CZMQ), get raises SIGINT again without CZMQ's handler, so that the
// interrupt ends the application and not only the messaging layer.

#include <stdint.h>

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// Connects to the server at address (IPv4, network byte order) and port. aErrParam without a
// stream pointer, aErrMemory when a socket, the wake-up descriptor or the record cannot be
// made, aErrConnection when nothing listens there or an internal connect fails, aErrResource
// when the stream cannot be made; on failure nothing is left and *stream stays null.
//
// The stream's get waits up to 100 ms for a frame (aErrNotReady when none came, aErrIO when it
// cannot be received, and from then on once the network connection to the server has closed
// or the server's host has answered no heartbeat for 3 s, after the frames that came before);
// put answers aErrUnimplemented (packets are written whole); write sends the buffer as one
// frame, retrying up to 100 times 1 ms apart while the socket is full, and answers aErrNone
// even when every attempt failed (the packet is lost, as on a wire).
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
