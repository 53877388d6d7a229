#ifndef TOOLS_UPDATESERVER_SERVERFAULT_H
#define TOOLS_UPDATESERVER_SERVERFAULT_H

#include <string>
#include <vector>

#include "UpdateService.h"

// A way for the server to misbehave, so that clients can be tested against a server that fails
// (--fault KIND[@OP]): for the requests of one op (hi, qu, builds, bird, fix), or for all.
struct ServerFault {
  enum class Kind {
    Status,    // answer with HTTP status `status`
    Empty,     // 200 with an empty body
    Truncate,  // the reply's second line (a build's base64 text) cut to half, on a multiple of 4
    Garbage,   // the reply's second line replaced by text outside the base64 alphabet
    Cut,       // the headers announce the whole body; the connection closes after half of it
    Stall,     // the request is read and never answered (until the server stops)
  };
  Kind kind = Kind::Status;
  int status = 500;
  std::string op;  // empty: every op
};

// False with a reason when the text is not a fault.
bool ParseServerFault(const std::string& text, ServerFault& fault, std::string& error);

// The first fault for requests of op, or null.
const ServerFault* FindServerFault(const std::vector<ServerFault>& faults, const std::string& op);

// The reply as a fault of kind Status, Empty, Truncate or Garbage changes it (others keep it).
void ApplyServerFault(const ServerFault& fault, ServiceReply& reply);

// The --help text of the faults.
const char* ServerFaultHelp();

#endif
