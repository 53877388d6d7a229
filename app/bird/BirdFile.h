#ifndef UPDATER_BIRDFILE_H
#define UPDATER_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a loaded BIRD file. `data` points into the owning BirdFile's image (not a copy)
// and is valid only while that BirdFile lives and keeps its image.
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;
  uint32_t address = 0;  // load address of loader and firmware blocks, 0 for the others
  unsigned char* data = nullptr;
};

// A BIRD firmware file: "bird", two format version bytes, then one zlib stream holding the
// block count, the blocks and a trailing checksum. The whole body is inflated once into
// `image`; every block is a view into it.
//
// Damaged files never lead to reads or writes outside the file buffer or the image: a block
// that does not fit wholly in front of the trailing checksum is dropped together with
// everything after it, and the scan logs the data-size mismatch.
class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_START = 5,
  };

  static constexpr unsigned char BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
  static constexpr unsigned char BIRD_FILE_VERSION[2] = {1, 1};
  static constexpr unsigned char BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr unsigned char BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr size_t INFO_BLOCK_SIZE = 64;

  BirdFile() = default;
  // Loads the file; throws CausedError("Failed to load bird data", why) when it does not load.
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  ~BirdFile() = default;

  // Loading.
  bool Load();
  // The part of Load after the file has been read: header, inflation, scan, serial offsets.
  bool Parse(const unsigned char* file, size_t size);
  bool DecompressData(const unsigned char* data, unsigned int length);
  bool ScanBlocks(const unsigned char* data, unsigned int length);
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  static bool VerifyFile(const char* path);

  // Operations on the loaded image.
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(unsigned int serial);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const unsigned int* key);
  bool ValidateData(const unsigned char* pattern, unsigned int length) const;
  bool ValidateModel(const char* model) const;
  unsigned int GetSerialNumber() const;
  unsigned int GetBuild() const;
  std::string GetVersion() const;
  // The model name field without its trailing spaces; empty without an information block.
  std::string GetModel() const;
  bool ValidateSerialNumber(unsigned int serial) const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t fileChecksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<unsigned char[]> image;
  uint32_t imageSize = 0;
  // Why the file did not load, or what the block scan could not account for in a file that did
  // (a block cut off, bytes left over); empty for a whole file.
  std::string problem;

 private:
  const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
  // The first information block's 64 bytes, space-padded when the block is shorter;
  // false without an information block.
  bool InfoText(char (&text)[INFO_BLOCK_SIZE]) const;
  void MoveFrom(BirdFile& other) noexcept;
};

#endif
