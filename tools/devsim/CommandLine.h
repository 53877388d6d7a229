#ifndef DEVSIM_COMMANDLINE_H
#define DEVSIM_COMMANDLINE_H

#include <string>
#include <vector>

#include "DevSim.h"

namespace devsim {

struct CommandLineOptions {
  DevSimConfig config;
  std::string readyFile;
  bool help = false;
};

// Parses devsim's arguments (without the program name).
bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions* out, std::string* error);
std::string UsageText();

}  // namespace devsim

#endif
