#ifndef TESTLIB_LOOPBACKSERVER_H
#define TESTLIB_LOOPBACKSERVER_H

// A TCP listener on 127.0.0.1 (an ephemeral port) for tests and benchmarks of socket clients.
// Header-only so that benchmark programs can use it too.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdint.h>

#include <string>
#include <vector>

class LoopbackServer {
 public:
  // receiveBuffer > 0 shrinks the receive buffer of accepted connections.
  explicit LoopbackServer(int receiveBuffer = 0) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      close(listener_);
      listener_ = -1;
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackServer() {
    StopListening();
    for (int fd : accepted_) close(fd);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  static uint32_t Address() { return htonl(INADDR_LOOPBACK); }

  // The next incoming connection, or -1 when none comes in time. Closed with the server.
  int Accept(int timeoutMs = 2000) {
    if (listener_ < 0 || !WaitFor(listener_, POLLIN, timeoutMs)) return -1;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      accepted_.push_back(fd);
      totalAccepted_++;
    }
    return fd;
  }
  // Connections accepted so far, closed ones included.
  size_t AcceptedCount() const { return totalAccepted_; }

  void StopListening() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
  }

  // Closes an accepted connection normally (the peer reads end of stream).
  void Close(int fd) { Forget(fd); }
  // Closes an accepted connection with a reset.
  void Reset(int fd) {
    const linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Forget(fd);
  }

  static bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Up to n bytes, waiting at most timeoutMs for each; fewer when the peer stops or fails.
  static std::string Receive(int fd, size_t n, int timeoutMs = 2000) {
    std::string out;
    char buffer[4096];
    while (out.size() < n && WaitFor(fd, POLLIN, timeoutMs)) {
      const size_t want = n - out.size() < sizeof buffer ? n - out.size() : sizeof buffer;
      const ssize_t got = recv(fd, buffer, want, 0);
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }

  // A loopback port on which nothing listens.
  static uint16_t UnusedPort() {
    LoopbackServer probe;
    return probe.port();
  }

  static bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, timeoutMs) > 0;
  }

 private:
  void Forget(int fd) {
    for (auto it = accepted_.begin(); it != accepted_.end(); ++it) {
      if (*it == fd) {
        accepted_.erase(it);
        break;
      }
    }
    close(fd);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<int> accepted_;
  size_t totalAccepted_ = 0;
};

#endif
