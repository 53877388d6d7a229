#include "MockHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>

MockHttpServer::MockHttpServer() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ < 0) ADD_FAILURE() << "mock HTTP server cannot bind to 127.0.0.1";
}

MockHttpServer::~MockHttpServer() {
  server_.stop();
  if (listener_.joinable()) listener_.join();
}

void MockHttpServer::Reply(const std::string& path, int status, const std::string& body) {
  server_.Get(path, [this, status, body](const httplib::Request& request, httplib::Response& response) {
    Record(request);
    response.status = status;
    response.set_content(body, "text/plain");
  });
}

void MockHttpServer::ReplyInChunks(const std::string& path, const std::vector<std::string>& chunks) {
  server_.Get(path, [this, chunks](const httplib::Request& request, httplib::Response& response) {
    Record(request);
    response.set_chunked_content_provider("text/plain", [chunks](size_t offset, httplib::DataSink& sink) {
      // The provider is called again after each write; offset counts the bytes sent so far.
      size_t sent = 0;
      for (const std::string& chunk : chunks) {
        if (sent == offset) {
          // A pause between writes makes each chunk arrive on its own.
          if (offset > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          sink.write(chunk.data(), chunk.size());
          return true;
        }
        sent += chunk.size();
      }
      sink.done();
      return true;
    });
  });
}

void MockHttpServer::Start() {
  if (port_ < 0) return;
  listener_ = std::thread([this] { server_.listen_after_bind(); });
  // stop() only takes effect once the listener runs.
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string MockHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> MockHttpServer::Targets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return targets_;
}

void MockHttpServer::Record(const httplib::Request& request) {
  std::lock_guard<std::mutex> guard(lock_);
  targets_.push_back(request.target);
}
