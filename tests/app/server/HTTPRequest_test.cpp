#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"
#include "LogCapture.h"
#include "MockHttpServer.h"
#include "StallingServer.h"
#include "TempDir.h"
#include "UpdateServerProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using Parameters = std::map<std::string, std::string>;

// Shortens the transfer limits for one test and restores the previous ones.
class ScopedLimits {
 public:
  ScopedLimits(long connectTimeoutMs, long lowSpeedSeconds, long lowSpeedBytesPerSecond = 1)
      : saved_(HTTPRequest::GetTransferLimits()) {
    HTTPTransferLimits limits;
    limits.connectTimeoutMs = connectTimeoutMs;
    limits.lowSpeedBytesPerSecond = lowSpeedBytesPerSecond;
    limits.lowSpeedSeconds = lowSpeedSeconds;
    HTTPRequest::SetTransferLimits(limits);
  }
  ~ScopedLimits() { HTTPRequest::SetTransferLimits(saved_); }

 private:
  HTTPTransferLimits saved_;
};

// The text GET throws, or "" when it returned.
std::string GetFailure(const std::string& url, Parameters parameters = {}) {
  try {
    HTTPRequest::GET(url.c_str(), parameters);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(HTTPRequestURL, QueryStringKeepsKeyOrderAndTrailingAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/p", {}), "http://h/p");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/p", {{"b", "2"}, {"a", "1"}}), "http://h/p?a=1&b=2&");
  // Values go in as given: callers pre-encode.
  EXPECT_EQ(HTTPRequest::BuildURL("u", {{"fp", "01%2002"}, {"x", "a b"}}), "u?fp=01%2002&x=a b&");
}

TEST(HTTPRequestGet, ReturnsStatusBodyAndTheExactRequest) {
  MockHttpServer server;
  server.Reply("/cgi/u", 200, std::string("line1\nline2\0tail", 16));
  server.Start();
  const std::string url = server.Url("/cgi/u");
  Parameters parameters = {{"op", "hi"}, {"rv", "2"}};

  HTTPResponse response = HTTPRequest::GET(url.c_str(), parameters);
  EXPECT_EQ(response.get_status(), 200);
  EXPECT_EQ(response.body(), std::string("line1\nline2\0tail", 16));
  EXPECT_STREQ(response.get_request(), (url + "?op=hi&rv=2&").c_str());
  ASSERT_EQ(server.Targets().size(), 1u);
  EXPECT_EQ(server.Targets()[0], "/cgi/u?op=hi&rv=2&");
}

TEST(HTTPRequestGet, EmptyParametersRequestTheUrlUnchanged) {
  MockHttpServer server;
  server.Reply("/plain", 200, "x");
  server.Start();
  Parameters none;
  EXPECT_EQ(HTTPRequest::GET(server.Url("/plain").c_str(), none).get_status(), 200);
  EXPECT_EQ(server.Targets(), std::vector<std::string>{"/plain"});
}

TEST(HTTPRequestGet, ErrorStatusesAreRepliesNotFailures) {
  MockHttpServer server;
  server.Reply("/gone", 404, "no such thing");
  server.Reply("/broken", 500, "");
  server.Start();
  Parameters none;
  HTTPResponse gone = HTTPRequest::GET(server.Url("/gone").c_str(), none);
  EXPECT_EQ(gone.get_status(), 404);
  EXPECT_STREQ(gone.get_response(), "no such thing");
  EXPECT_EQ(HTTPRequest::GET(server.Url("/broken").c_str(), none).get_status(), 500);
}

TEST(HTTPRequestGet, ChunkedBodyIsJoinedInOrderAndLogged) {
  std::vector<std::string> chunks;
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    chunks.push_back("chunk" + std::to_string(i) + ":" + std::string(static_cast<size_t>(i * 13), 'a' + i % 26) + ";");
    expected += chunks.back();
  }
  MockHttpServer server;
  server.ReplyInChunks("/c", chunks);
  server.Start();
  LogCapture log(DEBUG_ServerComm);
  Parameters parameters = {{"k", "v"}};
  HTTPResponse response = HTTPRequest::GET(server.Url("/c").c_str(), parameters);
  EXPECT_EQ(response.body(), expected);

  const std::string text = log.Text();
  EXPECT_EQ(text.rfind("GET(" + server.Url("/c") + "?k=v&)\n", 0), 0u) << text;
  // Every callback logs a call line and a return line; the first chunk shows its own bytes.
  size_t calls = 0;
  for (size_t at = text.find("rcv_data called (..., 1, "); at != std::string::npos;
       at = text.find("rcv_data called (..., 1, ", at + 1))
    ++calls;
  EXPECT_GE(calls, 2u);
  EXPECT_NE(text.find("rcv_data returns "), std::string::npos);
  EXPECT_NE(text.find("chunk0:;"), std::string::npos);
}

TEST(HTTPRequestGet, ReceiveLogShowsAtMost100BytesOfEachChunk) {
  const std::string body = std::string(100, 'A') + std::string(50, 'B');
  MockHttpServer server;
  server.Reply("/big", 200, body);
  server.Start();
  LogCapture log(DEBUG_ServerComm);
  Parameters none;
  HTTPRequest::GET(server.Url("/big").c_str(), none);

  // However the body was cut into chunks, each call line shows its own chunk's first 100
  // bytes, right-aligned in a 100-character field, and the chunks add up to the body.
  const std::string text = log.Text();
  const std::string callPrefix = "rcv_data called (..., 1, ";
  size_t offset = 0;
  for (size_t at = text.find(callPrefix); at != std::string::npos; at = text.find(callPrefix, at + 1)) {
    const size_t length = std::stoul(text.substr(at + callPrefix.size()));
    const size_t previewAt = text.find(") [", at) + 3;
    const std::string shown = body.substr(offset, std::min<size_t>(length, 100));
    EXPECT_EQ(text.substr(previewAt, 102), std::string(100 - shown.size(), ' ') + shown + "]\n");
    EXPECT_NE(text.find("rcv_data returns " + std::to_string(length) + "\n", previewAt), std::string::npos);
    offset += length;
  }
  EXPECT_EQ(offset, body.size()) << text;
}

TEST(HTTPRequestGet, NothingIsLoggedWithoutThePackage) {
  MockHttpServer server;
  server.Reply("/q", 200, "quiet");
  server.Start();
  LogCapture log(0);
  Log::DeactivatePackage(DEBUG_ServerComm);
  Parameters none;
  HTTPRequest::GET(server.Url("/q").c_str(), none);
  EXPECT_EQ(log.Text(), "");
}

TEST(HTTPRequestGet, RefusedConnectionThrowsCurlsText) {
  // Take a free port and close it again: nothing listens there.
  std::string url;
  {
    StallingServer probe;
    url = probe.Url("/cgi/u");
  }
  EXPECT_EQ(GetFailure(url), curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST(HTTPRequestGet, MalformedUrlThrowsWithoutContactingAnything) {
  EXPECT_EQ(GetFailure("nosuchscheme://127.0.0.1/"), curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
}

TEST(HTTPRequestGet, SilentServerIsAbandonedByTheLowSpeedLimit) {
  ScopedLimits limits(5000, 1);
  StallingServer silent;
  const auto start = Clock::now();
  EXPECT_EQ(GetFailure(silent.Url("/cgi/u"), {{"op", "hi"}}), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
  EXPECT_LT(SecondsSince(start), 10.0);
}

TEST(HTTPRequestGet, ServerStallingMidBodyIsAbandoned) {
  // The rate is averaged over a few seconds: a high floor keeps the bytes already received
  // from carrying the transfer past the limit.
  ScopedLimits limits(5000, 1, 1000);
  StallingServer stalling("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nok\npartial");
  const auto start = Clock::now();
  EXPECT_EQ(GetFailure(stalling.Url("/cgi/u")), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
  EXPECT_LT(SecondsSince(start), 10.0);
}

// A listener whose accept queue is full: the kernel drops further connection attempts, so a
// client never gets connected.
class FullBacklogListener {
 public:
  FullBacklogListener() {
    listener_ = Socket();
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 3; ++i) {
      fillers_.push_back(Socket());
      sockaddr_in target = Loopback(port_);
      connect(fillers_.back(), reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
  }
  ~FullBacklogListener() {
    for (int fd : fillers_) close(fd);
    close(listener_);
  }
  // True when a new connection attempt is left hanging.
  bool DropsConnections() {
    const int probe = Socket();
    sockaddr_in target = Loopback(port_);
    connect(probe, reinterpret_cast<sockaddr*>(&target), sizeof target);
    usleep(200 * 1000);
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length);
    sockaddr_in peer;
    socklen_t peerLength = sizeof peer;
    const bool connected = error == 0 && getpeername(probe, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
    close(probe);
    return !connected;
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  static int Socket() { return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
  }
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST(HTTPRequestGet, UnansweredConnectGivesUpAfterTheConnectTimeout) {
  FullBacklogListener listener;
  if (!listener.DropsConnections()) GTEST_SKIP() << "this kernel completes connections to a full backlog";
  ScopedLimits limits(300, 60);  // only the connect time-out can end this quickly
  const auto start = Clock::now();
  EXPECT_EQ(GetFailure(listener.Url()), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(HTTPRequestGet, UntrustedCertificateIsRejected) {
  TempDir dir;
  const std::string key = dir / "key.pem", cert = dir / "cert.pem";
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                              "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert +
                              " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a test certificate";
  const std::string root = dir / "firmware";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  WriteTextFile(root + "/index.txt", "");
  UpdateServerProcess server(root, {"--tls-cert", cert, "--tls-key", key});
  ASSERT_TRUE(server.ready()) << server.Log();

  // The server speaks TLS (a client that skips verification gets through)...
  httplib::SSLClient insecure("127.0.0.1", server.port());
  insecure.enable_server_certificate_verification(false);
  auto reply = insecure.Get("/cgi/u?op=hi&rv=2&");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "ok\n");
  // ...but the updater does not accept a certificate nobody vouches for.
  EXPECT_EQ(GetFailure(server.Url("https"), {{"op", "hi"}}), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}

}  // namespace
