// Arbitrary command lines: the input split at NUL bytes into arguments (the program name first)
// through the option parser, every number reader and the server address rule. Each refusal is
// shown as an error, and every number is read whole or not at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Log.h"
#include "SilentDisplay.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Log::SetOutput(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments{"updater"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  SilentDisplay display;
  Parameters parameters;
  const int refused = frontend::_get_params(display, static_cast<int>(arguments.size()), argv.data(), parameters);
  // A refusal always says why. (An acceptance may show one too: a bad -X mask is reported and
  // ignored.)
  if (refused != 0 && display.errorsShown() == 0) __builtin_trap();
  if (refused == 0) frontend::_validate_params(parameters);
  Log::DeactivatePackage(0xFFFFFFFF);  // -X may have switched packages on

  for (const std::string& argument : arguments) {
    // A number is read whole or not at all.
    for (auto read : {frontend::_get_hex_arg, frontend::_get_int_arg}) {
      const char* end = nullptr;
      read(argument.c_str(), &end);
      if (end != nullptr && end != argument.c_str() + argument.size()) __builtin_trap();
    }
    frontend::ServerUrl(argument);
  }
  return 0;
}
