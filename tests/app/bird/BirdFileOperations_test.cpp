// Operations on a loaded BIRD image: information fields, validation, serial patching,
// vector checksum, unmasking and the pattern search.
#include <gtest/gtest.h>

#include "BirdFile.h"
#include "BirdTestFiles.h"
#include "ByteOrder.h"
#include "LogCapture.h"
#include "Log.h"

namespace {

// Parses a file made by `writer` from memory, as Load does after reading it.
void LoadFrom(BirdFile& bird, const BirdWriter& writer) {
  const std::vector<uint8_t> file = writer.FileBytes();
  ASSERT_TRUE(bird.Parse(file.data(), file.size()));
}

// An information block payload with raw field texts (each padded or cut to 16 bytes).
std::vector<uint8_t> RawInfo(const std::string& build, const std::string& version, const std::string& serial,
                             const std::string& model) {
  std::vector<uint8_t> payload;
  for (std::string field : {build, version, serial, model}) {
    field.resize(16, ' ');
    payload.insert(payload.end(), field.begin(), field.end());
  }
  return payload;
}

// The whole image data, to compare before and after an operation.
std::vector<uint8_t> ImageCopy(const BirdFile& bird) {
  return std::vector<uint8_t>(bird.image.get(), bird.image.get() + bird.imageSize);
}

std::vector<size_t> ChangedPositions(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  std::vector<size_t> changed;
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i] != after[i]) changed.push_back(i);
  return changed;
}

TEST(BirdInfo, WithoutAnInformationBlockEverythingIsEmpty) {
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddFirmware(0, NoiseBytes(40, 1)));
  EXPECT_EQ(bird.GetSerialNumber(), 0u);
  EXPECT_EQ(bird.GetBuild(), 0u);
  EXPECT_EQ(bird.GetVersion(), "");
  EXPECT_EQ(bird.GetModel(), "");
  EXPECT_FALSE(bird.ValidateModel(""));
  EXPECT_TRUE(bird.ValidateSerialNumber(0));
  EXPECT_FALSE(bird.ValidateSerialNumber(1));
}

TEST(BirdInfo, FieldsAreReadAsTheirTextSays) {
  struct Case {
    std::vector<uint8_t> info;
    unsigned build;
    std::string version;
    unsigned serial;
  };
  const Case cases[] = {
      {RawInfo("1234", "2.11.2", "1A2B3C4D", "M"), 1234, "2.11.2", 0x1A2B3C4D},
      {RawInfo("7", "1.0 beta test", "0000ABCD", "M"), 7, "1.0", 0xABCD},
      // The build keeps 15 characters, the serial number 8, conversions stop at the first non-digit.
      {RawInfo("0000000000001234", "x", "12G45678", "M"), 123, "x", 0x12},
      {RawInfo("42abc", "", "FFFFFFFF9", "M"), 42, "", 0xFFFFFFFF},
      // A 16-character version: only the first 15 count.
      {RawInfo("1", "123456789012345X", "1", "M"), 1, "123456789012345", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    BirdFile bird;
    LoadFrom(bird, BirdWriter().AddBlock(BirdFile::BLOCK_INFO, 0, c.info));
    EXPECT_EQ(bird.GetBuild(), static_cast<unsigned>(c.build));
    EXPECT_EQ(bird.GetVersion(), c.version);
    EXPECT_EQ(bird.GetSerialNumber(), c.serial);
    EXPECT_TRUE(bird.ValidateSerialNumber(c.serial));
  }
}

TEST(BirdInfo, FirstInformationBlockWins) {
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddInfo({1, "1.1.1", 1, "A"}).AddInfo({2, "2.2.2", 2, "B"}));
  EXPECT_EQ(bird.GetBuild(), 1u);
  EXPECT_TRUE(bird.ValidateModel("A"));
  EXPECT_FALSE(bird.ValidateModel("B"));
}

TEST(BirdInfo, ShortInformationBlockReadsOnlyWhatItHolds) {
  std::vector<uint8_t> info = RawInfo("99", "4.5.6", "00C0FFEE", "AF-MTM-IO");
  info.resize(40);  // build, version and 8 bytes of the serial field; no model
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddBlock(BirdFile::BLOCK_INFO, 0, info));
  EXPECT_EQ(bird.GetBuild(), 99u);
  EXPECT_EQ(bird.GetVersion(), "4.5.6");
  EXPECT_EQ(bird.GetSerialNumber(), 0xC0FFEEu);
  EXPECT_EQ(bird.GetModel(), "");
  EXPECT_FALSE(bird.ValidateModel("AF"));
  EXPECT_TRUE(bird.ValidateModel(""));

  BirdFile empty;
  LoadFrom(empty, BirdWriter().AddBlock(BirdFile::BLOCK_INFO, 0, {}));
  EXPECT_EQ(empty.GetBuild(), 0u);
  EXPECT_EQ(empty.GetVersion(), "");
}

TEST(BirdInfo, ModelFieldNeedsOnlyToBeginWithTheModel) {
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddBlock(BirdFile::BLOCK_INFO, 0, RawInfo("1", "1", "1", "ABC")));
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ValidateModel("ABC"));
  EXPECT_TRUE(bird.ValidateModel("AB"));
  EXPECT_TRUE(bird.ValidateModel(""));
  EXPECT_FALSE(bird.ValidateModel("ABCD"));
  EXPECT_FALSE(bird.ValidateModel("abc"));
  EXPECT_FALSE(bird.ValidateModel(nullptr));
  EXPECT_NE(log.Text().find("Model matches model number ([ABC] == [AB])\n"), std::string::npos);

  BirdFile full;
  LoadFrom(full, BirdWriter().AddBlock(BirdFile::BLOCK_INFO, 0, RawInfo("1", "1", "1", "AF-PowerDelivery")));
  EXPECT_TRUE(full.ValidateModel("AF-PowerDelivery"));
  EXPECT_FALSE(full.ValidateModel("AF-PowerDeliveryX"));  // longer than the field: never matches
}

// A generic image with the serial word and descriptor text inside a firmware block loaded at
// 0x1000: the word at 0x1010, the text at 0x1020.
BirdWriter GenericImage(uint32_t serialAt, uint32_t descriptorAt) {
  BirdWriter writer;
  writer.AddSerialOffsets(serialAt, descriptorAt)
      .AddLoader(0x1000, NoiseBytes(64, 3))  // same addresses, but loaders are never patched
      .AddFirmware(0x1000, NoiseBytes(64, 4));
  return writer;
}

TEST(BirdSerial, PatchesExactlyTheSerialWordAndEvenDescriptorBytes) {
  BirdFile bird;
  LoadFrom(bird, GenericImage(0x1010, 0x1020));
  ASSERT_TRUE(bird.hasSerialOffsets);
  const std::vector<uint8_t> before = ImageCopy(bird);
  const uint32_t oldWord = ReadLittleEndian32(bird.blocks[2].data + 4 + 0x10);
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ReplaceSerialNumber(0x1A2B3C4D));
  const std::vector<uint8_t> after = ImageCopy(bird);

  const size_t word = static_cast<size_t>(bird.blocks[2].data - bird.image.get()) + 4 + 0x10;
  const size_t text = word + 0x10;
  std::vector<uint8_t> expected = before;
  WriteLittleEndian32(expected.data() + word, 0x1A2B3C4D);
  EXPECT_EQ(std::vector<uint8_t>(expected.begin() + word, expected.begin() + word + 4),
            (std::vector<uint8_t>{0x4D, 0x3C, 0x2B, 0x1A}));
  for (size_t i = 0; i < 8; ++i) expected[text + 2 * i] = static_cast<uint8_t>("1A2B3C4D"[i]);
  EXPECT_EQ(after, expected);  // and nothing else changed, odd descriptor bytes included
  char line[96];
  std::snprintf(line, sizeof line, "BIRDFILE: updating serial number from %08X ==> 1A2B3C4D\n", oldWord);
  EXPECT_NE(log.Text().find(line), std::string::npos);
}

TEST(BirdSerial, OffsetsOnlyWrittenWhereTheyFitWhollyInAFirmwareBlock) {
  struct Case {
    const char* name;
    uint32_t serialAt, descriptorAt;
    bool result;
    size_t changedAtMost;
  };
  const Case cases[] = {
      {"word 2 bytes before the end: not written, still true", 0x1000 + 62, 0, true, 0},
      {"word in the last 4 bytes", 0x1000 + 60, 0, true, 4},
      {"word below the block", 0x0FFE, 0, true, 0},
      {"word far away", 0xFFFFFFFE, 0, true, 0},
      {"descriptor overruns the block", 0, 0x1000 + 50, false, 0},
      {"descriptor in the last 16 bytes", 0, 0x1000 + 48, true, 8},
      {"no offsets", 0, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile bird;
    LoadFrom(bird, GenericImage(c.serialAt, c.descriptorAt));
    const std::vector<uint8_t> before = ImageCopy(bird);
    EXPECT_EQ(bird.ReplaceSerialNumber(0xFFFFFFFF), c.result);
    const std::vector<size_t> changed = ChangedPositions(before, ImageCopy(bird));
    EXPECT_LE(changed.size(), c.changedAtMost);
    const size_t firmwareStart = static_cast<size_t>(bird.blocks[2].data - bird.image.get()) + 4;
    for (size_t position : changed) EXPECT_GE(position, firmwareStart);
  }
}

TEST(BirdSerial, EveryFirmwareBlockHoldingTheOffsetIsPatched) {
  BirdWriter writer;
  writer.AddSerialOffsets(0x2004, 0).AddFirmware(0x1000, NoiseBytes(16, 1)).AddFirmware(0x2000, NoiseBytes(16, 2));
  BirdFile bird;
  LoadFrom(bird, writer);
  EXPECT_TRUE(bird.ReplaceSerialNumber(0xCAFEBABE));
  EXPECT_EQ(ImageBytes(bird.blocks[1]), NoiseBytes(16, 1));
  EXPECT_EQ(ReadLittleEndian32(bird.blocks[2].data + 4 + 4), 0xCAFEBABEu);

  BirdFile noFirmware;  // offsets but nothing to patch
  LoadFrom(noFirmware, BirdWriter().AddSerialOffsets(4, 8).AddLoader(0, NoiseBytes(32, 1)));
  EXPECT_FALSE(noFirmware.ReplaceSerialNumber(1));
}

TEST(BirdSerial, ShortOffsetsBlockGivesNoOffsets) {
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddBlock(BirdFile::BLOCK_SERIAL_OFFSETS, 0, {0, 0, 0, 8}).AddFirmware(0, NoiseBytes(32, 1)));
  EXPECT_TRUE(bird.hasSerialOffsets);  // a generic image whose offsets cannot be used:
  EXPECT_EQ(bird.serialOffset, 0u);
  EXPECT_FALSE(bird.ReplaceSerialNumber(1));  // so personalising it fails
}

TEST(BirdVectorChecksum, RecomputedOnlyForTablesAtAddressZero) {
  std::vector<uint8_t> table(64);
  for (uint32_t word = 0; word < 16; ++word) WriteLittleEndian32(table.data() + 4 * word, 0x01010101u * (word + 1));
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddFirmware(0, table).AddFirmware(0x100, table).AddFirmware(0, std::vector<uint8_t>(28, 1)));
  const std::vector<uint8_t> before = ImageCopy(bird);
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ReplaceVectorChecksum());

  // Words 0 to 4 and 6; word 5 is not part of the sum.
  const uint32_t sum = 0x01010101u * (1 + 2 + 3 + 4 + 5 + 7);
  const unsigned char* vectors = bird.blocks[0].data + 4;
  EXPECT_EQ(ReadLittleEndian32(vectors + 28), 0u - sum);
  EXPECT_EQ(ChangedPositions(before, ImageCopy(bird)).size(), 4u);  // only word 7 of the first block
  char line[96];
  std::snprintf(line, sizeof line, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", 0x08080808u, 0u - sum);
  EXPECT_NE(log.Text().find(line), std::string::npos);
}

TEST(BirdUnmask, RestoresWhatTheWriterMasked) {
  const BirdMaskKey key = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D};
  const std::vector<uint8_t> first = NoiseBytes(1000, 11), second = NoiseBytes(37, 12), loader = NoiseBytes(50, 13);
  BirdWriter writer;
  writer.AddLoader(0x20000000, loader).AddFirmware(0, first).AddFirmware(0x8000, second).AddFirmware(0x9000, {});
  writer.MaskFirmware(key);
  BirdFile bird;
  LoadFrom(bird, writer);
  EXPECT_NE(ImageBytes(bird.blocks[1]), first);
  EXPECT_EQ(bird.blocks[2].address, 0x8000u);  // addresses are never masked
  EXPECT_TRUE(bird.DecodeFirmwareBlocks(key.data()));
  EXPECT_EQ(ImageBytes(bird.blocks[0]), loader);
  EXPECT_EQ(ImageBytes(bird.blocks[1]), first);
  EXPECT_EQ(ImageBytes(bird.blocks[2]), second);
  EXPECT_EQ(bird.blocks[3].length, 4u);

  // Unmasking is not its own inverse: a second pass does not give the masked bytes back.
  bird.DecodeFirmwareBlocks(key.data());
  EXPECT_NE(ImageBytes(bird.blocks[1]), first);
}

TEST(BirdUnmask, EachByteUsesTheMaskCyclicallyAndThePreviousPlainByte) {
  const unsigned int key[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
  const uint8_t mask[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                            0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00};
  const std::vector<uint8_t> stored = NoiseBytes(40, 21);
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddFirmware(0, stored).AddFirmware(0x100, stored));
  bird.DecodeFirmwareBlocks(key);
  for (size_t block = 0; block < 2; ++block) {
    const std::vector<uint8_t> plain = ImageBytes(bird.blocks[block]);
    EXPECT_EQ(plain[0], stored[0] ^ mask[0]);  // previous starts at 0 in every block
    for (size_t i = 1; i < plain.size(); ++i) ASSERT_EQ(plain[i], stored[i] ^ mask[i % 16] ^ plain[i - 1]) << i;
    EXPECT_EQ(plain[16], stored[16] ^ mask[0] ^ plain[15]);
  }
}

TEST(BirdValidateData, FindsPatternsInFirmwarePayloadsOnly) {
  std::vector<uint8_t> firmware(32, 0);
  const std::vector<uint8_t> pattern = {0xDE, 0xAD, 0xBE, 0xEF};
  std::copy(pattern.begin(), pattern.end(), firmware.begin() + 10);
  BirdFile bird;
  LoadFrom(bird, BirdWriter().AddLoader(0, pattern).AddFirmware(0, firmware));
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ValidateData(pattern.data(), 4));
  EXPECT_NE(log.Text().find("Found data at 14\n"), std::string::npos);  // payload position, address included
  EXPECT_EQ(log.Text().find("Found data at", log.Text().find("Found data at 14") + 1), std::string::npos);

  const std::vector<uint8_t> absent = {1, 2, 3};
  EXPECT_FALSE(bird.ValidateData(absent.data(), 3));
  EXPECT_FALSE(bird.ValidateData(pattern.data(), 0));
  std::vector<uint8_t> huge(100, 0);
  EXPECT_FALSE(bird.ValidateData(huge.data(), 100));  // longer than any block

  // The last possible start position is not searched.
  BirdFile tail;
  LoadFrom(tail, BirdWriter().AddFirmware(0, {0, 0, 0, 0, 0, 0, 0x77, 0x88}));
  const uint8_t atEnd[] = {0x77, 0x88}, beforeEnd[] = {0, 0x77};
  EXPECT_FALSE(tail.ValidateData(atEnd, 2));
  EXPECT_TRUE(tail.ValidateData(beforeEnd, 2));
}

}  // namespace
