#include "aClientStream.h"

#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <new>

#include "aNetworkInterfaces.h"
#include "aSocketStream.h"
#include "aTime.h"

namespace {

// Short, so that a stopping link's reader is not held up for long; the engine just asks again.
constexpr int kGetWaitMs = 100;
constexpr int kSendAttempts = 100;
constexpr uint32_t kSendRetryMs = 1;

// The link engine's reading thread (get) is the only user of the server connection: it passes
// on what the writing thread queued on the outgoing pair while it waits for frames, so that
// no thread of its own stands between the link and the server in either direction.
struct ClientStream {
  zsock_t* server = nullptr;    // get() only
  zsock_t* outWrite = nullptr;  // write() only
  zsock_t* outRead = nullptr;   // get() only
  zpoller_t* poller = nullptr;  // on server and outRead, get() only
  zframe_t* frame = nullptr;    // the frame being handed out, get() only
  size_t position = 0;
};

// Sends a frame, retrying while the socket cannot take it; the frame is released either way.
void sSendPatiently(zframe_t** frame, zsock_t* socket) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    if (zframe_send(frame, socket, ZFRAME_DONTWAIT | ZFRAME_REUSE) == 0) break;
    aTime_MSSleep(kSendRetryMs);
  }
  zframe_destroy(frame);
}

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
  zpoller_destroy(&self->poller);
  zsock_destroy(&self->server);
  zsock_destroy(&self->outWrite);
  zsock_destroy(&self->outRead);
  zframe_destroy(&self->frame);
  delete self;
}

bool sValid(const ClientStream* self) { return self != nullptr && self->server != nullptr; }

// Waits up to kGetWaitMs for a frame from the server, passing on queued writes meanwhile.
aErr sAwaitFrame(ClientStream* self) {
  const uint32_t start = aTime_GetMSTicks();
  for (uint32_t waited = 0; waited < uint32_t(kGetWaitMs); waited = aTime_GetMSTicks() - start) {
    sPassOnInterrupt();
    void* which = zpoller_wait(self->poller, kGetWaitMs - int(waited));
    if (which == nullptr) return zpoller_expired(self->poller) ? aErrNotReady : aErrUnknown;
    if (which == self->outRead) {
      zframe_t* out = zframe_recv(self->outRead);
      if (out && zframe_send(&out, self->server, ZFRAME_DONTWAIT) != 0) zframe_destroy(&out);
      continue;
    }
    self->frame = zframe_recv(self->server);
    if (self->frame == nullptr) return aErrIO;
    self->position = 0;
    if (zframe_size(self->frame) > 0) return aErrNone;
    zframe_destroy(&self->frame);  // an empty frame hands out nothing
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
  if (frame) sSendPatiently(&frame, self->outWrite);
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
  if (!sServerListens(address, port)) return aErrConnection;
  self->outWrite = zsock_new_dealer(nullptr);
  self->outRead = zsock_new_dealer(nullptr);
  self->server = zsock_new_dealer(nullptr);
  if (!self->outWrite || !self->outRead || !self->server) return aErrMemory;
  char endpoint[64];
  snprintf(endpoint, sizeof endpoint, "inproc://aClientStream-%p", static_cast<const void*>(self));
  if (zsock_bind(self->outWrite, "%s", endpoint) != 0 || zsock_connect(self->outRead, "%s", endpoint) != 0) {
    return aErrConnection;
  }
  if (zsock_connect(self->server, "tcp://%s:%u", host, static_cast<unsigned>(port)) != 0) return aErrConnection;
  self->poller = zpoller_new(self->server, self->outRead, nullptr);
  if (!self->poller) return aErrResource;
  zpoller_set_nonstop(self->poller, true);
  return aErrNone;
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
