#include "ServerFault.h"

#include <cstdlib>

namespace {

const struct {
  const char* name;
  ServerFault::Kind kind;
} kKinds[] = {{"empty", ServerFault::Kind::Empty},     {"truncate", ServerFault::Kind::Truncate},
              {"garbage", ServerFault::Kind::Garbage}, {"cut", ServerFault::Kind::Cut},
              {"stall", ServerFault::Kind::Stall}};

// The reply's second line (what follows the status line), as start and length in the body.
bool sSecondLine(const std::string& body, size_t& start, size_t& length) {
  const size_t first = body.find('\n');
  if (first == std::string::npos) return false;
  start = first + 1;
  const size_t end = body.find('\n', start);
  length = (end == std::string::npos ? body.size() : end) - start;
  return true;
}

}  // namespace

bool ParseServerFault(const std::string& text, ServerFault& fault, std::string& error) {
  const size_t at = text.find('@');
  const std::string kind = text.substr(0, at);
  fault = ServerFault();
  if (at != std::string::npos) fault.op = text.substr(at + 1);
  if (kind.compare(0, 7, "status=") == 0) {
    char* end = nullptr;
    const long status = std::strtol(kind.c_str() + 7, &end, 10);
    if (end == kind.c_str() + 7 || *end != '\0' || status < 100 || status > 599) {
      error = "fault '" + text + "': the status must be a number from 100 to 599";
      return false;
    }
    fault.status = static_cast<int>(status);
    return true;
  }
  for (const auto& known : kKinds) {
    if (kind == known.name) {
      fault.kind = known.kind;
      return true;
    }
  }
  error = "unknown fault '" + text + "'";
  return false;
}

const ServerFault* FindServerFault(const std::vector<ServerFault>& faults, const std::string& op) {
  for (const ServerFault& fault : faults)
    if (fault.op.empty() || fault.op == op) return &fault;
  return nullptr;
}

void ApplyServerFault(const ServerFault& fault, ServiceReply& reply) {
  size_t start = 0, length = 0;
  switch (fault.kind) {
    case ServerFault::Kind::Status:
      reply.status = fault.status;
      break;
    case ServerFault::Kind::Empty:
      reply = ServiceReply{200, ""};
      break;
    case ServerFault::Kind::Truncate:
      if (sSecondLine(reply.body, start, length)) {
        const size_t kept = length / 2 / 4 * 4;
        reply.body.erase(start + kept, length - kept);
      }
      break;
    case ServerFault::Kind::Garbage:
      if (sSecondLine(reply.body, start, length)) reply.body.replace(start, length, "#### not base64 ####");
      break;
    default:
      break;
  }
}

const char* ServerFaultHelp() {
  return "Faults (--fault KIND[@OP], repeatable; @OP limits it to requests of that op, and the\n"
         "first fault that fits a request applies):\n"
         "  status=N   answer with HTTP status N (the body as it would have been)\n"
         "  empty      answer 200 with an empty body\n"
         "  truncate   cut the reply's second line (a build's base64 text) to half its length,\n"
         "             on a multiple of 4, so that it still decodes\n"
         "  garbage    replace the reply's second line with text outside the base64 alphabet\n"
         "  cut        announce the whole body, send half of it and close the connection\n"
         "  stall      read the request and never answer (until the server stops)\n";
}
