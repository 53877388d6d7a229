#ifndef TESTLIB_UPDATESERVERPROCESS_H
#define TESTLIB_UPDATESERVERPROCESS_H

#include <string>
#include <vector>

#include "BackgroundProcess.h"

// Runs the project's tools/update-server on 127.0.0.1 with an ephemeral port for the life of
// the object, serving a firmware directory. Its standard output and error (the request log)
// go to files beside the directory.
class UpdateServerProcess {
 public:
  // root: the firmware directory (with index.txt); extraArgs go to the command line.
  explicit UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs = {});
  ~UpdateServerProcess();
  UpdateServerProcess(const UpdateServerProcess&) = delete;
  UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

  // True once the server listens; false when it exited or did not get ready in time.
  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  // "<scheme>://127.0.0.1:<port>/cgi/u"
  std::string Url(const std::string& scheme = "http") const;
  // What the server wrote to standard error so far (one line per request).
  std::string Log() const;
  // Stops the server (SIGTERM) and returns its exit status (-1 when it did not exit normally).
  int Stop();

  static std::string Binary();

 private:
  std::string readyFile_;
  std::string logFile_;
  BackgroundProcess process_;
  int port_ = -1;
};

#endif
