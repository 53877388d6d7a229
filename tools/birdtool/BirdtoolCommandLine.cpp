#include "BirdtoolCommandLine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "BirdDump.h"
#include "BirdFile.h"
#include "BirdSummary.h"
#include "Log.h"

const char* const kBirdtoolUsage =
    "Usage: birdtool make [options] -o FILE     build a BIRD firmware file\n"
    "       birdtool info [options] FILE        print a summary of a BIRD file\n"
    "       birdtool --help\n"
    "\n"
    "make: the information block\n"
    "  --model N               model number (its name from the model table), e.g. 17 = AF-USBHub2x4\n"
    "  --model-name TEXT       model name to write instead (at most 16 characters)\n"
    "  --build N               build number (default 0)\n"
    "  --version TEXT          version text, major.minor.patch (default 1.0.0)\n"
    "  --serial HEX            device serial number: per-device image for this device (default 0)\n"
    "  --generic               generic image: add serial offsets, the updater patches each device's\n"
    "                          serial number in\n"
    "make: firmware\n"
    "  --firmware FILE         firmware image bytes from FILE (default: generated content)\n"
    "  --firmware-size SIZE    size of generated firmware (default 64K, at least 384 bytes); generated\n"
    "                          firmware holds a vector table, the serial word at +0x100, the serial\n"
    "                          descriptor text at +0x110 and the version marker at +0x140\n"
    "  --firmware-address A    device load address of the firmware (default 0)\n"
    "  --firmware-flags N      block flags 0 to 7 (default 0)\n"
    "  --serial-offsets S:D    device addresses of the serial word and descriptor text (0 = none);\n"
    "                          needed for --generic with --firmware\n"
    "  --marker, --no-marker   write the version marker \"AFVER:<build>:<version>\" (default: on for\n"
    "                          generated firmware, off for --firmware, where it is appended)\n"
    "make: loader\n"
    "  --loader FILE           loader image bytes from FILE\n"
    "  --loader-size SIZE      size of a generated loader (default 0: no loader)\n"
    "  --loader-address A      device load address of the loader (default 0x20000000)\n"
    "  --loader-flags N        block flags 0 to 7 (default 0)\n"
    "  --loader-start A        add a loader start block with this jump address\n"
    "make: layout, masking, damage\n"
    "  --block-size SIZE       split loader and firmware into blocks of at most SIZE bytes\n"
    "  --fingerprint KEY       recovery image: mask the firmware with this device fingerprint\n"
    "                          (32 hex digits, or four hex words separated by ':' or ',')\n"
    "  --claimed-blocks N      block count to write instead of the real one\n"
    "  --format-version M.N    format version bytes (default 1.1)\n"
    "  --level N               compression level 0 to 9 (default 9)\n"
    "  -o, --output FILE       the file to write\n"
    "info:\n"
    "  --fingerprint KEY       unmask the firmware with this fingerprint before summarising\n"
    "  --dump TYPE             also hex-dump the blocks of TYPE (loader, firmware, serial-offsets,\n"
    "                          info, loader-start or a number)\n"
    "  --verbose               show the loader's diagnostic log on standard error\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal; sizes may end in K or M.\n";

namespace {

using Setter = std::function<std::string(const std::string& value)>;  // returns an error text

struct Option {
  const char* name;
  const char* alias;
  bool takesValue;
  Setter apply;
};

// Decimal or 0x-hexadecimal, optionally (for sizes) followed by K or M.
bool ParseNumber(const std::string& text, uint64_t limit, bool sizeSuffix, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  uint64_t value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() + (hex ? 2 : 0)) return false;
  uint64_t scale = 1;
  if (sizeSuffix && (*end == 'K' || *end == 'k')) scale = 1024, ++end;
  if (sizeSuffix && (*end == 'M' || *end == 'm')) scale = 1024 * 1024, ++end;
  if (*end != '\0' || value > limit / scale) return false;
  *out = value * scale;
  return true;
}

bool ParseHexWord(const std::string& text, uint32_t* out) {
  const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  *out = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

bool ParseFingerprint(const std::string& text, BirdMaskKey* key) {
  std::vector<std::string> words;
  std::string current;
  for (char c : text) {
    if (c == ':' || c == ',') {
      words.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  words.push_back(current);
  if (words.size() == 1 && words[0].size() == 32)
    words = {words[0].substr(0, 8), words[0].substr(8, 8), words[0].substr(16, 8), words[0].substr(24, 8)};
  if (words.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i)
    if (!ParseHexWord(words[i], &(*key)[i])) return false;
  return true;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

template <typename T>
Setter Number(T* target, uint64_t limit, bool sizeSuffix = false) {
  return [=](const std::string& value) -> std::string {
    uint64_t number;
    if (!ParseNumber(value, limit, sizeSuffix, &number)) return "not a valid number: " + value;
    *target = static_cast<T>(number);
    return "";
  };
}

template <typename T>
Setter OptionalNumber(std::optional<T>* target, uint64_t limit) {
  return [=](const std::string& value) -> std::string {
    uint64_t number;
    if (!ParseNumber(value, limit, false, &number)) return "not a valid number: " + value;
    *target = static_cast<T>(number);
    return "";
  };
}

Setter Bytes(std::optional<std::vector<uint8_t>>* target) {
  return [=](const std::string& path) -> std::string {
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(path, &bytes)) return "cannot read " + path + ": " + std::strerror(errno);
    *target = std::move(bytes);
    return "";
  };
}

Setter Fingerprint(std::optional<BirdMaskKey>* target) {
  return [=](const std::string& value) -> std::string {
    BirdMaskKey key;
    if (!ParseFingerprint(value, &key)) return "not a valid fingerprint: " + value;
    *target = key;
    return "";
  };
}

// Applies the options in order; positional arguments go to `positional`.
bool ApplyOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                  const std::function<std::string(const std::string&)>& positional, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const Option* match = nullptr;
    for (const Option& option : options)
      if (arg == option.name || (option.alias != nullptr && arg == option.alias)) match = &option;
    std::string problem;
    if (match == nullptr && !arg.empty() && arg[0] == '-') {
      problem = "unknown option " + arg;
    } else if (match == nullptr) {
      problem = positional(arg);
    } else if (match->takesValue && i + 1 >= args.size()) {
      problem = arg + " needs a value";
    } else {
      problem = match->apply(match->takesValue ? args[++i] : std::string());
      if (!problem.empty()) problem = arg + ": " + problem;
    }
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }
  return true;
}

std::vector<Option> MakeOptions(MakeCommand* command, bool* markerChosen) {
  BirdRecipe* r = &command->recipe;
  const uint64_t u32 = UINT32_MAX;
  return {
      {"--model", nullptr, true, Number(&r->model, u32)},
      {"--model-name", nullptr, true, [=](const std::string& v) { return r->modelName = v, std::string(); }},
      {"--build", nullptr, true, Number(&r->build, u32)},
      {"--version", nullptr, true, [=](const std::string& v) { return r->version = v, std::string(); }},
      {"--serial", nullptr, true,
       [=](const std::string& v) { return ParseHexWord(v, &r->serial) ? "" : "not a hexadecimal serial: " + v; }},
      {"--generic", nullptr, false, [=](const std::string&) { return r->generic = true, std::string(); }},
      {"--firmware", nullptr, true, Bytes(&r->firmware)},
      {"--firmware-size", nullptr, true, Number(&r->firmwareSize, u32, true)},
      {"--firmware-address", nullptr, true, Number(&r->firmwareAddress, u32)},
      {"--firmware-flags", nullptr, true, Number(&r->firmwareFlags, 7)},
      {"--serial-offsets", nullptr, true,
       [=](const std::string& v) -> std::string {
         const size_t colon = v.find(':');
         uint64_t word, descriptor;
         if (colon == std::string::npos || !ParseNumber(v.substr(0, colon), u32, false, &word) ||
             !ParseNumber(v.substr(colon + 1), u32, false, &descriptor))
           return "expected SERIAL:DESCRIPTOR addresses, got " + v;
         r->serialAddress = static_cast<uint32_t>(word);
         r->descriptorAddress = static_cast<uint32_t>(descriptor);
         return "";
       }},
      {"--marker", nullptr, false, [=](const std::string&) { return *markerChosen = r->versionMarker = true, ""; }},
      {"--no-marker", nullptr, false,
       [=](const std::string&) { return *markerChosen = true, r->versionMarker = false, ""; }},
      {"--loader", nullptr, true, Bytes(&r->loader)},
      {"--loader-size", nullptr, true, Number(&r->loaderSize, u32, true)},
      {"--loader-address", nullptr, true, Number(&r->loaderAddress, u32)},
      {"--loader-flags", nullptr, true, Number(&r->loaderFlags, 7)},
      {"--loader-start", nullptr, true, OptionalNumber(&r->loaderStart, u32)},
      {"--block-size", nullptr, true, Number(&r->blockSize, u32, true)},
      {"--fingerprint", nullptr, true, Fingerprint(&r->maskKey)},
      {"--claimed-blocks", nullptr, true, OptionalNumber(&r->claimedBlocks, u32)},
      {"--format-version", nullptr, true,
       [=](const std::string& v) -> std::string {
         const size_t dot = v.find('.');
         uint64_t major, minor;
         if (dot == std::string::npos || !ParseNumber(v.substr(0, dot), 255, false, &major) ||
             !ParseNumber(v.substr(dot + 1), 255, false, &minor))
           return "expected MAJOR.MINOR (0 to 255 each), got " + v;
         r->formatMajor = static_cast<uint8_t>(major);
         r->formatMinor = static_cast<uint8_t>(minor);
         return "";
       }},
      {"--level", nullptr, true, Number(&r->compressionLevel, 9)},
      {"--output", "-o", true, [=](const std::string& v) { return command->output = v, std::string(); }},
  };
}

int RunMake(const std::vector<std::string>& args) {
  MakeCommand command;
  std::string error;
  if (!ParseMakeArguments(args, &command, &error)) {
    std::fprintf(stderr, "birdtool make: %s\n", error.c_str());
    return 2;
  }
  BirdWriter writer;
  try {
    writer = MakeBirdWriter(command.recipe);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "birdtool make: %s\n", e.what());
    return 1;
  }
  const std::vector<uint8_t> imageData = writer.ImageData();
  if (!writer.WriteFile(command.output, &error)) {
    std::fprintf(stderr, "birdtool make: %s\n", error.c_str());
    return 1;
  }
  std::printf("wrote %s: %s image, build %u, version %s, model %s, %zu bytes of image data\n", command.output.c_str(),
              command.recipe.generic ? "generic" : "per-device", command.recipe.build, command.recipe.version.c_str(),
              RecipeModelName(command.recipe).c_str(), imageData.size());
  return 0;
}

int RunInfo(const std::vector<std::string>& args) {
  InfoCommand command;
  std::string error;
  if (!ParseInfoArguments(args, &command, &error)) {
    std::fprintf(stderr, "birdtool info: %s\n", error.c_str());
    return 2;
  }
  if (command.verbose) {
    Log::SetOutput(stderr);
    Log::ActivatePackage(DEBUG_BirdFile);
  }
  struct stat st;
  if (::stat(command.path.c_str(), &st) != 0) {
    std::fprintf(stderr, "birdtool info: cannot open %s: %s\n", command.path.c_str(), std::strerror(errno));
    return 1;
  }
  BirdFile bird;
  try {
    bird = BirdFile(command.path.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "birdtool info: %s: %s\n", command.path.c_str(), e.what());
    return 1;
  }
  if (command.unmaskKey) bird.DecodeFirmwareBlocks(command.unmaskKey->data());
  PrintBirdSummary(bird, static_cast<uint64_t>(st.st_size), stdout);
  if (command.dumpType) DumpBlocks(bird, static_cast<BirdFile::BLOCK_TYPE>(*command.dumpType));
  return 0;
}

}  // namespace

bool ParseMakeArguments(const std::vector<std::string>& args, MakeCommand* command, std::string* error) {
  bool markerChosen = false;
  const auto noPositional = [](const std::string& arg) { return "unexpected argument " + arg; };
  if (!ApplyOptions(args, MakeOptions(command, &markerChosen), noPositional, error)) return false;
  // A marker appended to given firmware changes its size, so it is only added when asked for.
  if (!markerChosen && command->recipe.firmware) command->recipe.versionMarker = false;
  if (command->output.empty()) {
    *error = "no output file given (-o FILE)";
    return false;
  }
  return true;
}

bool ParseInfoArguments(const std::vector<std::string>& args, InfoCommand* command, std::string* error) {
  const std::vector<Option> options = {
      {"--fingerprint", nullptr, true, Fingerprint(&command->unmaskKey)},
      {"--dump", nullptr, true,
       [=](const std::string& v) -> std::string {
         command->dumpType = BirdBlockTypeFromName(v);
         return command->dumpType ? "" : "unknown block type " + v;
       }},
      {"--verbose", "-v", false, [=](const std::string&) { return command->verbose = true, std::string(); }},
  };
  const auto file = [=](const std::string& arg) -> std::string {
    if (!command->path.empty()) return "more than one file given";
    command->path = arg;
    return "";
  };
  if (!ApplyOptions(args, options, file, error)) return false;
  if (command->path.empty()) {
    *error = "no file given";
    return false;
  }
  return true;
}

int RunBirdtool(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(kBirdtoolUsage, stderr);
    return 2;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kBirdtoolUsage, stdout);
    return 0;
  }
  if (command == "make") return RunMake(rest);
  if (command == "info") return RunInfo(rest);
  std::fprintf(stderr, "birdtool: unknown command %s\n\n%s", command.c_str(), kBirdtoolUsage);
  return 2;
}
