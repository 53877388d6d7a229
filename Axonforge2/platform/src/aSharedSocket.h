#ifndef AXONFORGE2_ASHAREDSOCKET_H
#define AXONFORGE2_ASHAREDSOCKET_H

// A ZeroMQ socket used by several threads under their lock while one of them waits for its
// messages outside the lock, on the socket's notification descriptor. Any use of the socket
// may read the notice of a message that has come, which that descriptor then no longer shows;
// so whoever uses the socket off the waiting thread wakes that thread, through a descriptor of
// its own, whenever a message waits. Internal to the link server and its client stream.

#include <czmq.h>

// The waiting thread's wake-up descriptor (an eventfd); -1 when none can be made.
int aSharedSocket_CreateWake();
// Under the lock: whether a message waits (reads the socket's pending notices).
bool aSharedSocket_HasInput(zsock_t* socket);
// Under the lock, after a use of the socket off the waiting thread: wakes that thread when a
// message waits.
void aSharedSocket_WakeIfInput(zsock_t* socket, int wake);
// The waiting thread, once its wake-up descriptor has polled readable.
void aSharedSocket_ClearWake(int wake);

#endif
