#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";
uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask) == 0) return;
  if (timestamped && std::strlen(format) > 10) {
    char stamp[128];
    std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    size_t n = std::strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
    std::fwrite(stamp, 1, n, stdout);
    std::fputs(SEPARATOR, stdout);
  }
  char line[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0 || fh == nullptr) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  std::fwrite(line, 1, len, fh);
}

void Log::SetOutput(FILE* file) { fh = file; }
void Log::ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
void Log::DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }
uint32_t Log::PackageMask() { return package_bitmask; }
