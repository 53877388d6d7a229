#include "UpdateServerProcess.h"

#include <unistd.h>

#include <cstdlib>

#include "TempDir.h"

std::string UpdateServerProcess::Binary() { return PROJECT_BINARY_DIR "/tools/update-server/update-server"; }

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs)
    : readyFile_(root + ".ready"), logFile_(root + ".log") {
  unlink(readyFile_.c_str());
  std::vector<std::string> args = {Binary(), "-r", root, "-p", "0", "-w", readyFile_};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  if (!process_.Start(args, logFile_)) return;
  // The server writes its port to the ready file once it listens.
  if (process_.WaitUntil([this] { return !ReadTextFile(readyFile_).empty(); }, 1000))
    port_ = std::atoi(ReadTextFile(readyFile_).c_str());
}

UpdateServerProcess::~UpdateServerProcess() {
  Stop();
  unlink(readyFile_.c_str());
  unlink(logFile_.c_str());
}

std::string UpdateServerProcess::Url(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::string UpdateServerProcess::Log() const { return ReadTextFile(logFile_); }

int UpdateServerProcess::Stop() { return process_.Stop(); }
