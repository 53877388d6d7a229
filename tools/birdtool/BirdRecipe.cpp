#include "BirdRecipe.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "../common/VersionMarker.h"
#include "ByteOrder.h"
#include "aDefs.h"

namespace {

using namespace BirdRecipeLayout;

constexpr size_t kSerialWordSize = 4;
constexpr size_t kDescriptorSize = 16;
constexpr size_t kInfoFieldSize = 16;
constexpr size_t kVersionTextLimit = 15;  // the information block's version field keeps 15 characters

struct SerialPlaces {
  uint32_t word = 0;        // device address, 0 = absent
  uint32_t descriptor = 0;  // device address, 0 = absent
};

bool ParseVersion(const std::string& text, VersionMarker::Version* out) {
  int consumed = 0;
  return std::sscanf(text.c_str(), "%u.%u.%u%n", &out->major, &out->minor, &out->patch, &consumed) == 3 &&
         static_cast<size_t>(consumed) == text.size();
}

std::string MarkerText(const BirdRecipe& recipe) {
  VersionMarker::Version version;
  ParseVersion(recipe.version, &version);
  version.build = recipe.build;
  return VersionMarker::Format(version);
}

size_t FirmwareLength(const BirdRecipe& recipe) {
  if (!recipe.firmware) return recipe.firmwareSize;
  return recipe.firmware->size() + (recipe.versionMarker ? MarkerText(recipe).size() : 0);
}

SerialPlaces SerialPlacesOf(const BirdRecipe& recipe) {
  const bool generated = !recipe.firmware;
  SerialPlaces places;
  places.word = recipe.serialAddress.value_or(generated ? recipe.firmwareAddress + kSerialWord : 0);
  places.descriptor = recipe.descriptorAddress.value_or(generated ? recipe.firmwareAddress + kDescriptor : 0);
  return places;
}

// Offset of `size` bytes at device address `address` in the firmware image, or -1 when they
// do not lie wholly inside it.
long long OffsetInFirmware(const BirdRecipe& recipe, uint32_t address, size_t size) {
  if (address < recipe.firmwareAddress) return -1;
  const unsigned long long offset = address - recipe.firmwareAddress;
  return offset + size <= FirmwareLength(recipe) ? static_cast<long long>(offset) : -1;
}

// Deterministic filler that deflates roughly like Thumb code (about 1.6:1): every 16-bit
// unit is one of sixteen opcode patterns with a 4-bit operand.
std::vector<uint8_t> CodeLikeBytes(size_t size, uint32_t seed) {
  static const uint16_t kOpcodes[16] = {0x4600, 0x6800, 0x6000, 0x2000, 0x3000, 0x1C00, 0xB500, 0xBD00,
                                        0xF000, 0xD000, 0xE000, 0x4770, 0x4200, 0x2800, 0x7800, 0x7000};
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed ? seed : 0x9E3779B9u;
  for (size_t i = 0; i < size; i += 2) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const uint16_t unit = static_cast<uint16_t>(kOpcodes[state & 15] | ((state >> 4) & 15));
    bytes[i] = static_cast<uint8_t>(unit);
    if (i + 1 < size) bytes[i + 1] = static_cast<uint8_t>(unit >> 8);
  }
  return bytes;
}

uint32_t Seed(const BirdRecipe& recipe, uint32_t salt) {
  return (recipe.model * 0x01000193u) ^ (recipe.build * 0x9E3779B1u) ^ salt;
}

// A Cortex-M style vector table: stack top, reset and fault handlers, and word 7 chosen so
// that words 0 to 4, 6 and 7 sum to zero.
void WriteVectorTable(std::vector<uint8_t>& image, uint32_t loadAddress) {
  unsigned char* table = image.data() + kVectorTable;
  WriteLittleEndian32(table, 0x10008000u);
  for (uint32_t word = 1; word < 7; ++word) WriteLittleEndian32(table + 4 * word, loadAddress + 0x181 + 4 * word);
  uint32_t sum = 0;
  for (uint32_t word : {0u, 1u, 2u, 3u, 4u, 6u}) sum += ReadLittleEndian32(table + 4 * word);
  WriteLittleEndian32(table + 28, 0u - sum);
}

// Generated firmware always holds the recipe's serial (a placeholder in generic images); given
// firmware is only personalised for a per-device image.
void WriteSerial(const BirdRecipe& recipe, std::vector<uint8_t>& image) {
  if (recipe.firmware && recipe.generic) return;
  const SerialPlaces places = SerialPlacesOf(recipe);
  if (places.word != 0)
    WriteLittleEndian32(image.data() + OffsetInFirmware(recipe, places.word, kSerialWordSize), recipe.serial);
  if (places.descriptor != 0) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", recipe.serial);
    unsigned char* text = image.data() + OffsetInFirmware(recipe, places.descriptor, kDescriptorSize);
    for (size_t i = 0; i < 8; ++i) {
      text[2 * i] = static_cast<unsigned char>(digits[i]);
      if (!recipe.firmware) text[2 * i + 1] = 0;  // generated text is plain 16-bit characters
    }
  }
}

std::vector<uint8_t> GeneratedFirmware(const BirdRecipe& recipe) {
  std::vector<uint8_t> image = CodeLikeBytes(recipe.firmwareSize, Seed(recipe, 0x46574D31u));
  if (recipe.versionMarker) {
    const std::string marker = MarkerText(recipe);
    std::copy(marker.begin(), marker.end(), image.begin() + kVersionMarker);
  }
  return image;
}

using AddImageBlock = BirdWriter& (BirdWriter::*)(uint32_t, const std::vector<uint8_t>&, uint8_t);

// Adds an image as blocks of at most blockSize bytes (one block when blockSize is 0).
void AddSplit(BirdWriter& writer, AddImageBlock add, uint32_t address, const std::vector<uint8_t>& image,
              uint8_t flags, size_t blockSize) {
  const size_t step = blockSize == 0 ? image.size() : blockSize;
  size_t offset = 0;
  do {
    const size_t end = std::min(image.size(), offset + step);
    (writer.*add)(address + static_cast<uint32_t>(offset),
                  std::vector<uint8_t>(image.begin() + offset, image.begin() + end), flags);
    offset = end;
  } while (offset < image.size());
}

std::string CheckSerialPlaces(const BirdRecipe& recipe) {
  const SerialPlaces places = SerialPlacesOf(recipe);
  if (recipe.generic && places.word == 0 && places.descriptor == 0)
    return "a generic image needs the device addresses of the serial number (serial offsets)";
  if (places.word != 0 && OffsetInFirmware(recipe, places.word, kSerialWordSize) < 0)
    return "the serial number address lies outside the firmware image";
  if (places.descriptor != 0 && OffsetInFirmware(recipe, places.descriptor, kDescriptorSize) < 0)
    return "the descriptor address lies outside the firmware image";
  return "";
}

}  // namespace

std::string RecipeModelName(const BirdRecipe& recipe) {
  return recipe.modelName.empty() ? aDefs_GetModelName(recipe.model) : recipe.modelName;
}

std::string CheckRecipe(const BirdRecipe& recipe) {
  if (recipe.modelName.empty() && RecipeModelName(recipe) == aDefs_GetModelName(0))
    return "unknown model number " + std::to_string(recipe.model) + " (give a known model or a model name)";
  if (RecipeModelName(recipe).size() > kInfoFieldSize) return "the model name is longer than 16 characters";
  if (recipe.version.size() > kVersionTextLimit) return "the version text is longer than 15 characters";
  VersionMarker::Version unused;
  if (recipe.versionMarker && !ParseVersion(recipe.version, &unused))
    return "the version marker needs a version of the form major.minor.patch";
  if (!recipe.firmware && recipe.firmwareSize < kMinimumFirmwareSize)
    return "generated firmware needs at least " + std::to_string(kMinimumFirmwareSize) + " bytes";
  if (uint64_t{recipe.firmwareAddress} + FirmwareLength(recipe) > (uint64_t{1} << 32))
    return "the firmware does not fit below the end of the address space";
  const size_t loaderLength = recipe.loader ? recipe.loader->size() : recipe.loaderSize;
  if (uint64_t{recipe.loaderAddress} + loaderLength > (uint64_t{1} << 32))
    return "the loader does not fit below the end of the address space";
  return CheckSerialPlaces(recipe);
}

std::vector<uint8_t> RecipeFirmware(const BirdRecipe& recipe) {
  std::vector<uint8_t> image;
  if (recipe.firmware) {
    image = *recipe.firmware;
    if (recipe.versionMarker) {
      const std::string marker = MarkerText(recipe);
      image.insert(image.end(), marker.begin(), marker.end());
    }
    WriteSerial(recipe, image);
  } else {
    image = GeneratedFirmware(recipe);
    WriteSerial(recipe, image);
    WriteVectorTable(image, recipe.firmwareAddress);
  }
  return image;
}

std::vector<uint8_t> RecipeLoader(const BirdRecipe& recipe) {
  return recipe.loader ? *recipe.loader : CodeLikeBytes(recipe.loaderSize, Seed(recipe, 0x4C4F4144u));
}

BirdWriter MakeBirdWriter(const BirdRecipe& recipe) {
  const std::string problem = CheckRecipe(recipe);
  if (!problem.empty()) throw std::invalid_argument(problem);
  BirdWriter writer;
  writer.AddInfo({recipe.build, recipe.version, recipe.serial, RecipeModelName(recipe)});
  if (recipe.generic) {
    const SerialPlaces places = SerialPlacesOf(recipe);
    writer.AddSerialOffsets(places.word, places.descriptor);
  }
  const std::vector<uint8_t> loader = RecipeLoader(recipe);
  if (!loader.empty())
    AddSplit(writer, &BirdWriter::AddLoader, recipe.loaderAddress, loader, recipe.loaderFlags, recipe.blockSize);
  if (recipe.loaderStart) writer.AddLoaderStart(*recipe.loaderStart);
  AddSplit(writer, &BirdWriter::AddFirmware, recipe.firmwareAddress, RecipeFirmware(recipe), recipe.firmwareFlags,
           recipe.blockSize);
  if (recipe.maskKey) writer.MaskFirmware(*recipe.maskKey);
  if (recipe.claimedBlocks) writer.SetClaimedBlockCount(*recipe.claimedBlocks);
  writer.SetFormatVersion(recipe.formatMajor, recipe.formatMinor).SetCompressionLevel(recipe.compressionLevel);
  return writer;
}

bool WriteBirdFile(const BirdRecipe& recipe, const std::string& path, std::string* error) {
  try {
    return MakeBirdWriter(recipe).WriteFile(path, error);
  } catch (const std::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
}
