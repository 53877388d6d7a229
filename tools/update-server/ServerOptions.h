#ifndef TOOLS_UPDATESERVER_SERVEROPTIONS_H
#define TOOLS_UPDATESERVER_SERVEROPTIONS_H

#include <string>
#include <vector>

#include "ServerFault.h"

// Command line of update-server.
struct ServerOptions {
  std::string root;                     // firmware directory (required)
  std::string bindAddress = "127.0.0.1";
  int port = 8080;                      // 0: any free port
  std::string path = "/cgi/u";
  std::string readyFile;                // written with the port once listening
  std::string tlsCert;                  // both set: serve HTTPS
  std::string tlsKey;
  std::vector<ServerFault> faults;      // --fault, in the order given
  bool quiet = false;
  bool help = false;
};

// False with a reason in `error` when the arguments are not usable.
bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error);

// The --help text.
std::string ServerUsage();

#endif
