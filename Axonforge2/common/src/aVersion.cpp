#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct Feature {
  const char* name;
  const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
const size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];

const uint32_t kCurrentLayoutTag = 0x2F000000;

// Top byte below 0x2F means (major, minor) of the legacy layout is below (2, 15).
bool sIsLegacy(uint32_t version) { return (version >> 24) < (kCurrentLayoutTag >> 24); }

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return kCurrentLayoutTag | (static_cast<uint32_t>(major) << 16) |
           (static_cast<uint32_t>(minor) << 8) | patch;
  }
  return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0x0F) << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) { return sIsLegacy(version); }

uint32_t aVersion_ParseMajor(uint32_t version) {
  return sIsLegacy(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t version) {
  return sIsLegacy(version) ? (version >> 24) & 0x0F : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version) {
  return sIsLegacy(version) ? version & 0x00FFFFFF : version & 0xFF;
}

size_t aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  int n = snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(version),
                   aVersion_ParseMinor(version), aVersion_ParsePatch(version));
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  // Built once; the function-local static makes the first build thread-safe.
  static char version_string[15];
  static const bool version_inited = [] {
    snprintf(version_string, sizeof version_string, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
             aVERSION_PHASE, aVERSION_PATCH);
    return true;
  }();
  (void)version_inited;
  return version_string;
}

bool aVersion_IsAtLeastCompare(uint32_t major, uint32_t minor, uint32_t patch, uint32_t reqMajor,
                               uint32_t reqMinor, uint32_t reqPatch) {
  const uint32_t have = (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
  const uint32_t need = (reqMajor & 0xFF) << 16 | (reqMinor & 0xFF) << 8 | (reqPatch & 0xFF);
  return have >= need;
}

bool aVersion_IsAtLeast(uint32_t reqMajor, uint32_t reqMinor, uint32_t reqPatch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, reqMajor, reqMinor,
                                   reqPatch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (strcmp(FEATS[i].name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  std::string list;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) list += "\n";
    list += FEATS[i].name;
    list += " - ";
    list += FEATS[i].description;
  }
  char* text = static_cast<char*>(malloc(list.size() + 1));
  if (text != nullptr) memcpy(text, list.c_str(), list.size() + 1);
  return text;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
