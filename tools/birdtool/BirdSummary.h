#ifndef BIRDTOOL_BIRDSUMMARY_H
#define BIRDTOOL_BIRDSUMMARY_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "BirdFile.h"

// Short names of the block types ("loader", "firmware", "serial-offsets", "info",
// "loader-start"); other types read as "type-N".
std::string BirdBlockTypeName(uint8_t type);
// The type named by one of those names or by a number 0 to 31.
std::optional<uint8_t> BirdBlockTypeFromName(const std::string& name);

// A readable summary of a loaded file: header, information fields, serial offsets, loader
// start, image sizes, version marker and the block list. `fileSize` is the size on disk.
void PrintBirdSummary(const BirdFile& bird, uint64_t fileSize, FILE* out);

#endif
