#ifndef TESTS_BIRDTESTFILES_H
#define TESTS_BIRDTESTFILES_H

// Small helpers shared by the BIRD file tests of this folder.

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "TempDir.h"

inline std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

inline std::string WriteBird(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& fileBytes) {
  const std::string path = dir / name;
  WriteTextFile(path, AsText(fileBytes));
  return path;
}

// The bytes of a loaded block's payload.
inline std::vector<uint8_t> Payload(const BirdBlock& block) {
  return std::vector<uint8_t>(block.data, block.data + block.length);
}

// The device image bytes of a loaded loader or firmware block (payload after the address).
inline std::vector<uint8_t> ImageBytes(const BirdBlock& block) {
  return std::vector<uint8_t>(block.data + 4, block.data + block.length);
}

// Deterministic bytes that do not compress.
inline std::vector<uint8_t> NoiseBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

#endif
