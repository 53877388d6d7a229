#ifndef BIRDTOOL_BIRDTOOLCOMMANDLINE_H
#define BIRDTOOL_BIRDTOOLCOMMANDLINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BirdRecipe.h"

// birdtool's command line: "make" builds a BIRD file from options, "info" prints a summary of
// one. Arguments are given without the program name.

struct MakeCommand {
  BirdRecipe recipe;
  std::string output;
};

struct InfoCommand {
  std::string path;
  std::optional<BirdMaskKey> unmaskKey;  // unmask the firmware before summarising
  std::optional<uint8_t> dumpType;       // also hex-dump the blocks of this type
  bool verbose = false;                  // log the loader's diagnostics to standard error
};

extern const char* const kBirdtoolUsage;

// Parse the arguments after "make" / "info"; false with `error` set on a bad command line.
bool ParseMakeArguments(const std::vector<std::string>& args, MakeCommand* command, std::string* error);
bool ParseInfoArguments(const std::vector<std::string>& args, InfoCommand* command, std::string* error);

// Runs a whole command line; the process exit status.
int RunBirdtool(const std::vector<std::string>& args);

#endif
