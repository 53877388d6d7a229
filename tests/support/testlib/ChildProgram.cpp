#include "ChildProgram.h"

#include <unistd.h>

std::string ChildEmulator() { return PROGRAM_EMULATOR; }

std::vector<std::string> ChildCommand(std::vector<std::string> argv) {
  const std::string builtHere = PROJECT_BINARY_DIR "/";
  if (!ChildEmulator().empty() && !argv.empty() && argv[0].compare(0, builtHere.size(), builtHere) == 0) {
    argv.insert(argv.begin(), ChildEmulator());
  }
  return argv;
}

std::string ChildShellCommand(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& word : ChildCommand(argv)) line += (line.empty() ? "" : " ") + word;
  return line;
}

const char* FreshProcessDeathTestStyle() { return ChildEmulator().empty() ? "threadsafe" : "fast"; }

std::string SelfPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}
