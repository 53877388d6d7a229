#include "UpdateProtocolServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {
const char kPath[] = "/cgi/u";
}

UpdateProtocolServer::UpdateProtocolServer(Handler handler) : handler_(std::move(handler)) {
  server_.Get(kPath, [this](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> query(request.params.begin(), request.params.end());
    {
      std::lock_guard<std::mutex> guard(lock_);
      ops_.push_back(query["op"]);
    }
    Reply reply = handler_(query);
    response.status = reply.status;
    response.set_content(reply.body, "text/plain");
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ < 0) {
    ADD_FAILURE() << "update protocol server cannot bind to 127.0.0.1";
    return;
  }
  listener_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() only takes effect once the listener runs.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

UpdateProtocolServer::~UpdateProtocolServer() {
  server_.stop();
  if (listener_.joinable()) listener_.join();
}

std::string UpdateProtocolServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + kPath; }

std::vector<std::string> UpdateProtocolServer::Ops() const {
  std::lock_guard<std::mutex> guard(lock_);
  return ops_;
}
