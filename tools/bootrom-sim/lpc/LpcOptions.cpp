#include "LpcOptions.h"

#include <cerrno>
#include <cstdlib>

namespace lpcsim {

const char* const kLpcUsage =
    "  --part-id N            part identification word (default 0x26013F37, LPC1768)\n"
    "  --device-id A,B,C,D    the four device serial-number words\n"
    "  --boot-version M.N     boot code version (default 4.1)\n"
    "  --erase-ms N           milliseconds per sector erase (default 100; 0 for fast tests)\n"
    "  --program-ms N         milliseconds per 256-byte page program (default 1; 0 for fast tests)\n"
    "  --line-rate BAUD       carry bytes as a UART at BAUD would (default: unpaced)\n"
    "  --bad-checksum N       the N-th checksum exchange fails once (RESEND / wrong checksum)\n"
    "  --refuse L:CODE        answer every command L with return code CODE\n"
    "  --silent-after-copies N  after answering the N-th copy to flash, answer nothing more\n"
    "  --flash-dump PATH      write the flash image to PATH when stopping\n";

namespace {

bool sNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool sNumberList(const std::string& text, char separator, uint32_t* values, size_t count) {
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t end = i + 1 < count ? text.find(separator, start) : text.size();
    if (end == std::string::npos || !sNumber(text.substr(start, end - start), &values[i])) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool ParseLpcOptions(const std::vector<std::string>& args, LpcOptions* options, std::string* error) {
  IspConfig& isp = options->isp;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) {
      *error = "unknown option or missing value: " + option;
      return false;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (option == "--part-id") {
      ok = sNumber(value, &isp.partId);
    } else if (option == "--device-id") {
      ok = sNumberList(value, ',', isp.deviceId, 4);
    } else if (option == "--boot-version") {
      uint32_t version[2];
      ok = sNumberList(value, '.', version, 2);
      isp.bootMajor = version[0];
      isp.bootMinor = version[1];
    } else if (option == "--erase-ms") {
      ok = sNumber(value, &isp.eraseMsPerSector);
    } else if (option == "--program-ms") {
      ok = sNumber(value, &isp.programMsPerPage);
    } else if (option == "--line-rate") {
      ok = sNumber(value, &options->lineRate);
    } else if (option == "--bad-checksum") {
      ok = sNumber(value, &isp.badChecksumAt);
    } else if (option == "--refuse") {
      ok = value.size() >= 3 && value[1] == ':' && sNumber(value.substr(2), &isp.refuseCode);
      isp.refuseCommand = ok ? value[0] : 0;
    } else if (option == "--silent-after-copies") {
      ok = sNumber(value, &isp.silentAfterCopies);
    } else if (option == "--flash-dump") {
      options->flashDump = value;
    } else {
      *error = "unknown option: " + option;
      return false;
    }
    if (!ok) {
      *error = "bad value for " + option + ": " + value;
      return false;
    }
  }
  return true;
}

}  // namespace lpcsim
