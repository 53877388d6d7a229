#ifndef UPDATER_BIRDWRITER_H
#define UPDATER_BIRDWRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The information block's four fields, each written as 16 space-padded characters.
struct BirdInfo {
  uint32_t build = 0;
  std::string version;  // e.g. "2.15.3"
  uint32_t serial = 0;  // written as 8 upper-case hexadecimal digits
  std::string model;    // a model name as aDefs_GetModelName gives it
};

// A device key (fingerprint words 0 to 3) that masks the firmware of recovery images.
using BirdMaskKey = std::array<uint32_t, 4>;

// Builds BIRD files block by block: the blocks in the order they were added, a block count,
// a CRC-32 of the blocks as file checksum, all deflated behind "bird" and the format version.
//
//   BirdWriter writer;
//   writer.AddInfo({1234, "2.15.3", 0, "AF-USBHub2x4"}).AddFirmware(0, bytes);
//   writer.WriteFile("out.bird");
class BirdWriter {
 public:
  BirdWriter& AddBlock(uint8_t type, uint8_t flags, std::vector<uint8_t> payload);
  BirdWriter& AddLoader(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
  BirdWriter& AddFirmware(uint32_t address, const std::vector<uint8_t>& image, uint8_t flags = 0);
  BirdWriter& AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
  BirdWriter& AddInfo(const BirdInfo& info);
  BirdWriter& AddLoaderStart(uint32_t address);

  // Firmware blocks are written masked with this key, so that BirdFile::DecodeFirmwareBlocks
  // with the same key restores them.
  BirdWriter& MaskFirmware(const BirdMaskKey& key);
  // For deliberately damaged files: the block count and format bytes written into the file.
  BirdWriter& SetClaimedBlockCount(uint32_t count);
  BirdWriter& SetFormatVersion(uint8_t major, uint8_t minor);
  BirdWriter& SetCompressionLevel(int level);

  // The inflated body: block count, blocks, checksum.
  std::vector<uint8_t> ImageData() const;
  // The complete file, always loadable: when the body would inflate to more than 8 times its
  // size, it is written with less compression.
  std::vector<uint8_t> FileBytes() const;
  // Writes the file; on failure `error` (when given) says why.
  bool WriteFile(const std::string& path, std::string* error = nullptr) const;

  // A file around arbitrary image data at exactly this compression level, for files whose body
  // is not made of well-formed blocks or is meant not to load.
  static std::vector<uint8_t> FileFromImageData(const std::vector<uint8_t>& imageData, uint8_t major = 1,
                                                uint8_t minor = 1, int level = 9);
  // The 64-byte information block payload.
  static std::vector<uint8_t> InfoPayload(const BirdInfo& info);
  // Masks device image bytes in place: the inverse of the unmasking done on load.
  static void Mask(unsigned char* bytes, size_t length, const BirdMaskKey& key);

 private:
  struct Block {
    uint8_t type;
    uint8_t flags;
    std::vector<uint8_t> payload;
  };
  std::vector<Block> blocks_;
  std::optional<BirdMaskKey> mask_;
  std::optional<uint32_t> claimedCount_;
  uint8_t formatMajor_ = 1;
  uint8_t formatMinor_ = 1;
  int level_ = 9;
};

#endif
