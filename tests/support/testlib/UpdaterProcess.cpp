#include "UpdaterProcess.h"

#include <algorithm>

#include "LoopbackServer.h"

std::string UpdaterBinary() { return PROJECT_BINARY_DIR "/app/updater"; }

ProcessResult RunUpdater(const std::string& storeDir, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment, int timeoutMs) {
  std::vector<std::string> argv = {UpdaterBinary(), "-i", storeDir};
  const bool serverGiven =
      std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "-u" || a.rfind("-u=", 0) == 0; });
  if (!serverGiven) {
    argv.push_back("-u");
    argv.push_back("http://127.0.0.1:" + std::to_string(LoopbackServer::UnusedPort()) + "/cgi/u");
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, timeoutMs, environment);
}
