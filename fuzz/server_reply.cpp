// Arbitrary update server answers to every request the updater makes, over a real HTTP
// exchange on the loopback address, and base64 both ways. The first input byte picks the
// request (low 3 bits) and the HTTP status (bit 3: 500 instead of 200); the rest is the body.
// Whatever comes back, a request either succeeds with what the body says or fails with a
// reason, and base64 text decodes to what was encoded.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Base64.h"

namespace {

// Serves one scripted answer per connection.
class ScriptedServer {
 public:
  ScriptedServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      std::abort();
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
    std::thread([this] { serve(); }).detach();
  }
  const std::string& url() const { return url_; }
  void setAnswer(std::string answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }

 private:
  void serve() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string request;
      char buffer[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = answer_;
      }
      for (size_t sent = 0; sent < answer.size();) {
        const ssize_t n = send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      close(fd);
    }
  }

  int listener_ = -1;
  std::string url_;
  std::mutex mutex_;
  std::string answer_;
};

ScriptedServer* gServer = nullptr;

void CheckBase64(const std::string& bytes) {
  unsigned int decodedLength = 0;
  if (char* decoded = base64_decode(bytes.data(), static_cast<unsigned int>(bytes.size()), &decodedLength)) {
    if (decodedLength > bytes.size()) __builtin_trap();
    std::free(decoded);
  }
  int encodedLength = 0;
  char* encoded = base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()), &encodedLength);
  if (encoded == nullptr) return;
  char* back = base64_decode(encoded, static_cast<unsigned int>(encodedLength), &decodedLength);
  if (back == nullptr || decodedLength != bytes.size() || std::memcmp(back, bytes.data(), bytes.size()) != 0)
    __builtin_trap();
  std::free(back);
  std::free(encoded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Log::ActivatePackage(DEBUG_ServerComm);
  Log::SetOutput(nullptr);
  gServer = new ScriptedServer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  CheckBase64(body);
  const int status = (data[0] & 8) ? 500 : 200;
  gServer->setAnswer("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
  const char* url = gServer->url().c_str();
  std::string failure;
  bool answered = false;
  switch (data[0] & 7) {
    case 0:
      answered = UpdateServerRequest::ping(url, &failure);
      break;
    case 1: {
      std::string build = "-", firmware = "-";
      answered = UpdateServerRequest::QueryBuild(0x1234ABCD, build, firmware, url, &failure);
      if (firmware.find_first_of("\r\n") != std::string::npos) __builtin_trap();
      break;
    }
    case 2: {
      std::string text;
      answered = UpdateServerRequest::GetBuild(0x1234ABCD, "fw", "1300", text, url, false, &failure);
      CheckBase64(text);
      break;
    }
    case 3: {
      std::map<std::string, std::string> builds;
      answered = UpdateServerRequest::GetBuildList(0x1234ABCD, builds, url, &failure);
      if (UpdateServerRequest::SortBuildsByVersion(builds).size() != builds.size()) __builtin_trap();
      break;
    }
    default: {
      const unsigned int fingerprint[4] = {1, 2, 3, 4};
      unsigned int serial = 7, build = 7;
      answered = UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &build, url);
      if (!answered && (serial != 7 || build != 7)) __builtin_trap();
      failure = answered ? "" : "-";
      break;
    }
  }
  // A failed request says why; a 500 never passes for an answer.
  if (!answered && failure.empty()) __builtin_trap();
  if (answered && status != 200) __builtin_trap();
  return 0;
}
