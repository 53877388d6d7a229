#ifndef AXONFORGE2_ASOCKETSTREAM_H
#define AXONFORGE2_ASOCKETSTREAM_H

// A TCP client stream to a network module. Get is non-blocking apart from a short wait (up to
// 10 ms) for a byte to arrive; the stream reconnects by itself when the connection is reset or closed, and
// reports aErrConnection (or aErrIO) once that fails, so a link above learns the device is gone.

#include <stdint.h>

#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// Connects to address (IPv4, network byte order) and port (host order). Connection refused,
// reset, timed out or would-block give aErrConnection, other failures aErrIO; no stream then.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
