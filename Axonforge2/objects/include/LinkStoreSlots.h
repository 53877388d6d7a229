#ifndef AXONFORGE2_LINKSTORESLOTS_H
#define AXONFORGE2_LINKSTORESLOTS_H

// The stores of a device module: numbered stores of numbered slots, read and written over a
// connected Link through handles the device hands out. Every slot packet carries command 4 and
// a subcommand; a reply repeats the subcommand, with bit 7 set when it is an error reply.
// The module address is not checked.
//
// Every operation returns an aErr and never throws: aErrConnection while the link is not
// connected, the device's code for a refusal, aErrTimeout when a reply does not come (1000 ms;
// 3000 ms for opening a slot).

#include <stddef.h>
#include <stdint.h>

#include "Link.h"
#include "aError.h"

namespace Tessaron {
namespace Axonforge {

class LinkStoreSlots {
 public:
  explicit LinkStoreSlots(Link& link) : m_link(link) {}

  aErr capacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr size(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  // Writes data into the slot in chunks of 25 bytes, each checked by its byte sum (aErrIO when
  // the device's differs); aErrMedia when the slot cannot be opened.
  aErr load(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  // Reads the slot into buffer; aErrOverrun (with the first bufferLength bytes read) when the
  // slot holds more than the buffer.
  aErr unload(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength, size_t* unloaded);

 private:
  Link& m_link;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
