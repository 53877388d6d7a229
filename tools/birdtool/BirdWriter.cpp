#include "BirdWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "BirdFile.h"
#include "ByteOrder.h"

namespace {

constexpr size_t kFieldSize = 16;
constexpr size_t kHeaderSize = 6;
constexpr size_t kInflateRatio = 8;

void AppendBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
  unsigned char bytes[4];
  WriteBigEndian32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void AppendField(std::vector<uint8_t>& out, const std::string& text) {
  std::string field = text.substr(0, kFieldSize);
  field.resize(kFieldSize, ' ');
  out.insert(out.end(), field.begin(), field.end());
}

std::vector<uint8_t> AddressedPayload(uint32_t address, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> payload;
  payload.reserve(image.size() + 4);
  AppendBigEndian32(payload, address);
  payload.insert(payload.end(), image.begin(), image.end());
  return payload;
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data, int level) {
  uLongf size = compressBound(data.size());
  std::vector<uint8_t> out(size);
  int rc = compress2(out.data(), &size, data.data(), data.size(), level);
  if (rc != Z_OK) throw std::runtime_error("cannot deflate bird data: zlib error " + std::to_string(rc));
  out.resize(size);
  return out;
}

}  // namespace

BirdWriter& BirdWriter::AddBlock(uint8_t type, uint8_t flags, std::vector<uint8_t> payload) {
  blocks_.push_back({type, flags, std::move(payload)});
  return *this;
}

BirdWriter& BirdWriter::AddLoader(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
  return AddBlock(BirdFile::BLOCK_LOADER, flags, AddressedPayload(address, image));
}

BirdWriter& BirdWriter::AddFirmware(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags) {
  return AddBlock(BirdFile::BLOCK_FIRMWARE, flags, AddressedPayload(address, image));
}

BirdWriter& BirdWriter::AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress) {
  std::vector<uint8_t> payload;
  AppendBigEndian32(payload, serialAddress);
  AppendBigEndian32(payload, descriptorAddress);
  return AddBlock(BirdFile::BLOCK_SERIAL_OFFSETS, 0, std::move(payload));
}

BirdWriter& BirdWriter::AddInfo(const BirdInfo& info) { return AddBlock(BirdFile::BLOCK_INFO, 0, InfoPayload(info)); }

BirdWriter& BirdWriter::AddLoaderStart(uint32_t address) {
  std::vector<uint8_t> payload;
  AppendBigEndian32(payload, address);
  return AddBlock(BirdFile::BLOCK_LOADER_START, 0, std::move(payload));
}

BirdWriter& BirdWriter::MaskFirmware(const BirdMaskKey& key) {
  mask_ = key;
  return *this;
}

BirdWriter& BirdWriter::SetClaimedBlockCount(uint32_t count) {
  claimedCount_ = count;
  return *this;
}

BirdWriter& BirdWriter::SetFormatVersion(uint8_t major, uint8_t minor) {
  formatMajor_ = major;
  formatMinor_ = minor;
  return *this;
}

BirdWriter& BirdWriter::SetCompressionLevel(int level) {
  level_ = level < Z_NO_COMPRESSION ? Z_NO_COMPRESSION : level > Z_BEST_COMPRESSION ? Z_BEST_COMPRESSION : level;
  return *this;
}

std::vector<uint8_t> BirdWriter::InfoPayload(const BirdInfo& info) {
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", info.serial);
  std::vector<uint8_t> payload;
  payload.reserve(BirdFile::INFO_BLOCK_SIZE);
  AppendField(payload, std::to_string(info.build));
  AppendField(payload, info.version);
  AppendField(payload, serial);
  AppendField(payload, info.model);
  return payload;
}

void BirdWriter::Mask(unsigned char* bytes, size_t length, const BirdMaskKey& key) {
  unsigned char mask[16];
  for (size_t word = 0; word < 4; ++word) WriteBigEndian32(mask + 4 * word, key[word]);
  // Each stored byte also carries the previous plain byte, so unmasking runs front to back.
  unsigned char previous = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char plain = bytes[i];
    bytes[i] = static_cast<unsigned char>(plain ^ mask[i % 16] ^ previous);
    previous = plain;
  }
}

std::vector<uint8_t> BirdWriter::ImageData() const {
  std::vector<uint8_t> data;
  AppendBigEndian32(data, claimedCount_.value_or(static_cast<uint32_t>(blocks_.size())));
  for (const Block& block : blocks_) {
    data.push_back(static_cast<uint8_t>((block.type & BirdFile::BIRD_FILE_TYPE_MASK) | (block.flags << 5)));
    AppendBigEndian32(data, static_cast<uint32_t>(block.payload.size()));
    const size_t start = data.size();
    data.insert(data.end(), block.payload.begin(), block.payload.end());
    if (mask_ && block.type == BirdFile::BLOCK_FIRMWARE && block.payload.size() > 4)
      Mask(data.data() + start + 4, block.payload.size() - 4, *mask_);
  }
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), data.data() + 4, static_cast<uInt>(data.size() - 4));
  AppendBigEndian32(data, static_cast<uint32_t>(crc));
  return data;
}

std::vector<uint8_t> BirdWriter::FileFromImageData(const std::vector<uint8_t>& imageData, uint8_t major,
                                                   uint8_t minor, int level) {
  std::vector<uint8_t> file(std::begin(BirdFile::BIRD_FILE_SIGNATURE), std::end(BirdFile::BIRD_FILE_SIGNATURE));
  file.push_back(major);
  file.push_back(minor);
  std::vector<uint8_t> body = Deflate(imageData, level);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

std::vector<uint8_t> BirdWriter::FileBytes() const {
  const std::vector<uint8_t> imageData = ImageData();
  // The loader inflates into 8 times the body's size, so very repetitive images are written
  // with less compression until they fit; level 0 (stored) always does.
  for (int level = level_;; --level) {
    std::vector<uint8_t> file = FileFromImageData(imageData, formatMajor_, formatMinor_, level);
    if (imageData.size() <= (file.size() - kHeaderSize) * kInflateRatio || level == Z_NO_COMPRESSION) return file;
  }
}

bool BirdWriter::WriteFile(const std::string& path, std::string* error) const {
  const std::vector<uint8_t> bytes = FileBytes();
  FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int savedErrno = errno;
  if (file != nullptr && std::fclose(file) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok && error != nullptr) *error = "cannot write " + path + ": " + std::strerror(savedErrno);
  return ok;
}
