#include "aLinkTransport.h"

#include "aSocketStream.h"
#include "aUSBStream.h"

// The shared-link client stream belongs to the link-sharing layer, which builds on this one;
// it is bound when that layer is linked in. Without it, opening a client link reports
// aErrUnimplemented.
extern "C" aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) __attribute__((weak));

namespace {

const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

}  // namespace

bool aLinkTransport_BaudRateCode(uint32_t baudRate, uint32_t* rateCode) {
  for (uint32_t code = 0; code < sizeof kBaudRates / sizeof kBaudRates[0]; ++code) {
    if (kBaudRates[code] != baudRate) continue;
    *rateCode = code;
    return true;
  }
  return false;
}

bool aLinkTransport_CanReopen(linkType type) { return type == USB || type == TCPIP || type == AWEAVE; }

aErr aLinkTransport_Open(const aLinkEntry& entry, aStream** stream) {
  const uint16_t port = static_cast<uint16_t>(entry.port);
  switch (entry.type) {
    case USB:
      return aStream_CreateUSB(entry.identifier, stream);
    case TCPIP:
      return aStream_CreateSocket(entry.identifier, port, stream);
    case AWEAVE:
      return aStream_CreateClient ? aStream_CreateClient(entry.identifier, port, stream) : aErrUnimplemented;
    default:
      return aErrParam;
  }
}
