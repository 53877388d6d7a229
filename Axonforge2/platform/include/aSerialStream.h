#ifndef AXONFORGE2_ASERIALSTREAM_H
#define AXONFORGE2_ASERIALSTREAM_H

// A stream over a serial port in raw mode. Get waits up to 10 ms for a byte before
// answering aErrNotReady; write returns once the bytes have been transmitted.

#include <stdbool.h>
#include <stdint.h>

#include "aStream.h"

// Baud rate codes: 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200, 4 = 38400, 5 = 57600,
// 6 = 115200, 7 = 230400; any other code sets speed 0.
#define aSERIAL_RATE_CODES 8

#ifdef __cplusplus
extern "C" {
#endif

// Opens path with the rate code, optional parity, data-bits mode (0: 8 bits, 1: 7 bits) and
// stop-bits mode (0: one, 1: two). The port's previous settings come back when the stream is
// destroyed. aErrParam for bad arguments, aErrNotFound, aErrPermission or aErrIO when the port
// cannot be opened or set up; no stream then.
aErr aStream_CreateSerial(const char* path, uint32_t rateCode, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
