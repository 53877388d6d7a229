#include "aLinkTransport.h"

#include "aTransport.h"

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
  switch (entry.type) {
    case USB:
      return aPlatformTransports.openUSB(entry.identifier, stream);
    case TCPIP:
      return aPlatformTransports.openSocket(entry.identifier, static_cast<uint16_t>(entry.port), stream);
    case AWEAVE:
      return aPlatformTransports.openClient(entry.identifier, static_cast<uint16_t>(entry.port), stream);
    default:
      return aErrParam;
  }
}

aErr aLinkTransport_OpenSerial(const char* portName, uint32_t rateCode, aStream** stream) {
  return aPlatformTransports.openSerial(portName, rateCode, stream);
}
