#ifndef AXONFORGE2_LINKCLOCK_H
#define AXONFORGE2_LINKCLOCK_H

// The time base on which a Link measures its waits for replies. A Link uses a steady clock
// unless it is given another (Link::setClock): a test gives it one it drives itself, so that a
// time-out passes without being waited out.

#include <stdint.h>

namespace Tessaron {
namespace Axonforge {

class LinkClock {
 public:
  virtual ~LinkClock() = default;
  // Milliseconds from any fixed point, never decreasing. Called on the waiting caller's thread.
  virtual uint64_t nowMs() = 0;
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
