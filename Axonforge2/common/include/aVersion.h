#ifndef AXONFORGE2_AVERSION_H
#define AXONFORGE2_AVERSION_H

// Packed 32-bit version words and the library's own version.
//   legacy:  major(4 bits) minor(4 bits) patch(24 bits)
//   current: 0x2F major(8) minor(8) patch(8)
// A current word's top byte 0x2F reads as 2.15 in the legacy layout, which is never legacy.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 11
#define aVERSION_PATCH 2
#define aVERSION_PHASE "."

#ifdef __cplusplus
extern "C" {
#endif

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// "major.minor.patch" into buffer, truncated to size; returns the characters stored (without NUL).
size_t aVersion_ParseString(uint32_t version, char* buffer, size_t size);

// The library's own version.
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

// True when (major, minor, patch) >= (reqMajor, reqMinor, reqPatch); every number is taken
// modulo 256.
bool aVersion_IsAtLeastCompare(uint32_t major, uint32_t minor, uint32_t patch, uint32_t reqMajor,
                               uint32_t reqMinor, uint32_t reqPatch);
bool aVersion_IsAtLeast(uint32_t reqMajor, uint32_t reqMinor, uint32_t reqPatch);

// Named library features.
bool aVersion_HasFeature(const char* name);
// "NAME - description" lines joined by "\n"; release with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif

#endif
