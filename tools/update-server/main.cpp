// update-server: a local firmware server speaking the updater's update-server protocol.

#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "FirmwareIndex.h"
#include "ServerOptions.h"
#include "UpdateService.h"

namespace {

std::unique_ptr<httplib::Server> sCreateServer(const ServerOptions& options) {
  if (options.tlsCert.empty()) return std::make_unique<httplib::Server>();
  return std::make_unique<httplib::SSLServer>(options.tlsCert.c_str(), options.tlsKey.c_str());
}

// The first value of each query parameter.
std::map<std::string, std::string> sQuery(const httplib::Request& request) {
  std::map<std::string, std::string> query;
  for (const auto& parameter : request.params) query.emplace(parameter.first, parameter.second);
  return query;
}

std::string sFirstLine(const std::string& body) { return body.substr(0, body.find('\n')); }

// Set when the server is told to stop, so that stalled requests let it.
std::atomic<bool> sStopping{false};

// Answers a request the way a fault has it (see ServerFault.h); false when there is none.
bool sAnswerFaulty(const std::vector<ServerFault>& faults, const std::string& op, ServiceReply reply,
                   httplib::Response& response) {
  const ServerFault* fault = FindServerFault(faults, op);
  if (fault == nullptr) return false;
  if (fault->kind == ServerFault::Kind::Stall) {
    while (!sStopping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    response.status = 503;
    return true;
  }
  ApplyServerFault(*fault, reply);
  response.status = reply.status;
  if (fault->kind != ServerFault::Kind::Cut) {
    response.set_content(reply.body, "text/plain");
    return true;
  }
  // The whole length is announced; the provider's refusal after half of it closes the connection.
  const std::string half = reply.body.substr(0, reply.body.size() / 2);
  response.set_content_provider(reply.body.size(), "text/plain",
                                [half](size_t offset, size_t, httplib::DataSink& sink) {
                                  if (offset >= half.size()) return false;
                                  sink.write(half.data() + offset, half.size() - offset);
                                  return true;
                                });
  return true;
}

void sLogRequest(const httplib::Request& request, const httplib::Response& response) {
  std::fprintf(stderr, "update-server: %s %s %s -> %d %s (%zu bytes)\n", request.remote_addr.c_str(),
               request.method.c_str(), request.target.c_str(), response.status,
               sFirstLine(response.body).substr(0, 80).c_str(), response.body.size());
}

// Written under a temporary name and renamed, so a reader never sees a partial port.
bool sWriteReadyFile(const std::string& path, int port) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary);
    file << port << "\n";
    if (!file.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

sigset_t sStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, signal);
  return set;
}

int sServe(const ServerOptions& options, const UpdateService& service) {
  std::unique_ptr<httplib::Server> server = sCreateServer(options);
  if (!server->is_valid()) {
    std::fprintf(stderr, "update-server: cannot load the TLS certificate or key\n");
    return 1;
  }
  server->Get(options.path, [&service, &options](const httplib::Request& request, httplib::Response& response) {
    const std::map<std::string, std::string> query = sQuery(request);
    const ServiceReply reply = service.Handle(query);
    const auto op = query.find("op");
    if (sAnswerFaulty(options.faults, op == query.end() ? "" : op->second, reply, response)) return;
    response.status = reply.status;
    response.set_content(reply.body, "text/plain");
  });
  if (!options.quiet) server->set_logger(sLogRequest);
  // Address reuse for quick restarts, but no port sharing: a second server on the same port
  // must fail rather than silently take half of the requests.
  server->set_socket_options([](int socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  const int port = options.port == 0 ? server->bind_to_any_port(options.bindAddress)
                                     : (server->bind_to_port(options.bindAddress, options.port) ? options.port : -1);
  if (port < 0) {
    std::fprintf(stderr, "update-server: cannot listen on %s:%d\n", options.bindAddress.c_str(), options.port);
    return 1;
  }
  std::printf("update-server: listening on %s://%s:%d%s\n", options.tlsCert.empty() ? "http" : "https",
              options.bindAddress.c_str(), port, options.path.c_str());
  std::fflush(stdout);
  if (!options.readyFile.empty() && !sWriteReadyFile(options.readyFile, port)) {
    std::fprintf(stderr, "update-server: cannot write %s\n", options.readyFile.c_str());
    return 1;
  }

  // Stop signals are taken by sigwait below; the listener raises SIGUSR1 if it ends by itself.
  std::thread listener([&server] {
    server->listen_after_bind();
    kill(getpid(), SIGUSR1);
  });
  const sigset_t signals = sStopSignals();
  int received = 0;
  sigwait(&signals, &received);
  sStopping = true;
  server->stop();
  listener.join();
  return received == SIGUSR1 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::string error;
  if (!ParseServerOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "update-server: %s\n\n%s", error.c_str(), ServerUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(ServerUsage().c_str(), stdout);
    return 0;
  }
  // Block the stop signals before any thread starts, so that every thread inherits the mask.
  const sigset_t signals = sStopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    UpdateService service(options.root, FirmwareIndex::Load(options.root));
    return sServe(options, service);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "update-server: %s\n", e.what());
    return 1;
  }
}
