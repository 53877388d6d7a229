#ifndef AXONFORGE2_AUSBKERNELSTREAM_H
#define AXONFORGE2_AUSBKERNELSTREAM_H

// The USB stream through the optional kernel driver, whose node "/dev/axonforge.%08X" stands
// for one family device. Internal to the platform layer: aStream_CreateUSB picks this stream
// when the node exists.

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#define aUSB_KERNEL_NODE_FORMAT "/dev/axonforge.%08X"

// The driver's node for this serial number exists.
bool aUSBKernelStream_NodeExists(uint32_t serialNumber);
// Opens the node. Gets wait up to 100 ms for a byte (aErrNotReady without one). aErrBusy when
// the node is held elsewhere, aErrIO when it cannot be opened; no stream then.
aErr aUSBKernelStream_Create(uint32_t serialNumber, aStream** stream);

#endif
