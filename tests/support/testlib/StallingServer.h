#ifndef TESTLIB_STALLINGSERVER_H
#define TESTLIB_STALLINGSERVER_H

#include <string>
#include <thread>
#include <vector>

// A TCP listener on 127.0.0.1 that accepts connections, reads what the client sends, writes
// an optional fixed prefix and then goes silent, holding the connection open until the
// object is destroyed: a server that hangs mid-answer.
class StallingServer {
 public:
  explicit StallingServer(std::string prefix = "");
  ~StallingServer();
  StallingServer(const StallingServer&) = delete;
  StallingServer& operator=(const StallingServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const;

 private:
  void Run();

  std::string prefix_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = -1;
  std::vector<int> connections_;
  std::thread worker_;
};

#endif
