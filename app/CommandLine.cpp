#include "CommandLine.h"

#include <cstring>
#include <string>

#include "DefaultServer.h"
#include "Log.h"
#include "aDirectory.h"

namespace frontend {

namespace {

const char kHexDigits[] = "0123456789ABCDEFabcdef";
const char kDecimalDigits[] = "0123456789";

// Everything an option handler may touch.
struct ParseState {
  UpdaterDisplayInterface& display;
  Parameters& params;
  const char* argument;  // the option as written on the command line
  bool failed;
};

enum class OptionKind { Command, Parameter, Help };

struct Option {
  const char* name;
  OptionKind kind;
  bool takesValue;
  void (*apply)(ParseState& state, const char* value);
};

int sDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Reads the leading digits of base 10 or 16; stops at the first other character or where the
// value would leave 32 bits. Returns where it stopped.
const char* sReadDigits(const char* text, int base, uint32_t& value) {
  const char* digits = base == 16 ? kHexDigits : kDecimalDigits;
  uint64_t v = 0;
  const char* p = text;
  for (; *p != '\0' && std::strchr(digits, *p) != nullptr; ++p) {
    uint64_t next = v * base + sDigitValue(*p);
    if (next > 0xFFFFFFFFull) break;
    v = next;
  }
  value = static_cast<uint32_t>(v);
  return p;
}

uint32_t sGetArg(const char* text, const char** end, int base) {
  if (end == nullptr || text == nullptr) return 0;
  uint32_t value = 0;
  const char* stop = sReadDigits(text, base, value);
  if (*stop != '\0') return 0;
  *end = stop;
  return value;
}

bool sHasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

void sReject(ParseState& state, const char* format, const char* argument) {
  state.display.message(UpdaterDisplayInterface::LEVEL_ERROR, format, argument);
  state.failed = true;
}

void sSetCommand(ParseState& state, uint32_t command) { state.params.commands.Set(command); }

// Shared by -d and -r: the optional "0x" prefix, hexadecimal digits, and zero is refused.
uint32_t sSerialValue(ParseState& state, const char* value, const char* which) {
  if (sHasHexPrefix(value)) {
    Log::log(DEBUG_Updater, "Discarding '0x' %sserial number prefix\n", which);
    value += 2;
  }
  const char* end = value;
  uint32_t serial = _get_hex_arg(value, &end);
  if (serial == 0) {
    state.display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid %sserial number obtained from argument [%s]",
                          which, value);
    state.failed = true;
  }
  return serial;
}

void sTransport(ParseState& state, const char* value) {
  Parameters& p = state.params;
  p.transportGiven = true;
  if (std::strncmp(value, "USB", 3) == 0) {
    p.transport = TRANSPORT_USB;
  } else if (std::strncmp(value, "TCP", 3) == 0) {
    p.transport = TRANSPORT_TCPIP;
  } else if (std::strncmp(value, "RECOVER", 7) == 0) {
    p.transport = TRANSPORT_RECOVER;
  } else {
    state.display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value);
    p.transport = TRANSPORT_INVALID;
    state.failed = true;
  }
}

// Decimal, or hexadecimal after "0x". Characters left over (including digits that would overflow
// the mask) are reported and keep the mask from being activated; the command line stays valid.
void sLogMask(ParseState& state, const char* value) {
  Parameters& p = state.params;
  p.logMaskGiven = true;
  bool hex = sHasHexPrefix(value);
  const char* rest = sReadDigits(hex ? value + 2 : value, hex ? 16 : 10, p.logMask);
  if (*rest != '\0') {
    state.display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", rest);
    return;
  }
  Log::ActivatePackage(p.logMask);
}

uint32_t sDecimalOrZero(const char* value) {
  const char* end = value;
  return _get_int_arg(value, &end);
}

// Searched in this order: an exact name wins, else a unique prefix with as many leading hyphens.
const Option kOptions[] = {
    {"-B", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_LIST_BUILDS); }},
    {"-L", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_LIST_LOCAL_BUILDS); }},
    {"-D", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_DISCOVER); }},
    {"-G", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_GET); }},
    {"-I", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_INFO); }},
    {"-U", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_UPDATE); }},
    {"-OVERRIDE", OptionKind::Command, false, [](ParseState& s, const char*) { s.params.overrideModel = true; }},
    {"-N", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_FINGERPRINT); }},
    {"-Y", OptionKind::Command, false,
     [](ParseState& s, const char*) {
       s.display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", s.argument);
       s.failed = true;
     }},
    {"-C", OptionKind::Command, false, [](ParseState& s, const char*) { sSetCommand(s, CMD_CHECK); }},
    {"-h", OptionKind::Help, false, nullptr},
    {"-H", OptionKind::Help, false, nullptr},
    {"--help", OptionKind::Help, false, nullptr},
    {"--json", OptionKind::Parameter, false, [](ParseState& s, const char*) { s.params.json = true; }},
    {"-n", OptionKind::Parameter, false, [](ParseState& s, const char*) { s.params.optionN = true; }},
    {"-X", OptionKind::Parameter, true, sLogMask},
    {"-Z", OptionKind::Parameter, true, [](ParseState& s, const char*) { sSetCommand(s, CMD_Z); }},
    {"-m", OptionKind::Parameter, true,
     [](ParseState& s, const char* v) { s.params.ueiBytesLoad = v[0] == '1' || std::strncmp(v, "true", 4) == 0; }},
    {"-i", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.storageDir = v; }},
    {"-b", OptionKind::Parameter, true,
     [](ParseState& s, const char* v) { s.params.build = std::to_string(sDecimalOrZero(v)); }},
    {"-d", OptionKind::Parameter, true,
     [](ParseState& s, const char* v) { s.params.serialNumber = sSerialValue(s, v, ""); }},
    {"-t", OptionKind::Parameter, true, sTransport},
    {"-f", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.birdFile = v; }},
    {"-r", OptionKind::Parameter, true,
     [](ParseState& s, const char* v) { s.params.routerSerial = sSerialValue(s, v, "router "); }},
    {"-s", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.serialPort = v; }},
    {"-o", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.baudRate = sDecimalOrZero(v); }},
    {"-e", OptionKind::Parameter, false, [](ParseState& s, const char*) { s.params.echo = true; }},
    {"-l", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.historyMessage = v; }},
    {"-k", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.logFile = v; }},
    {"-u", OptionKind::Parameter, true, [](ParseState& s, const char* v) { s.params.serverUrl = ServerUrl(v); }},
};

size_t sLeadingHyphens(const std::string& text) {
  size_t first = text.find_first_not_of('-');
  return first == std::string::npos ? text.size() : first;
}

const Option* sFindOption(const std::string& name) {
  for (const Option& option : kOptions)
    if (name == option.name) return &option;
  const Option* match = nullptr;
  int matches = 0;
  for (const Option& option : kOptions) {
    std::string candidate = option.name;
    if (sLeadingHyphens(candidate) == sLeadingHyphens(name) && candidate.compare(0, name.size(), name) == 0) {
      match = &option;
      ++matches;
    }
  }
  return matches == 1 ? match : nullptr;
}

std::string sProgramName(const char* argv0) {
  if (argv0 == nullptr) return std::string();
  std::string path = argv0;
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void sStartParameters(Parameters& params, const char* argv0) {
  params = Parameters();
  params.programName = sProgramName(argv0);
  char home[2048];
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) params.homeDir = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params.homeDir.c_str());
}

void sLogArguments(const Parameters& params, int argc, const char* const* argv) {
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.programName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
}

}  // namespace

uint32_t _get_hex_arg(const char* text, const char** end) { return sGetArg(text, end, 16); }

uint32_t _get_int_arg(const char* text, const char** end) { return sGetArg(text, end, 10); }

int _validate_params(Parameters&) { return 0; }

std::string ServerUrl(const std::string& value) {
  if (value.find("://") != std::string::npos) return value;
  return "http://" + value + UPDATER_SERVER_PATH;
}

int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters) {
  sStartParameters(parameters, argc > 0 ? argv[0] : nullptr);
  ParseState state{display, parameters, nullptr, false};
  bool helpAsked = false;
  for (int i = 1; i < argc && !helpAsked; ++i) {
    const char* argument = argv[i];
    if (argument == nullptr || argument[0] != '-') continue;
    const char* equals = std::strchr(argument, '=');
    std::string name = equals ? std::string(argument, equals - argument) : std::string(argument);
    const Option* option = sFindOption(name);
    // A skipped option lets a typo run another command than the one asked for (an update to
    // the latest build instead of the one named): every such mistake fails the command line.
    if (option == nullptr || (!option->takesValue && equals != nullptr)) {
      sReject(state, "Unrecognised option: %s", argument);
      continue;
    }
    const char* value = nullptr;
    if (option->takesValue) {
      if (equals != nullptr) {
        value = equals + 1;
      } else if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
        value = argv[++i];
      } else {
        sReject(state, "Option %s needs a value", argument);
        continue;
      }
    }
    if (option->kind == OptionKind::Help) {
      parameters.commands.Set(CMD_HELP);
      parameters.help = true;
      helpAsked = true;
      continue;
    }
    state.argument = argument;
    option->apply(state, value);
  }
  sLogArguments(parameters, argc, argv);
  if (helpAsked) return 0;
  return state.failed ? 1 : _validate_params(parameters);
}

}  // namespace frontend
