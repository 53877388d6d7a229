#ifndef TESTS_DEVSIM_WIRECLIENT_H
#define TESTS_DEVSIM_WIRECLIENT_H

// A minimal host end of the link wire for the simulator's tests: it connects to one of the
// simulator's endpoints and exchanges raw bytes and packets (address, length, payload).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "SimPacket.h"

namespace devsimtest {

using devsim::SimPacket;
using Bytes = std::vector<uint8_t>;

class WireClient {
 public:
  static WireClient Tcp(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return Connect(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }

  static WireClient Unix(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    return Connect(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }

  // A pseudo-terminal slave (serial port or kernel node), in raw mode.
  static WireClient Terminal(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      termios tio;
      tcgetattr(fd, &tio);
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
      tcflush(fd, TCIOFLUSH);
    }
    return WireClient(fd);
  }

  // Keeps trying while the module is away (restarting) and its port refuses connections.
  static WireClient TcpWhenBack(uint16_t port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    WireClient client = Tcp(port);
    while (!client.connected() && std::chrono::steady_clock::now() < deadline) {
      usleep(10000);
      client = Tcp(port);
    }
    return client;
  }

  WireClient(WireClient&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)), eof_(other.eof_) {
    other.fd_ = -1;
  }
  WireClient& operator=(WireClient&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(buffer_, other.buffer_);
    std::swap(eof_, other.eof_);
    return *this;
  }
  ~WireClient() {
    if (fd_ >= 0) close(fd_);
  }

  bool connected() const { return fd_ >= 0; }

  void send(const Bytes& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  void sendPacket(uint8_t address, const Bytes& data) const { send(SimPacket(address, data).wire()); }

  // Exactly n bytes, or fewer when the time runs out or the peer closes.
  Bytes readBytes(size_t n, int timeoutMs = 1000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffer_.size() < n && fill(deadline)) {
    }
    size_t take = std::min(n, buffer_.size());
    Bytes out(buffer_.begin(), buffer_.begin() + static_cast<long>(take));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(take));
    return out;
  }

  // The next packet from the device; heartbeats are answered and skipped unless asked for.
  std::optional<SimPacket> next(int timeoutMs = 1000, bool keepHeartbeats = false) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (buffer_.size() < 2 || buffer_.size() < 2u + buffer_[1]) {
        if (!fill(deadline)) return std::nullopt;
      }
      SimPacket p(buffer_[0], Bytes(buffer_.begin() + 2, buffer_.begin() + 2 + buffer_[1]));
      buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + buffer_[1]);
      bool heartbeat = p.data.size() == 2 && p.data[0] == 0;
      if (!heartbeat || keepHeartbeats) return p;
      sendPacket(p.address, {0, static_cast<uint8_t>(p.data[1] + 2)});
    }
  }

  std::optional<SimPacket> request(uint8_t address, const Bytes& data, int timeoutMs = 1000) {
    sendPacket(address, data);
    return next(timeoutMs);
  }

  // True when nothing but heartbeats arrives within the time.
  bool silent(int timeoutMs) { return !next(timeoutMs).has_value(); }

  // True when the device closes the connection within the time.
  bool closedByPeer(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fill(deadline)) buffer_.clear();
    return eof_;
  }

 private:
  explicit WireClient(int fd) : fd_(fd) {}

  static WireClient Connect(const sockaddr* address, socklen_t length) {
    int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, address, length) != 0) {
      close(fd);
      fd = -1;
    }
    return WireClient(fd);
  }

  bool fill(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0 || eof_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    uint8_t chunk[512];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    return true;
  }

  int fd_;
  Bytes buffer_;
  bool eof_ = false;
};

}  // namespace devsimtest

#endif
