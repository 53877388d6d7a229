#ifndef AXONFORGE2_ALINKTRANSPORT_H
#define AXONFORGE2_ALINKTRANSPORT_H

// The one place that chooses the byte stream under a link, from what the registry knows
// about its device; the streams themselves come from the platform's transport table.
// Internal to the link core.

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"
#include "aLinkRegistry.h"
#include "aStream.h"

// Rate code of the serial stream for a baud rate; false for a rate it cannot run at.
bool aLinkTransport_BaudRateCode(uint32_t baudRate, uint32_t* rateCode);

// True for the transports that aLinkTransport_Open can (re)open: USB, TCPIP and AWEAVE.
bool aLinkTransport_CanReopen(linkType type);
// Opens the entry's transport: USB by serial number, TCP and link-server clients by address
// and port. aErrParam for the other types.
aErr aLinkTransport_Open(const aLinkEntry& entry, aStream** stream);
// Opens a serial port at a rate code of aLinkTransport_BaudRateCode.
aErr aLinkTransport_OpenSerial(const char* portName, uint32_t rateCode, aStream** stream);

#endif
