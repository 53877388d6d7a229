#ifndef AXONFORGE2_AUSBSTREAM_H
#define AXONFORGE2_AUSBSTREAM_H

#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// A stream to the family USB device with this serial number: through the kernel driver's node
// when it exists, through libusb otherwise. Gets wait up to about a second for a byte
// (aErrNotReady without one). On failure *stream stays null and the open's error is returned:
// aErrNotFound (no such device), aErrBusy (claimed elsewhere), aErrPermission, ...
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

#ifdef __cplusplus
}
#endif

#endif
