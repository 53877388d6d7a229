#ifndef TOOLS_VERSIONMARKER_H
#define TOOLS_VERSIONMARKER_H

// The version marker that test firmware images carry so that the device simulator can take
// its new build and version from the image it was given: the ASCII text
// "AFVER:<build>:<major>.<minor>.<patch>" followed by a NUL, somewhere in the firmware bytes.
// birdtool writes it; devsim reads it from the flash image it received.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace VersionMarker {

constexpr const char kPrefix[] = "AFVER:";

struct Version {
  uint32_t build = 0;
  unsigned major = 0;
  unsigned minor = 0;
  unsigned patch = 0;
};

// The marker text including its terminating NUL.
inline std::string Format(const Version& v) {
  char text[64];
  int n = std::snprintf(text, sizeof text, "%s%u:%u.%u.%u", kPrefix, v.build, v.major, v.minor, v.patch);
  return std::string(text, static_cast<size_t>(n) + 1);
}

// Finds the first well-formed marker in an image; false when there is none.
inline bool Find(const uint8_t* data, size_t size, Version* out) {
  const size_t prefixLen = sizeof kPrefix - 1;
  for (size_t i = 0; i + prefixLen < size; ++i) {
    if (std::memcmp(data + i, kPrefix, prefixLen) != 0) continue;
    size_t end = i + prefixLen;
    while (end < size && end - i < 48 && data[end] != 0) ++end;
    if (end >= size || data[end] != 0) continue;
    std::string text(reinterpret_cast<const char*>(data + i + prefixLen), end - i - prefixLen);
    Version v;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%u:%u.%u.%u%n", &v.build, &v.major, &v.minor, &v.patch, &consumed) == 4 &&
        static_cast<size_t>(consumed) == text.size()) {
      *out = v;
      return true;
    }
  }
  return false;
}

}  // namespace VersionMarker

#endif
