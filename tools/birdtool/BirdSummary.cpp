#include "BirdSummary.h"

#include <cstring>
#include <vector>

#include "../common/VersionMarker.h"
#include "ByteOrder.h"

namespace {

constexpr uint32_t kDefaultLoaderStart = 0x20000400;  // where recovery jumps without a loader-start block

struct TypeName {
  uint8_t type;
  const char* name;
};

const TypeName kTypeNames[] = {
    {BirdFile::BLOCK_LOADER, "loader"},
    {BirdFile::BLOCK_FIRMWARE, "firmware"},
    {BirdFile::BLOCK_SERIAL_OFFSETS, "serial-offsets"},
    {BirdFile::BLOCK_INFO, "info"},
    {BirdFile::BLOCK_LOADER_START, "loader-start"},
};

uint64_t ImageBytes(const BirdFile& bird, BirdFile::BLOCK_TYPE type, size_t* count) {
  uint64_t total = 0;
  const std::vector<BirdBlock> found = bird.FindBlocks(type);
  for (const BirdBlock& block : found) total += block.length >= 4 ? block.length - 4 : 0;
  *count = found.size();
  return total;
}

void PrintHeader(const BirdFile& bird, uint64_t fileSize, FILE* out) {
  unsigned char signature[4];
  WriteBigEndian32(signature, bird.signature);
  const bool valid = std::memcmp(signature, BirdFile::BIRD_FILE_SIGNATURE, 4) == 0 && (bird.version >> 8) != 0 &&
                     (bird.version & 0xFF) != 0;
  std::fprintf(out, "File            %s (%llu bytes)\n", bird.path.c_str(), static_cast<unsigned long long>(fileSize));
  std::fprintf(out, "Signature       %08X, format %u.%u (%s)\n", bird.signature, bird.version >> 8,
               bird.version & 0xFF, valid ? "valid" : "not a valid bird header");
  const uint32_t claimed = bird.imageSize >= 4 ? ReadBigEndian32(bird.image.get()) : 0;
  std::fprintf(out, "Image data      %u bytes, %u blocks claimed, %u parsed, checksum %08X\n", bird.imageSize, claimed,
               bird.blockCount, bird.fileChecksum);
}

void PrintContents(const BirdFile& bird, FILE* out) {
  if (bird.FindBlocks(BirdFile::BLOCK_INFO).empty())
    std::fprintf(out, "Information     none\n");
  else
    std::fprintf(out, "Information     build %u, version %s, serial %08X, model %s\n", bird.GetBuild(),
                 bird.GetVersion().c_str(), bird.GetSerialNumber(), bird.GetModel().c_str());
  if (bird.hasSerialOffsets)
    std::fprintf(out, "Kind            generic: serial word at 0x%08X, descriptor at 0x%08X\n", bird.serialOffset,
                 bird.descriptorOffset);
  else
    std::fprintf(out, "Kind            per-device image for %08X\n", bird.GetSerialNumber());

  size_t loaders = 0, firmwares = 0;
  const uint64_t loaderBytes = ImageBytes(bird, BirdFile::BLOCK_LOADER, &loaders);
  const uint64_t firmwareBytes = ImageBytes(bird, BirdFile::BLOCK_FIRMWARE, &firmwares);
  const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_LOADER_START);
  const bool hasStart = !starts.empty() && starts[0].length >= 4;
  std::fprintf(out, "Loader          %zu blocks, %llu bytes, start 0x%08X%s\n", loaders,
               static_cast<unsigned long long>(loaderBytes), hasStart ? ReadBigEndian32(starts[0].data) : kDefaultLoaderStart,
               hasStart ? "" : " (default)");
  std::fprintf(out, "Firmware        %zu blocks, %llu bytes\n", firmwares, static_cast<unsigned long long>(firmwareBytes));

  VersionMarker::Version marker;
  bool found = false;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
    if (!found && block.length > 4) found = VersionMarker::Find(block.data + 4, block.length - 4, &marker);
  if (found)
    std::fprintf(out, "Version marker  build %u, version %u.%u.%u\n", marker.build, marker.major, marker.minor,
                 marker.patch);
  else
    std::fprintf(out, "Version marker  none\n");
}

void PrintBlocks(const BirdFile& bird, FILE* out) {
  std::fprintf(out, "Blocks\n  %-4s %-15s %5s %10s  %s\n", "#", "type", "flags", "length", "address");
  for (size_t i = 0; i < bird.blocks.size(); ++i) {
    const BirdBlock& block = bird.blocks[i];
    std::fprintf(out, "  %-4zu %-15s %5u %10u  ", i, BirdBlockTypeName(block.type).c_str(), block.flags, block.length);
    if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE)
      std::fprintf(out, "0x%08X\n", block.address);
    else
      std::fprintf(out, "-\n");
  }
}

}  // namespace

std::string BirdBlockTypeName(uint8_t type) {
  for (const TypeName& entry : kTypeNames)
    if (entry.type == type) return entry.name;
  return "type-" + std::to_string(type);
}

std::optional<uint8_t> BirdBlockTypeFromName(const std::string& name) {
  for (const TypeName& entry : kTypeNames)
    if (name == entry.name) return entry.type;
  if (name.empty() || name.size() > 2 || name.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const int number = std::stoi(name);
  if (number > BirdFile::BIRD_FILE_TYPE_MASK) return std::nullopt;
  return static_cast<uint8_t>(number);
}

void PrintBirdSummary(const BirdFile& bird, uint64_t fileSize, FILE* out) {
  PrintHeader(bird, fileSize, out);
  PrintContents(bird, out);
  PrintBlocks(bird, out);
}
