#include "aSerialStream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "aFile.h"

#define aSERIAL_CHECK 0xBEEF

namespace {

// How long a get waits for a byte before answering aErrNotReady (see the socket stream).
const int kReadWaitMs = 10;

const speed_t kSpeeds[aSERIAL_RATE_CODES] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

struct SerialStream {
  uint32_t rateCode;
  char path[aFILE_MAX_PATH + 1];
  int fd;
  termios saved;     // restored on delete
  termios settings;  // in use
  bool hasSaved;     // saved holds the port's attributes
  uint16_t check;
};

bool sIsValid(const SerialStream* ss) { return ss != nullptr && ss->check == aSERIAL_CHECK; }

speed_t sSpeed(uint32_t rateCode) { return rateCode < aSERIAL_RATE_CODES ? kSpeeds[rateCode] : B0; }

aErr sOpenError(int error) {
  switch (error) {
    case ENOENT: return aErrNotFound;
    case EACCES: return aErrPermission;
    default: return aErrIO;
  }
}

aErr sOpenPort(SerialStream* ss) {
  ss->fd = open(ss->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (ss->fd < 0) return sOpenError(errno);
  const int flags = fcntl(ss->fd, F_GETFL);
  if (flags < 0 || fcntl(ss->fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return aErrIO;
  return aErrNone;
}

aErr sConfigure(SerialStream* ss, bool parity, uint32_t dataBitsMode, uint32_t stopBitsMode) {
  if (tcgetattr(ss->fd, &ss->saved) != 0) return aErrIO;
  ss->hasSaved = true;
  termios& t = ss->settings;
  memset(&t, 0, sizeof t);
  t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBitsMode == 0 ? CS8 : CS7) |
              (stopBitsMode == 1 ? CSTOPB : 0);
  t.c_iflag = IGNBRK | (parity ? INPCK : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  cfsetispeed(&t, sSpeed(ss->rateCode));
  cfsetospeed(&t, sSpeed(ss->rateCode));
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(ss->fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(ss->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  SerialStream* ss = static_cast<SerialStream*>(reference);
  if (!sIsValid(ss) || byte == nullptr) return aErrParam;
  pollfd entry{ss->fd, POLLIN, 0};
  if (poll(&entry, 1, kReadWaitMs) <= 0) return aErrNotReady;
  const ssize_t n = read(ss->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, size_t length, void* reference) {
  SerialStream* ss = static_cast<SerialStream*>(reference);
  if (!sIsValid(ss) || bytes == nullptr) return aErrParam;
  const ssize_t n = write(ss->fd, bytes, length);
  if (n < 0 || static_cast<size_t>(n) != length) return aErrIO;
  return tcdrain(ss->fd) == 0 ? aErrNone : aErrIO;
}

aErr sSerialPut(uint8_t byte, void* reference) { return sSerialWrite(&byte, 1, reference); }

aErr sSerialDelete(void* reference) {
  SerialStream* ss = static_cast<SerialStream*>(reference);
  if (!sIsValid(ss)) return aErrParam;
  if (ss->fd >= 0) {
    if (ss->hasSaved) tcsetattr(ss->fd, TCSANOW, &ss->saved);
    close(ss->fd);
  }
  ss->check = 0;
  free(ss);
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, uint32_t rateCode, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream) {
  if (path == nullptr || stream == nullptr || dataBitsMode > 1 || stopBitsMode > 1) return aErrParam;
  *stream = nullptr;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  SerialStream* ss = static_cast<SerialStream*>(calloc(1, sizeof(SerialStream)));
  if (ss == nullptr) return aErrMemory;
  ss->check = aSERIAL_CHECK;
  ss->rateCode = rateCode;
  ss->fd = -1;
  strcpy(ss->path, path);
  aStream* created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, ss);
  if (created == nullptr) {
    free(ss);
    return aErrResource;
  }
  aErr err = sOpenPort(ss);
  if (err == aErrNone) err = sConfigure(ss, parity, dataBitsMode, stopBitsMode);
  if (err != aErrNone) {
    aStream_Destroy(&created);
    return err;
  }
  *stream = created;
  return aErrNone;
}
