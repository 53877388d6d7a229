#include "aUSBKernelStream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "aFile.h"

namespace {

constexpr int kMaxWriteCalls = 1000;
// How long a read waits for a byte before answering "not ready": a blocking read would hold
// the link's reader for ever, and an immediate "not ready" would make it spin.
constexpr int kReadWaitMs = 100;

struct KernelNode {
  int fd;
  int wake;  // eventfd: an interrupt ends the reader's wait
};

void sNodePath(uint32_t serialNumber, char* path, size_t size) {
  snprintf(path, size, aUSB_KERNEL_NODE_FORMAT, serialNumber);
}

aErr sGet(uint8_t* byte, void* reference) {
  const KernelNode* node = static_cast<KernelNode*>(reference);
  const int fd = node->fd;
  struct pollfd p[2] = {{fd, POLLIN, 0}, {node->wake, POLLIN, 0}};
  int ready = poll(p, 2, kReadWaitMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
  if (p[1].revents & POLLIN) {
    eventfd_t count;
    eventfd_read(node->wake, &count);
    return aErrNotReady;
  }
  ssize_t n = read(fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0) return aErrNotReady;
  return errno == EFAULT || errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
}

aErr sWrite(const uint8_t* bytes, size_t length, void* reference) {
  const int fd = static_cast<KernelNode*>(reference)->fd;
  size_t written = 0;
  for (int calls = 0; written < length && calls < kMaxWriteCalls; ++calls) {
    ssize_t n = write(fd, bytes + written, length - written);
    if (n < 0) return aErrIO;
    written += static_cast<size_t>(n);
  }
  return written < length ? aErrIO : aErrNone;
}

aErr sPut(uint8_t byte, void* reference) { return sWrite(&byte, 1, reference); }

aErr sInterrupt(void* reference) {
  return eventfd_write(static_cast<KernelNode*>(reference)->wake, 1) == 0 ? aErrNone : aErrIO;
}

aErr sDelete(void* reference) {
  KernelNode* node = static_cast<KernelNode*>(reference);
  const aErr err = close(node->fd) == 0 ? aErrNone : aErrCancel;
  close(node->wake);
  free(node);
  return err;
}

}  // namespace

bool aUSBKernelStream_NodeExists(uint32_t serialNumber) {
  char path[64];
  sNodePath(serialNumber, path, sizeof path);
  return aFile_Exists(path);
}

aErr aUSBKernelStream_Create(uint32_t serialNumber, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  char path[64];
  sNodePath(serialNumber, path, sizeof path);
  KernelNode* node = static_cast<KernelNode*>(calloc(1, sizeof(KernelNode)));
  if (!node) return aErrMemory;
  node->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (node->wake < 0) {
    free(node);
    return aErrResource;
  }
  node->fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (node->fd < 0) {
    const aErr err = errno == EBUSY ? aErrBusy : aErrIO;
    close(node->wake);
    free(node);
    return err;
  }
  *stream = aStream_Create(sGet, sPut, sWrite, sDelete, node);
  if (*stream) return aStream_SetInterrupt(*stream, sInterrupt);
  close(node->fd);
  close(node->wake);
  free(node);
  return aErrMemory;
}
