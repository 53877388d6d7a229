#ifndef AXONFORGE2_AWEAVECONFIG_H
#define AXONFORGE2_AWEAVECONFIG_H

#include <stdint.h>

namespace Tessaron {
namespace Axonforge {

// 127.0.0.1 in network byte order.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr uint32_t kLoopbackInterface = 0x0100007Fu;
#else
constexpr uint32_t kLoopbackInterface = 0x7F000001u;
#endif

// Networking options of a Link: whether a USB device is shared through a link server, whether
// discovery falls back to the other transport, and where the server and discovery work.
struct aWeaveConfig {
  bool enabled = true;       // open USB devices through a link server (required for AWEAVE links)
  bool fallback = true;      // discoverAndConnect retries over the other transport
  bool localOnly = true;     // the link server serves the loopback interface only
  uint16_t assignedPort = 0; // written back with the port the link server bound to
  uint32_t networkInterface = kLoopbackInterface;  // IPv4, network byte order
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
