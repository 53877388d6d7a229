#include "BirdFile.h"

#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "ByteOrder.h"
#include "CausedError.h"
#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr uint32_t kBlockHeaderSize = 5;
constexpr uint32_t kCountSize = 4;
constexpr uint32_t kChecksumSize = 4;
constexpr uint32_t kInflateRatio = 8;

bool HasLoadAddress(uint8_t type) {
  return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

void LogInfoFields(const unsigned char* payload) {
  for (size_t field = 0; field < BirdFile::INFO_BLOCK_SIZE; field += 16)
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(payload + field));
}

}  // namespace

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
  if (!Load()) throw CausedError("Failed to load bird data", problem);
}

BirdFile::BirdFile(BirdFile&& other) noexcept { MoveFrom(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this != &other) MoveFrom(other);
  return *this;
}

// Moving hands over the image buffer itself, so the block views stay valid; the source is
// left as an empty file object.
void BirdFile::MoveFrom(BirdFile& other) noexcept {
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  fileChecksum = other.fileChecksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);
  hasSerialOffsets = other.hasSerialOffsets;
  serialOffset = other.serialOffset;
  descriptorOffset = other.descriptorOffset;
  image = std::move(other.image);
  imageSize = other.imageSize;
  problem = std::move(other.problem);

  other.path.clear();
  other.signature = other.version = other.fileChecksum = other.blockCount = 0;
  other.blocks.clear();
  other.hasSerialOffsets = false;
  other.serialOffset = other.descriptorOffset = other.imageSize = 0;
  other.problem.clear();
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    problem = path + " is a directory, not a file";
    return false;
  }
  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    problem = "the file " + path + " does not exist";
    return false;
  }
  aFile* file = aFile_Open(path.c_str(), aFILE_MODE_READ);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    problem = "the file " + path + " cannot be opened for reading";
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
    problem = path + " cannot be read";
    aFile_Close(&file);
    return false;
  }
  // Room for at least one byte so that an empty file still has a buffer to read into.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[size > 0 ? size : 1]);
  size_t count = 0;
  err = size > 0 ? aFile_Read(file, buffer.get(), size, &count) : aErrNone;
  bool result = false;
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
    problem = path + " cannot be read";
  } else if (count < size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), count, size);
    problem = path + " cannot be read";
  } else {
    result = Parse(buffer.get(), size);
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::VerifyFile(const char* filePath) {
  aFile* file = aFile_Open(filePath, aFILE_MODE_READ);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath ? filePath : "");
    return false;
  }
  unsigned char header[kHeaderSize];
  size_t count = 0;
  aFile_Read(file, header, sizeof header, &count);
  aFile_Close(&file);
  return count == sizeof header && std::memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0 &&
         header[4] != 0 && header[5] != 0;
}

bool BirdFile::Parse(const unsigned char* file, size_t size) {
  signature = version = fileChecksum = blockCount = 0;
  blocks.clear();
  image.reset();
  imageSize = 0;
  hasSerialOffsets = false;
  serialOffset = descriptorOffset = 0;
  problem.clear();
  bool result = false;
  const bool birdSignature =
      size >= sizeof BIRD_FILE_SIGNATURE && std::memcmp(file, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0;
  if (size < kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too short for a bird file (%zu bytes)\n", path.c_str(), size);
    problem = size == 0 ? "the file is empty" : "the file is too short for a BIRD file";
  } else if (size - kHeaderSize > UINT32_MAX / kInflateRatio) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large for a bird file (%zu bytes)\n", path.c_str(), size);
    problem = "the file is too large for a BIRD file";
  } else {
    if (size > kHeaderSize) {
      signature = ReadBigEndian32(file);
      version = (uint32_t{file[4]} << 8) | file[5];
    }
    if (DecompressData(file + kHeaderSize, static_cast<unsigned int>(size - kHeaderSize))) {
      ScanBlocks(image.get(), imageSize);  // mismatches are logged and named in `problem`
      FindSerialNumberOffsets();
      result = true;
    } else {
      problem = birdSignature ? "the file is damaged: its compressed body does not inflate"
                              : "not a BIRD file (it does not begin with \"bird\")";
    }
  }
  if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
    hasSerialOffsets = true;
    FindSerialNumberOffsets();
  }
  return result;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned int length) {
  const uint32_t capacity = length * kInflateRatio;
  blocks.clear();  // they point into the image being replaced
  // Not value-initialised: only the pages that inflation writes are ever touched.
  image.reset(new unsigned char[capacity]);
  uLongf inflated = capacity;
  int rc = uncompress(image.get(), &inflated, data, length);
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    imageSize = 0;
    return false;
  }
  imageSize = static_cast<uint32_t>(inflated);
  return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned int length) {
  blockCount = 0;
  blocks.clear();
  fileChecksum = 0;
  problem.clear();
  if (data == nullptr || length < kCountSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(length) - static_cast<int>(kCountSize + kChecksumSize));
    problem = "the file is damaged: its data is too short for a block count";
    return false;
  }
  const uint32_t claimed = ReadBigEndian32(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(claimed));
  const unsigned char* cursor = data + kCountSize;
  uint32_t remaining = length - kCountSize;
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  // A block must lie wholly in front of the 4 checksum bytes; the first one that does not is
  // dropped with everything after it and shows up as bytes remaining.
  while (remaining > kChecksumSize) {
    const uint32_t room = remaining - kChecksumSize;
    if (room < kBlockHeaderSize) break;
    BirdBlock block;
    block.type = cursor[0] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((cursor[0] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = ReadBigEndian32(cursor + 1);
    if (block.length > room - kBlockHeaderSize) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Block of %u bytes at offset %u runs past the end of the data; dropped\n",
               block.length, static_cast<unsigned>(cursor - data));
      problem = "the file is damaged: block " + std::to_string(blockCount + 1) + " (" +
                std::to_string(block.length) + " bytes) runs past the end of the data";
      break;
    }
    cursor += kBlockHeaderSize;
    remaining -= kBlockHeaderSize;
    block.data = const_cast<unsigned char*>(cursor);
    block.address = HasLoadAddress(block.type) && block.length >= 4 ? ReadBigEndian32(cursor) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             static_cast<int>(block.length));
    if (block.type == BLOCK_INFO && block.length >= INFO_BLOCK_SIZE) LogInfoFields(cursor);
    cursor += block.length;
    remaining -= block.length;
    ++blockCount;
    blocks.push_back(block);
  }

  // The checksum is the last 4 bytes of the data, wherever the scan stopped.
  int unaccounted = static_cast<int>(remaining) - static_cast<int>(kChecksumSize);
  if (remaining >= kChecksumSize) {
    fileChecksum = ReadBigEndian32(data + length - kChecksumSize);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
  }
  bool result = true;
  if (unaccounted != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n", unaccounted);
    if (problem.empty())
      problem = "the file is damaged: its blocks do not account for its data (" + std::to_string(unaccounted) +
                " bytes remaining)";
    result = false;
  }
  if (blockCount != claimed) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(claimed));
    result = false;
  }
  return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type) found.push_back(block);
  return found;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
  for (const BirdBlock& block : blocks)
    if (block.type == type) return &block;
  return nullptr;
}
