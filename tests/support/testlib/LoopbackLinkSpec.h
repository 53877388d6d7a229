#ifndef TESTLIB_LOOPBACKLINKSPEC_H
#define TESTLIB_LOOPBACKLINKSPEC_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "aLinkSpec.h"

// The specifier of a module reached on this machine's loopback address: tests never address
// anything else.
inline linkSpec LoopbackLinkSpec(linkType type, uint32_t serial, uint32_t port) {
  linkSpec spec{};
  spec.type = type;
  spec.serialNumber = serial;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.ipPort = port;
  return spec;
}

#endif
