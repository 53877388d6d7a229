#include "aClientStream.h"

#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <new>

#include "aNetworkInterfaces.h"
#include "aSocketStream.h"
#include "aTime.h"

namespace {

constexpr int kForwardWaitMs = 1000;
// Short, so that a stopping link's reader is not held up for long; the engine just asks again.
constexpr int kGetWaitMs = 100;
constexpr int kSendAttempts = 100;
constexpr uint32_t kSendRetryMs = 1;

struct ClientStream {
  zsock_t* server = nullptr;    // forwarder only
  zsock_t* outWrite = nullptr;  // write() only
  zsock_t* outRead = nullptr;   // forwarder only
  zsock_t* inRead = nullptr;    // get() only
  zsock_t* inWrite = nullptr;   // forwarder only
  zpoller_t* poller = nullptr;  // on inRead, get() only
  zactor_t* forwarder = nullptr;
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

void sForward(zsock_t* pipe, void* argument) {
  ClientStream& self = *static_cast<ClientStream*>(argument);
  zpoller_t* poller = zpoller_new(pipe, self.server, self.outRead, nullptr);
  zsock_signal(pipe, poller ? 0 : 1);
  if (!poller) return;
  zpoller_set_nonstop(poller, true);
  for (;;) {
    void* which = zpoller_wait(poller, kForwardWaitMs);
    sPassOnInterrupt();
    if (which == pipe) break;  // $TERM
    if (which == self.server) {
      zframe_t* frame = zframe_recv(self.server);
      if (frame) sSendPatiently(&frame, self.inWrite);
    } else if (which == self.outRead) {
      zframe_t* frame = zframe_recv(self.outRead);
      if (frame) zframe_send(&frame, self.server, ZFRAME_DONTWAIT);
      zframe_destroy(&frame);
    }
  }
  zpoller_destroy(&poller);
}

void sRelease(ClientStream* self) {
  zactor_destroy(&self->forwarder);
  zpoller_destroy(&self->poller);
  zsock_destroy(&self->server);
  zsock_destroy(&self->outWrite);
  zsock_destroy(&self->outRead);
  zsock_destroy(&self->inRead);
  zsock_destroy(&self->inWrite);
  zframe_destroy(&self->frame);
  delete self;
}

bool sValid(const ClientStream* self) { return self != nullptr && self->server != nullptr; }

aErr sGet(uint8_t* byte, void* reference) {
  auto* self = static_cast<ClientStream*>(reference);
  if (!sValid(self)) return aErrIO;
  if (self->frame == nullptr) {
    void* which = zpoller_wait(self->poller, kGetWaitMs);
    if (which == nullptr) return zpoller_expired(self->poller) ? aErrNotReady : aErrUnknown;
    if (which != self->inRead) return aErrUnknown;
    self->frame = zframe_recv(self->inRead);
    if (self->frame == nullptr) return aErrIO;
    self->position = 0;
  }
  if (self->position < zframe_size(self->frame)) *byte = zframe_data(self->frame)[self->position++];
  // An empty frame hands out nothing: ask again.
  const bool empty = zframe_size(self->frame) == 0;
  if (self->position >= zframe_size(self->frame)) zframe_destroy(&self->frame);
  return empty ? aErrNotReady : aErrNone;
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

// A bound and a connected DEALER on one in-process endpoint named after the record; false
// when either cannot be made.
bool sPair(const ClientStream* self, const char* role, zsock_t** bound, zsock_t** connected, aErr* err) {
  *bound = zsock_new_dealer(nullptr);
  *connected = zsock_new_dealer(nullptr);
  if (!*bound || !*connected) {
    *err = aErrMemory;
    return false;
  }
  char endpoint[64];
  snprintf(endpoint, sizeof endpoint, "inproc://aClientStream-%p-%s", static_cast<const void*>(self), role);
  if (zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0) {
    *err = aErrConnection;
    return false;
  }
  return true;
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
  if (!sServerListens(address, port)) return aErrConnection;
  aErr err = aErrNone;
  if (!sPair(self, "out", &self->outWrite, &self->outRead, &err)) return err;
  if (!sPair(self, "in", &self->inRead, &self->inWrite, &err)) return err;
  char host[aDISCOVERY_IPV4_TEXT_SIZE];
  if (aDiscovery_ConvertIPv4Interface(address, host, sizeof host) == 0) return aErrConnection;
  self->server = zsock_new_dealer(nullptr);
  if (!self->server) return aErrMemory;
  if (zsock_connect(self->server, "tcp://%s:%u", host, static_cast<unsigned>(port)) != 0) return aErrConnection;
  self->poller = zpoller_new(self->inRead, nullptr);
  if (!self->poller) return aErrMemory;
  self->forwarder = zactor_new(sForward, self);
  return self->forwarder ? aErrNone : aErrResource;
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
