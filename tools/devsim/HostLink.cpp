#include "HostLink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace devsim {

namespace {
// A host that stops reading must not make the simulator grow without bound.
constexpr size_t kMaxPending = 1u << 20;
}  // namespace

const char* LinkKindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::Tcp:
      return "tcp";
    case LinkKind::Serial:
      return "serial";
    case LinkKind::KernelNode:
      return "kdev";
    case LinkKind::Usb:
      return "usb";
  }
  return "?";
}

HostLink::HostLink(int linkId, int linkFd, bool ownsFd, LinkKind linkKind, size_t moduleIndex, int heartbeatValue,
                   WireAssembler::GarbageHandler onGarbage)
    : id(linkId),
      fd(linkFd),
      kind(linkKind),
      module(moduleIndex),
      heartbeat(heartbeatValue),
      ownsFd_(ownsFd),
      assembler_(std::move(onGarbage)) {}

HostLink::~HostLink() {
  if (ownsFd_) close(fd);
}

std::string HostLink::name() const { return std::string(LinkKindName(kind)) + "#" + std::to_string(id); }

HostLink::Io HostLink::read(std::vector<SimPacket>* packets) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      assembler_.feed(buffer, static_cast<size_t>(n), packets);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Io::Open;
    // A pseudo-terminal reports EIO while no one has its slave open; that is not an end.
    if (n < 0 && errno == EIO && kind != LinkKind::Tcp && kind != LinkKind::Usb) return Io::Open;
    return Io::Closed;
  }
}

HostLink::Io HostLink::send(const std::vector<uint8_t>& bytes) {
  if (pending_.size() + bytes.size() > kMaxPending) return Io::Open;  // the host is not reading: drop
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  return flush();
}

HostLink::Io HostLink::flush() {
  while (!pending_.empty()) {
    bool socket = kind == LinkKind::Tcp || kind == LinkKind::Usb;
    ssize_t n = socket ? ::send(fd, pending_.data(), pending_.size(), MSG_NOSIGNAL)
                       : ::write(fd, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Io::Open;
    if (kind == LinkKind::Serial || kind == LinkKind::KernelNode) {
      pending_.clear();  // nobody listens on the port: the bytes are lost, as on a real line
      return Io::Open;
    }
    return Io::Closed;
  }
  return Io::Open;
}

}  // namespace devsim
