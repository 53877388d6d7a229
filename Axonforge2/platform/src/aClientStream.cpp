#include "aClientStream.h"

#include <czmq.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "aNetworkInterfaces.h"
#include "aServer.h"
#include "aSharedSocket.h"
#include "aSocketStream.h"
#include "aTime.h"

namespace {

// Short, so that a stopping link's reader is not held up for long; the engine just asks again.
constexpr int kGetWaitMs = 100;
constexpr int kSendAttempts = 100;
constexpr uint32_t kSendRetryMs = 1;
// A server host that stops answering the messaging layer's heartbeats for this long counts as
// gone, as does a server whose connection closed.
constexpr int kHeartbeatIntervalMs = 1000;
constexpr int kHeartbeatTimeoutMs = 3000;

// One connection to the server, used by the link engine's writing thread (write) and reading
// thread (get) under a lock: a request goes out from the thread that writes it, with no hand-off
// to another thread on its way. The reader waits for frames outside the lock (aSharedSocket.h).
struct ClientStream {
  std::mutex lock;
  zsock_t* server = nullptr;  // under lock
  int wake = -1;              // eventfd: the writer's "a frame is waiting"
  zsock_t* monitor = nullptr;  // the server connection's events (network only), get() only
  bool lost = false;           // the connection to the server closed, get() only
  zframe_t* frame = nullptr;  // the frame being handed out, get() only
  size_t position = 0;
};

// An interrupt caught by CZMQ is raised again without its handler, so that it does what the
// application (or the default action) makes of it.
void sPassOnInterrupt() {
  if (!zsys_interrupted) return;
  zsys_interrupted = 0;
  zsys_handler_reset();
  kill(getpid(), SIGINT);
  zsys_catch_interrupts();
}

void sRelease(ClientStream* self) {
  zsock_destroy(&self->monitor);
  zsock_destroy(&self->server);
  if (self->wake >= 0) close(self->wake);
  zframe_destroy(&self->frame);
  delete self;
}

bool sValid(const ClientStream* self) { return self != nullptr && self->server != nullptr; }

// Sends a frame, retrying while the socket cannot take it; the frame is released either way.
void sSendPatiently(ClientStream* self, zframe_t** frame) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    bool sent = false;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      sent = zframe_send(frame, self->server, ZFRAME_DONTWAIT | ZFRAME_REUSE) == 0;
      aSharedSocket_WakeIfInput(self->server, self->wake);
    }
    if (sent) break;
    aTime_MSSleep(kSendRetryMs);
  }
  zframe_destroy(frame);
}

// A frame that has come, without waiting; null when none has.
zframe_t* sTakeFrame(ClientStream* self) {
  std::lock_guard<std::mutex> hold(self->lock);
  return aSharedSocket_HasInput(self->server) ? zframe_recv(self->server) : nullptr;
}

// Reads the connection's events; true once it has closed. A server that is gone stays gone
// for this stream, as an unplugged device does for a USB stream: the link reports it, and a
// reset of the link connects anew.
bool sConnectionLost(ClientStream* self) {
  while (!self->lost && self->monitor != nullptr && (zsock_events(self->monitor) & ZMQ_POLLIN) != 0) {
    zframe_t* event = zframe_recv(self->monitor);
    uint16_t number = 0;
    if (event && zframe_size(event) >= sizeof number) memcpy(&number, zframe_data(event), sizeof number);
    zframe_destroy(&event);
    while (zsock_rcvmore(self->monitor)) {
      zframe_t* rest = zframe_recv(self->monitor);
      zframe_destroy(&rest);
    }
    self->lost = number == ZMQ_EVENT_DISCONNECTED;
  }
  return self->lost;
}

// Waits up to kGetWaitMs for a frame from the server.
aErr sAwaitFrame(ClientStream* self) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> hold(self->lock);
    fd = zsock_fd(self->server);
  }
  const int monitorFd = self->monitor != nullptr ? zsock_fd(self->monitor) : -1;
  const uint32_t start = aTime_GetMSTicks();
  for (uint32_t waited = 0; waited <= uint32_t(kGetWaitMs); waited = aTime_GetMSTicks() - start) {
    sPassOnInterrupt();
    self->frame = sTakeFrame(self);
    if (self->frame != nullptr) {
      self->position = 0;
      if (zframe_size(self->frame) > 0) return aErrNone;
      zframe_destroy(&self->frame);  // an empty frame hands out nothing
      continue;
    }
    // What the server sent before it went is handed out first.
    if (sConnectionLost(self)) return aErrIO;
    if (waited == uint32_t(kGetWaitMs)) break;
    pollfd watched[3] = {{fd, POLLIN, 0}, {self->wake, POLLIN, 0}, {monitorFd, POLLIN, 0}};
    const int ready = poll(watched, monitorFd >= 0 ? 3 : 2, kGetWaitMs - int(waited));
    if (ready < 0 && errno != EINTR) return aErrIO;
    if (watched[1].revents & POLLIN) aSharedSocket_ClearWake(self->wake);
  }
  return aErrNotReady;
}

aErr sGet(uint8_t* byte, void* reference) {
  auto* self = static_cast<ClientStream*>(reference);
  if (!sValid(self)) return aErrIO;
  if (self->frame == nullptr) {
    const aErr err = sAwaitFrame(self);
    if (err != aErrNone) return err;
  }
  *byte = zframe_data(self->frame)[self->position++];
  if (self->position >= zframe_size(self->frame)) zframe_destroy(&self->frame);
  return aErrNone;
}

aErr sPut(uint8_t, void*) { return aErrUnimplemented; }

aErr sWrite(const uint8_t* bytes, size_t length, void* reference) {
  auto* self = static_cast<ClientStream*>(reference);
  if (!sValid(self)) return aErrParam;
  zframe_t* frame = zframe_new(bytes, length);
  if (frame) sSendPatiently(self, &frame);
  return aErrNone;
}

aErr sDelete(void* reference) {
  auto* self = static_cast<ClientStream*>(reference);
  if (!sValid(self)) return aErrIO;
  sRelease(self);
  return aErrNone;
}

// A zmq connect is made in the background and never tells of a server that is not there; a
// plain TCP connection does.
bool sServerListens(uint32_t address, uint16_t port) {
  aStream* probe = nullptr;
  const aErr err = aStream_CreateSocket(address, port, &probe);
  if (probe) aStream_Destroy(&probe);
  return err == aErrNone;
}

aErr sBuild(ClientStream* self, uint32_t address, uint16_t port) {
  char host[aDISCOVERY_IPV4_TEXT_SIZE];
  if (aDiscovery_ConvertIPv4Interface(address, host, sizeof host) == 0) return aErrConnection;
  char inProcess[aSERVER_ENDPOINT_SIZE];
  const bool local = aServer_InProcessEndpoint(address, port, inProcess, sizeof inProcess);
  if (!local && !sServerListens(address, port)) return aErrConnection;
  self->wake = aSharedSocket_CreateWake();
  self->server = zsock_new_dealer(nullptr);
  if (self->wake < 0 || !self->server) return aErrMemory;
  if (local) return zsock_connect(self->server, "%s", inProcess) == 0 ? aErrNone : aErrConnection;
  // Watched from before the connect, so that no closing of the connection goes unseen.
  char events[64];
  snprintf(events, sizeof events, "inproc://aClientStream-%p-events", static_cast<const void*>(self));
  self->monitor = zsock_new(ZMQ_PAIR);
  if (!self->monitor) return aErrMemory;
  if (zmq_socket_monitor(zsock_resolve(self->server), events, ZMQ_EVENT_DISCONNECTED) != 0 ||
      zsock_connect(self->monitor, "%s", events) != 0) {
    return aErrConnection;
  }
  zsock_set_heartbeat_ivl(self->server, kHeartbeatIntervalMs);
  zsock_set_heartbeat_timeout(self->server, kHeartbeatTimeoutMs);
  return zsock_connect(self->server, "tcp://%s:%u", host, static_cast<unsigned>(port)) == 0 ? aErrNone : aErrConnection;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  auto* self = new (std::nothrow) ClientStream;
  if (self == nullptr) return aErrMemory;
  aErr err = sBuild(self, address, port);
  if (err == aErrNone) {
    *stream = aStream_Create(sGet, sPut, sWrite, sDelete, self);
    if (*stream == nullptr) err = aErrResource;
  }
  if (err != aErrNone) sRelease(self);
  return err;
}
