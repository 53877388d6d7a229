#include "aSharedSocket.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

int aSharedSocket_CreateWake() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

bool aSharedSocket_HasInput(zsock_t* socket) { return (zsock_events(socket) & ZMQ_POLLIN) != 0; }

void aSharedSocket_WakeIfInput(zsock_t* socket, int wake) {
  if (!aSharedSocket_HasInput(socket)) return;
  const uint64_t one = 1;
  if (write(wake, &one, sizeof one) < 0) {
    // The counter is set already: the waiting thread wakes all the same.
  }
}

void aSharedSocket_ClearWake(int wake) {
  uint64_t count = 0;
  if (read(wake, &count, sizeof count) < 0) {
    // Cleared already: the waiting thread looks at the socket either way.
  }
}
