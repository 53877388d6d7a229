#ifndef AXONFORGE2_LINKFACTORYDATA_H
#define AXONFORGE2_LINKFACTORYDATA_H

// The factory data of a device module: records of sixteen kinds, read and written over a
// connected Link in transfers of chunks that an end packet closes with the byte count the host
// saw. The module address is not checked.
//
// Every operation returns an aErr and never throws: aErrConnection while the link is not
// connected, aErrTimeout when a reply does not come within 1000 ms.

#include <stddef.h>
#include <stdint.h>

#include "Link.h"
#include "aError.h"

namespace Tessaron {
namespace Axonforge {

class LinkFactoryData {
 public:
  explicit LinkFactoryData(Link& link) : m_link(link) {}

  // The buffer must be longer than the data (aErrOverrun otherwise).
  aErr get(uint8_t module, uint8_t kind, uint8_t* buffer, size_t bufferLength, size_t* received);
  // aErrWrite when the device refuses a chunk.
  aErr set(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

 private:
  Link& m_link;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
