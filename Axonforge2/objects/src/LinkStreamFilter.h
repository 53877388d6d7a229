#ifndef AXONFORGE2_LINKSTREAMFILTER_H
#define AXONFORGE2_LINKSTREAMFILTER_H

// The one packet filter that an engine link carries for stream samples, shared by the
// LinkStreams of every Link on that engine link: two Links that share a connection (through a
// link module, or as clients of one link server) each receive every sample. An engine link
// has a single user filter; installing one per Link would let the last replace the others'.

#include <stdint.h>

#include "aError.h"
#include "aPacket.h"

namespace Tessaron {
namespace Axonforge {

class LinkStreams;

class LinkStreamFilter {
 public:
  // Adds streams to the receivers of the link's samples (once), installing the filter for the
  // first. The engine's error when the filter cannot be installed.
  static aErr attach(uint32_t linkId, LinkStreams* streams);
  // Removes streams; the filter goes with the last. Once this returns, the filter is not
  // delivering to streams and never will again.
  static aErr detach(uint32_t linkId, LinkStreams* streams);

 private:
  static uint8_t sFilter(const aPacket* packet, void* reference);
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
