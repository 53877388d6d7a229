// devsim: the device simulator program. See UsageText() for the command line.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DevSim.h"

namespace {

bool WriteReadyFile(const std::string& path, const std::vector<std::string>& lines) {
  std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (!f) return false;
  for (const auto& line : lines) std::fprintf(f, "%s\n", line.c_str());
  bool ok = std::fclose(f) == 0;
  return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  devsim::CommandLineOptions options;
  std::string error;
  if (!devsim::ParseCommandLine(args, &options, &error)) {
    std::fprintf(stderr, "devsim: %s\nTry 'devsim --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(devsim::UsageText().c_str(), stdout);
    return 0;
  }

  // The signals are taken synchronously by this thread; the simulator thread never sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  devsim::DevSim sim(options.config);
  if (!sim.start(&error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::string> lines = sim.endpointLines();
  lines.push_back("ready");
  // The file first: whoever sees "ready" on standard output may read it at once.
  if (!options.readyFile.empty() && !WriteReadyFile(options.readyFile, lines)) {
    std::fprintf(stderr, "devsim: cannot write the ready file %s\n", options.readyFile.c_str());
    sim.stop();
    return 1;
  }
  for (const auto& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  sim.stop();
  for (const auto& module : options.config.modules) {
    devsim::ModuleStatus s;
    if (!sim.status(module.serial, &s) || s.heartbeatsAnswered + s.heartbeatsWrong + s.heartbeatsMissed == 0) continue;
    std::fprintf(stderr, "devsim: %s heartbeats: %u answered, %u wrong, %u missed\n",
                 devsim::SerialText(module.serial).c_str(), s.heartbeatsAnswered, s.heartbeatsWrong, s.heartbeatsMissed);
  }
  if (!options.readyFile.empty()) unlink(options.readyFile.c_str());
  return 0;
}
