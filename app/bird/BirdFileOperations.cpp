// Operations on a loaded BIRD image: information block, validation against a device, serial
// number personalisation, vector checksum and unmasking of recovery images.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BirdFile.h"
#include "ByteOrder.h"
#include "Log.h"

namespace {

constexpr uint32_t kAddressSize = 4;
constexpr size_t kFieldSize = 16;
constexpr size_t kBuildField = 0;
constexpr size_t kVersionField = 16;
constexpr size_t kSerialField = 32;
constexpr size_t kModelField = 48;
constexpr size_t kSerialDigits = 8;
constexpr uint32_t kDescriptorSize = 16;
constexpr size_t kMaskSize = 16;
constexpr uint32_t kVectorChecksumWord = 7;

// Number of device image bytes a loader or firmware block holds (its payload after the address).
uint32_t ImageLength(const BirdBlock& block) { return block.length >= kAddressSize ? block.length - kAddressSize : 0; }

// Where `size` bytes at device address `address` sit in the block's payload, or null when
// they do not lie wholly inside the block's image.
unsigned char* DeviceBytes(const BirdBlock& block, uint32_t address, uint32_t size) {
  if (address < block.address) return nullptr;
  const uint64_t offset = uint64_t{address} - block.address;
  if (offset + size > ImageLength(block)) return nullptr;
  return block.data + kAddressSize + offset;
}

// A 16-byte text field of the information block, terminated after `usable` characters.
void CopyField(const char* info, size_t field, size_t usable, char (&out)[kFieldSize + 1]) {
  std::memcpy(out, info + field, kFieldSize);
  out[usable] = '\0';
}

}  // namespace

bool BirdFile::InfoText(char (&text)[INFO_BLOCK_SIZE]) const {
  const BirdBlock* info = FirstBlock(BLOCK_INFO);
  if (info == nullptr) return false;
  // A short information block reads as if padded with spaces, as the fields are.
  std::memset(text, ' ', sizeof text);
  std::memcpy(text, info->data, info->length < sizeof text ? info->length : sizeof text);
  return true;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* offsets = FirstBlock(BLOCK_SERIAL_OFFSETS);
  if (offsets == nullptr || offsets->data == nullptr || offsets->length < 8) return false;
  serialOffset = ReadBigEndian32(offsets->data);
  descriptorOffset = ReadBigEndian32(offsets->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", static_cast<int>(serialOffset),
           static_cast<int>(descriptorOffset));
  return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
  char digits[kSerialDigits + 1];
  std::snprintf(digits, sizeof digits, "%08X", serial);
  bool result = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    if (serialOffset != 0) {
      if (unsigned char* word = DeviceBytes(block, serialOffset, 4)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", ReadLittleEndian32(word),
                 serial);
        WriteLittleEndian32(word, serial);
      }
      result = true;
    }
    if (descriptorOffset != 0) {
      if (unsigned char* text = DeviceBytes(block, descriptorOffset, kDescriptorSize)) {
        // The descriptor holds 16-bit characters; only their low bytes carry the digits.
        for (size_t i = 0; i < kSerialDigits; ++i) text[2 * i] = static_cast<unsigned char>(digits[i]);
        result = true;
      }
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize || ReadBigEndian32(block.data) != 0) continue;
    if (ImageLength(block) < (kVectorChecksumWord + 1) * 4) continue;  // no complete vector table
    const unsigned char* vectors = block.data + kAddressSize;
    uint32_t sum = 0;
    for (uint32_t word : {0u, 1u, 2u, 3u, 4u, 6u}) sum += ReadLittleEndian32(vectors + 4 * word);
    unsigned char* checksum = block.data + kAddressSize + 4 * kVectorChecksumWord;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", ReadLittleEndian32(checksum),
             0u - sum);
    WriteLittleEndian32(checksum, 0u - sum);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key) {
  if (key == nullptr) return true;
  unsigned char mask[kMaskSize];
  for (size_t word = 0; word < 4; ++word) WriteBigEndian32(mask + 4 * word, key[word]);
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    unsigned char* bytes = block.data + kAddressSize;
    unsigned char previous = 0;
    for (uint32_t i = 0, n = ImageLength(block); i < n; ++i) {
      bytes[i] = static_cast<unsigned char>(bytes[i] ^ mask[i % kMaskSize] ^ previous);
      previous = bytes[i];
    }
  }
  return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, unsigned int length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool result = false;
  if (pattern != nullptr && length > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_FIRMWARE) continue;
      // A diagnostic search: start positions end one before the last possible one.
      for (uint64_t i = 0; i + length < block.length; ++i) {
        if (std::memcmp(block.data + i, pattern, length) != 0) continue;
        Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
        result = true;
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return result;
}

std::string BirdFile::GetModel() const {
  char info[INFO_BLOCK_SIZE];
  if (!InfoText(info)) return std::string();
  char field[kFieldSize + 1];
  CopyField(info, kModelField, kFieldSize, field);
  for (size_t end = std::strlen(field); end > 0 && field[end - 1] == ' '; --end) field[end - 1] = '\0';
  return field;
}

bool BirdFile::ValidateModel(const char* model) const {
  if (model == nullptr || FirstBlock(BLOCK_INFO) == nullptr) return false;
  const std::string field = GetModel();
  if (std::strncmp(field.c_str(), model, std::strlen(model)) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

unsigned int BirdFile::GetSerialNumber() const {
  char info[INFO_BLOCK_SIZE];
  if (!InfoText(info)) return 0;
  char field[kFieldSize + 1];
  CopyField(info, kSerialField, kSerialDigits, field);
  return static_cast<unsigned int>(std::strtoul(field, nullptr, 16));
}

unsigned int BirdFile::GetBuild() const {
  char info[INFO_BLOCK_SIZE];
  if (!InfoText(info)) return 0;
  char field[kFieldSize + 1];
  CopyField(info, kBuildField, kFieldSize - 1, field);
  return static_cast<unsigned int>(std::strtoul(field, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  char info[INFO_BLOCK_SIZE];
  if (!InfoText(info)) return std::string();
  char field[kFieldSize + 1];
  CopyField(info, kVersionField, kFieldSize - 1, field);
  field[std::strcspn(field, " ")] = '\0';
  return field;
}

bool BirdFile::ValidateSerialNumber(unsigned int serial) const { return serial == GetSerialNumber(); }
