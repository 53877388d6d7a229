#ifndef TESTLIB_MOCKHTTPSERVER_H
#define TESTLIB_MOCKHTTPSERVER_H

#include <httplib.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An in-process HTTP server on 127.0.0.1 (any free port) whose answers a test scripts with
// handlers; it records the raw target (path and query string) of every request.
class MockHttpServer {
 public:
  MockHttpServer();
  ~MockHttpServer();
  MockHttpServer(const MockHttpServer&) = delete;
  MockHttpServer& operator=(const MockHttpServer&) = delete;

  // Answers GET <path> with the given status and body.
  void Reply(const std::string& path, int status, const std::string& body);
  // Answers GET <path> with the body sent as chunks, one write each.
  void ReplyInChunks(const std::string& path, const std::vector<std::string>& chunks);
  // Starts serving; call after the handlers are set.
  void Start();

  int port() const { return port_; }
  // "http://127.0.0.1:<port><path>"
  std::string Url(const std::string& path) const;
  // Raw request targets in arrival order.
  std::vector<std::string> Targets() const;

 private:
  void Record(const httplib::Request& request);

  httplib::Server server_;
  int port_ = -1;
  std::thread listener_;
  mutable std::mutex lock_;
  std::vector<std::string> targets_;
};

#endif
