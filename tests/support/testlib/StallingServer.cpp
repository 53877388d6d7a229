#include "StallingServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

StallingServer::StallingServer(std::string prefix) : prefix_(std::move(prefix)) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 8) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "stalling server cannot listen on 127.0.0.1";
    return;
  }
  port_ = ntohs(address.sin_port);
  worker_ = std::thread([this] { Run(); });
}

StallingServer::~StallingServer() {
  if (worker_.joinable()) {
    (void)!write(stopPipe_[1], "x", 1);
    worker_.join();
  }
  for (int fd : connections_) close(fd);
  for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) close(fd);
}

std::string StallingServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void StallingServer::Run() {
  for (;;) {
    std::vector<pollfd> fds = {{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (int fd : connections_) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) return;
    if (fds[0].revents) return;
    if (fds[1].revents & POLLIN) {
      const int connection = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        connections_.push_back(connection);
        if (!prefix_.empty()) (void)!send(connection, prefix_.data(), prefix_.size(), MSG_NOSIGNAL);
      }
    }
    // Swallow whatever the clients send; never answer more.
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char sink[1024];
      if (recv(fds[i].fd, sink, sizeof sink, 0) <= 0) {
        close(fds[i].fd);
        connections_.erase(std::find(connections_.begin(), connections_.end(), fds[i].fd));
      }
    }
  }
}
