// bootrom-sim: the boot ROMs that device recovery talks to, each on a pseudo-terminal.
#include <cstdio>
#include <string>
#include <vector>

#include "ImxBootRom.h"
#include "ImxOptions.h"
#include "LpcOptions.h"
#include "LpcSim.h"
#include "PortOptions.h"

namespace {

const char* const kUsage =
    "usage: bootrom-sim --chip lpc17xx|imx [common options] [chip options]\n"
    "It runs until SIGINT or SIGTERM; exit status 0 after a clean stop, 1 for a bad command line or\n"
    "a port that cannot be opened.\n"
    "common options:\n"
    "  --pty-link PATH        symlink PATH to the pseudo-terminal's slave\n"
    "  --ready-file PATH      written once the ports are open (lines as the chip's text below says)\n"
    "  -v                     log every command and data block on standard error\n"
    "  --help                 this text\n";

}  // namespace

int main(int argc, char** argv) {
  std::string chip;
  bootrom::PortOptions port;
  std::vector<std::string> chipArgs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      printf("%s lpc17xx options:\n%s imx options:\n%s", kUsage, lpcsim::kLpcUsage, bootrom::imx::ImxUsage().c_str());
      return 0;
    } else if (arg == "-v") {
      port.verbose = true;
    } else if (arg == "--chip" && hasValue) {
      chip = argv[++i];
    } else if (arg == "--pty-link" && hasValue) {
      port.ptyLink = argv[++i];
    } else if (arg == "--ready-file" && hasValue) {
      port.readyFile = argv[++i];
    } else {
      chipArgs.push_back(arg);
    }
  }
  if (chip == "lpc17xx") return lpcsim::Run(port, chipArgs);
  if (chip == "imx") return bootrom::imx::RunImxBootRom(port, chipArgs);
  fprintf(stderr, "bootrom-sim: %s\n%s", chip.empty() ? "--chip is required" : ("unknown chip: " + chip).c_str(), kUsage);
  return 1;
}
