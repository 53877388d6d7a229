#include "Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace devsim {

std::string ErrnoText(int error) { return std::strerror(error); }

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int ListenTcp(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    *error = "'" + address + "' is not an IPv4 address";
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = "cannot create a TCP socket: " + ErrnoText(errno);
    return -1;
  }
  // Lets a restarted module take its port back while old connections linger in TIME_WAIT;
  // a port another process listens on still fails to bind.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ErrnoText(errno);
    close(fd);
    return -1;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *boundPort = ntohs(sa.sin_port);
  return fd;
}

int ListenUnix(const std::string& path, std::string* error) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (probe >= 0) close(probe);
  if (live) {
    *error = "another process already serves " + path;
    return -1;
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
    *error = "cannot listen on " + path + ": " + ErrnoText(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

int AcceptConnection(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // fails harmlessly on Unix sockets
  return fd;
}

}  // namespace devsim
