#ifndef TESTLIB_UPDATEPROTOCOLSERVER_H
#define TESTLIB_UPDATEPROTOCOLSERVER_H

#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An in-process update server on 127.0.0.1 (any free port) whose answer to each request a test
// computes from the decoded query parameters: for protocol answers the real server never gives,
// and for answers that take their time. Serves the path "/cgi/u".
class UpdateProtocolServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
  };
  using Handler = std::function<Reply(const std::map<std::string, std::string>& query)>;

  // Starts serving at once; the handler may run on several server threads.
  explicit UpdateProtocolServer(Handler handler);
  ~UpdateProtocolServer();
  UpdateProtocolServer(const UpdateProtocolServer&) = delete;
  UpdateProtocolServer& operator=(const UpdateProtocolServer&) = delete;

  // "http://127.0.0.1:<port>/cgi/u"
  std::string Url() const;
  // The "op" parameter of every request, in arrival order.
  std::vector<std::string> Ops() const;

 private:
  httplib::Server server_;
  Handler handler_;
  int port_ = -1;
  std::thread listener_;
  mutable std::mutex lock_;
  std::vector<std::string> ops_;
};

#endif
