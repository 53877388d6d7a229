#include "aSocketStream.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "aDebug.h"
#include "aTime.h"

#define aSOCKET_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1u

namespace {

// How long a get waits for a byte before answering aErrNotReady: long enough that an idle
// link does not spin a core, short enough that a link can stop promptly.
const int kReadWaitMs = 10;
// A connect that gets no answer gives up after this long.
const int kConnectTimeoutMs = 2000;
// Pause after closing before connecting again, so the module sees the old connection go.
const uint32_t kCloseWaitMs = 10;
// Write retries: wait between attempts, count of fruitless attempts, and an overall budget
// for attempts that fail for other reasons (errors, failed reconnections).
const int kWriteRetryWaitMs = 60;
const uint32_t kWriteRetryLimit = 10;
const uint32_t kWriteBudgetMs = 2000;
// A server that accepts and closes again at once is given up after this many reconnections
// without a byte received.
const uint32_t kReconnectsWithoutData = 3;

// The socket descriptor never changes while the stream lives: a reconnection puts the new
// connection in its place (dup2), so the reading and the writing thread may both use it and
// may both reconnect.
struct SocketStream {
  uint16_t port;
  sockaddr_in address;
  std::atomic<uint32_t> flags{0};
  int socket = -1;
  uint16_t check = aSOCKET_CHECK;
  std::mutex reconnectLock;
  std::atomic<uint32_t> generation{0};  // counts successful reconnections
  std::atomic<uint32_t> reconnectsWithoutData{0};
};

bool sIsValid(const SocketStream* ss) { return ss != nullptr && ss->check == aSOCKET_CHECK; }
bool sIsConnected(const SocketStream* ss) { return (ss->flags.load() & aSOCKET_CONNECTED) != 0; }

aErr sConnectError(int error) {
  switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Waits up to timeoutMs for events on fd; true when one came.
bool sWaitFor(int fd, short events, int timeoutMs) {
  pollfd entry{fd, events, 0};
  return poll(&entry, 1, timeoutMs) > 0;
}

aErr sConnectBounded(int fd, const sockaddr_in& address) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return aErrIO;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return aErrNone;
  if (errno != EINPROGRESS) return sConnectError(errno);
  if (!sWaitFor(fd, POLLOUT, kConnectTimeoutMs)) return aErrConnection;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return aErrIO;
  return error == 0 ? aErrNone : sConnectError(error);
}

aErr sApplyOptions(int fd) {
  const int on = 1;
  const timeval noTimeout{0, 0};
  const linger resetOnClose{1, 0};
  int nonBlocking = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0 ||
      ioctl(fd, FIONBIO, &nonBlocking) != 0) {
    return aErrIO;
  }
  return aErrNone;
}

// A new connected socket with the stream's options, in *fd.
aErr sOpenConnection(const sockaddr_in& address, int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) return aErrIO;
  aErr err = sConnectBounded(*fd, address);
  if (err == aErrNone) err = sApplyOptions(*fd);
  if (err != aErrNone) {
    close(*fd);
    *fd = -1;
  }
  return err;
}

// Replaces the connection seen broken at generation `seen`, unless the other thread already has.
aErr sReconnect(SocketStream* ss, uint32_t seen) {
  std::lock_guard<std::mutex> lock(ss->reconnectLock);
  if (ss->generation.load() != seen) return sIsConnected(ss) ? aErrNone : aErrConnection;
  ss->flags.fetch_and(~aSOCKET_CONNECTED);
  if (ss->reconnectsWithoutData.load() >= kReconnectsWithoutData) return aErrConnection;
  aTime_MSSleep(kCloseWaitMs);
  int fresh = -1;
  const aErr err = sOpenConnection(ss->address, &fresh);
  if (err != aErrNone) {
    aDebug_Printf(0x1, "socket stream: reconnect to port %u failed (%d)\n", ss->port, err);
    return err;
  }
  const bool replaced = dup2(fresh, ss->socket) >= 0;
  close(fresh);
  if (!replaced) return aErrIO;
  ss->reconnectsWithoutData.fetch_add(1);
  ss->generation.fetch_add(1);
  ss->flags.fetch_or(aSOCKET_CONNECTED);
  return aErrNone;
}

bool sIsLostConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

// Looks at the next byte without taking it: aErrNone when one is there.
aErr sPeek(SocketStream* ss) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const uint32_t seen = ss->generation.load();
    uint8_t byte = 0;
    const ssize_t n = recv(ss->socket, &byte, 1, MSG_PEEK);
    if (n > 0) return aErrNone;
    if (n == 0) {
      // The peer closed the connection; a module that reboots does this.
      const aErr err = sReconnect(ss, seen);
      return err != aErrNone ? err : aErrNotReady;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return aErrNotReady;
    if (!sIsLostConnection(errno)) return aErrConnection;
    const aErr err = sReconnect(ss, seen);
    if (err != aErrNone) return err;
  }
  return aErrNotReady;
}

aErr sSocketGet(uint8_t* byte, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!sIsValid(ss) || byte == nullptr) return aErrParam;
  if (!sIsConnected(ss)) return aErrConnection;
  if (!sWaitFor(ss->socket, POLLIN, kReadWaitMs)) return aErrNotReady;
  const aErr err = sPeek(ss);
  if (err != aErrNone) return err;
  if (recv(ss->socket, byte, 1, 0) == 1) {
    ss->reconnectsWithoutData.store(0);
    return aErrNone;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return aErrEOF;
  return sIsLostConnection(errno) ? aErrNotReady : aErrIO;
}

// What one failed send attempt means for the retry loop.
enum class SendFailure { Fruitless, Reconnected, Failed };

SendFailure sHandleSendError(SocketStream* ss, int error, uint32_t seen) {
  if (error == EAGAIN || error == EWOULDBLOCK) return SendFailure::Fruitless;
  if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
    return sReconnect(ss, seen) == aErrNone ? SendFailure::Reconnected : SendFailure::Failed;
  }
  return SendFailure::Failed;
}

aErr sSocketWrite(const uint8_t* bytes, size_t length, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!sIsValid(ss) || bytes == nullptr) return aErrParam;
  if (!sIsConnected(ss)) return aErrConnection;
  const uint32_t start = aTime_GetMSTicks();
  size_t sent = 0;
  uint32_t retries = 0;
  for (;;) {
    const uint32_t seen = ss->generation.load();
    const ssize_t n = send(ss->socket, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      if (sent == length) return aErrNone;
      retries = 1;  // progress: start counting again
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (sHandleSendError(ss, errno, seen) != SendFailure::Failed) {
      retries++;
    }
    if (retries >= kWriteRetryLimit) return aErrWrite;
    if (aTime_GetMSTicks() - start >= kWriteBudgetMs) return aErrIO;
    if (sIsConnected(ss)) {
      sWaitFor(ss->socket, POLLOUT, kWriteRetryWaitMs);
    } else {
      aTime_MSSleep(kWriteRetryWaitMs);
    }
  }
}

aErr sSocketPut(uint8_t byte, void* reference) { return sSocketWrite(&byte, 1, reference); }

aErr sSocketDelete(void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!sIsValid(ss)) return aErrParam;
  ss->flags.store(0);
  close(ss->socket);
  aTime_MSSleep(kCloseWaitMs);
  ss->check = 0;
  delete ss;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  *stream = nullptr;
  SocketStream* ss = new (std::nothrow) SocketStream;
  if (ss == nullptr) return aErrMemory;
  ss->port = port;
  memset(&ss->address, 0, sizeof ss->address);
  ss->address.sin_family = AF_INET;
  ss->address.sin_port = htons(port);
  ss->address.sin_addr.s_addr = address;
  const aErr err = sOpenConnection(ss->address, &ss->socket);
  if (err != aErrNone) {
    delete ss;
    return err;
  }
  ss->flags.store(aSOCKET_CONNECTED);
  *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, ss);
  if (*stream == nullptr) {
    sSocketDelete(ss);
    return aErrMemory;
  }
  return aErrNone;
}
