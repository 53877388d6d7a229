// Loading BIRD files: header checks, inflation limits, the block scan and its bounds.
#include "BirdDump.h"
#include "BirdFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <stdexcept>

#include "BirdTestFiles.h"
#include "ByteOrder.h"
#include "ChildProcess.h"
#include "FdCapture.h"
#include "LogCapture.h"
#include "Log.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

// Image data made by hand: claimed count, raw bytes, then (optionally) a checksum.
std::vector<uint8_t> RawImageData(uint32_t claimed, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> data(4);
  WriteBigEndian32(data.data(), claimed);
  data.insert(data.end(), body.begin(), body.end());
  return data;
}

// Loads image data through Parse (the file path is never touched) and returns the log.
std::string ParseImageData(BirdFile& bird, const std::vector<uint8_t>& imageData, bool* result = nullptr) {
  LogCapture log(DEBUG_BirdFile);
  const std::vector<uint8_t> file = BirdWriter::FileFromImageData(imageData);
  bool ok = bird.Parse(file.data(), file.size());
  if (result) *result = ok;
  return log.Text();
}

TEST(BirdFileVerify, AcceptsOnlySignatureAndNonZeroVersionBytes) {
  TempDir dir;
  EXPECT_TRUE(BirdFile::VerifyFile(WriteBird(dir, "ok.bird", Bytes({'b', 'i', 'r', 'd', 1, 1})).c_str()));
  EXPECT_TRUE(BirdFile::VerifyFile(WriteBird(dir, "v27.bird", Bytes({'b', 'i', 'r', 'd', 2, 7, 0x78})).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBird(dir, "minor0.bird", Bytes({'b', 'i', 'r', 'd', 1, 0})).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBird(dir, "major0.bird", Bytes({'b', 'i', 'r', 'd', 0, 1})).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBird(dir, "short.bird", Bytes({'b', 'i', 'r', 'd', 1})).c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(WriteBird(dir, "sig.bird", Bytes({'B', 'I', 'R', 'D', 1, 1})).c_str()));

  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile((dir / "missing.bird").c_str()));
  EXPECT_NE(log.Text().find("BIRDFILE: Error - cannot open bird file: '" + dir / "missing.bird" + "'\n"),
            std::string::npos);
}

TEST(BirdFileLoad, WrittenBlocksComeBackWithTheirFields) {
  TempDir dir;
  const std::vector<uint8_t> loader = NoiseBytes(300, 1), firmware = NoiseBytes(1000, 2);
  BirdWriter writer;
  writer.AddInfo({1234, "2.15.3", 0x0BADF00D, "AF-USBHub2x4"})
      .AddSerialOffsets(0x100, 0x110)
      .AddLoader(0x20000000, loader, 3)
      .AddLoaderStart(0x20000400)
      .AddBlock(3, 0, Bytes({9, 9, 9, 9, 9}))  // unused type: kept like any other
      .AddFirmware(0x00010000, firmware, 5);
  const std::vector<uint8_t> imageData = writer.ImageData();
  const std::string path = WriteBird(dir, "all.bird", writer.FileBytes());

  BirdFile bird(path.c_str());
  EXPECT_EQ(bird.path, path);
  EXPECT_EQ(bird.signature, 0x62697264u);
  EXPECT_EQ(bird.version, 0x0101u);
  ASSERT_EQ(bird.imageSize, imageData.size());
  EXPECT_EQ(AsText(std::vector<uint8_t>(bird.image.get(), bird.image.get() + bird.imageSize)), AsText(imageData));
  EXPECT_EQ(bird.fileChecksum, ReadBigEndian32(imageData.data() + imageData.size() - 4));
  EXPECT_EQ(bird.fileChecksum, crc32(0, imageData.data() + 4, static_cast<uInt>(imageData.size() - 8)));
  ASSERT_EQ(bird.blockCount, 6u);
  ASSERT_EQ(bird.blocks.size(), 6u);

  const uint8_t types[] = {4, 2, 0, 5, 3, 1};
  const uint8_t flags[] = {0, 0, 3, 0, 0, 5};
  const uint32_t lengths[] = {64, 8, 304, 4, 5, 1004};
  const uint32_t addresses[] = {0, 0, 0x20000000, 0, 0, 0x00010000};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bird.blocks[i].type, types[i]);
    EXPECT_EQ(bird.blocks[i].flags, flags[i]);
    EXPECT_EQ(bird.blocks[i].length, lengths[i]);
    EXPECT_EQ(bird.blocks[i].address, addresses[i]);
    EXPECT_GE(bird.blocks[i].data, bird.image.get());
    EXPECT_LE(bird.blocks[i].data + bird.blocks[i].length, bird.image.get() + bird.imageSize);
  }
  EXPECT_EQ(ImageBytes(bird.blocks[2]), loader);
  EXPECT_EQ(ImageBytes(bird.blocks[5]), firmware);
  EXPECT_TRUE(bird.hasSerialOffsets);
  EXPECT_EQ(bird.serialOffset, 0x100u);
  EXPECT_EQ(bird.descriptorOffset, 0x110u);
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.GetVersion(), "2.15.3");
  EXPECT_EQ(bird.GetSerialNumber(), 0x0BADF00Du);
  EXPECT_TRUE(bird.ValidateModel("AF-USBHub2x4"));

  const std::vector<BirdBlock> firmwareBlocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmwareBlocks.size(), 1u);
  EXPECT_EQ(firmwareBlocks[0].data, bird.blocks[5].data);  // a copy of the record, not of the payload
  EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(7)).empty());
}

TEST(BirdFileLoad, TypeByteSplitsIntoTypeAndFlagsAndOnlyImagesHaveAddresses) {
  BirdFile bird;
  // 0x41 is type 1 with flags 2; 0xE4 is type 4 with flags 7; types 2 and 5 never get an address.
  std::vector<uint8_t> body = Bytes({0x41, 0, 0, 0, 4, 0x12, 0x34, 0x56, 0x78});
  std::vector<uint8_t> info = Bytes({0xE4, 0, 0, 0, 64});
  info.resize(info.size() + 64, 'x');
  info[5] = 0x7F;
  body.insert(body.end(), info.begin(), info.end());
  const std::vector<uint8_t> tail = Bytes({0x02, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0x05, 0, 0, 0, 4, 9, 9, 9, 9});
  body.insert(body.end(), tail.begin(), tail.end());
  body.insert(body.end(), 4, 0xAB);  // checksum
  bool loaded = false;
  ParseImageData(bird, RawImageData(4, body), &loaded);
  ASSERT_TRUE(loaded);
  ASSERT_EQ(bird.blocks.size(), 4u);
  EXPECT_EQ(bird.blocks[0].type, 1);
  EXPECT_EQ(bird.blocks[0].flags, 2);
  EXPECT_EQ(bird.blocks[0].address, 0x12345678u);
  EXPECT_EQ(bird.blocks[1].type, 4);
  EXPECT_EQ(bird.blocks[1].flags, 7);
  EXPECT_EQ(bird.blocks[1].address, 0u);
  EXPECT_EQ(bird.blocks[2].address, 0u);
  EXPECT_EQ(bird.blocks[3].address, 0u);
  EXPECT_EQ(bird.fileChecksum, 0xABABABABu);
}

// Image data whose deflated size c makes the inflated size exactly 8 * c + extra.
std::vector<uint8_t> ImageDataAtRatioLimit(int extra, size_t* compressedSize) {
  const std::vector<uint8_t> noise = NoiseBytes(1500, 77);
  auto build = [&](size_t zeros) {
    std::vector<uint8_t> image = noise;
    image.resize(noise.size() + zeros, 0);
    BirdWriter writer;
    writer.AddFirmware(0, image);
    return writer.ImageData();
  };
  auto deflated = [](const std::vector<uint8_t>& data) { return BirdWriter::FileFromImageData(data).size() - 6; };
  // Zeros cost almost nothing deflated, so the deflated size c barely moves with their number:
  // aim the inflated size at 8 * c + extra until it stays put.
  long long zeros = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::vector<uint8_t> data = build(static_cast<size_t>(zeros));
    const size_t c = deflated(data);
    const long long target = static_cast<long long>(8 * c) + extra;
    if (static_cast<long long>(data.size()) == target) {
      *compressedSize = c;
      return data;
    }
    zeros += target - static_cast<long long>(data.size()) + (attempt > 50 ? 1 : 0);
    if (zeros < 0) zeros = 0;
  }
  ADD_FAILURE() << "no image data found at the ratio limit";
  return {};
}

TEST(BirdFileLoad, BodyMayInflateToExactlyEightTimesItsSizeButNotOneByteMore) {
  TempDir dir;
  size_t compressed = 0;
  const std::vector<uint8_t> atLimit = ImageDataAtRatioLimit(0, &compressed);
  ASSERT_FALSE(atLimit.empty());
  ASSERT_EQ(atLimit.size(), 8 * compressed);
  const std::string good = WriteBird(dir, "limit.bird", BirdWriter::FileFromImageData(atLimit));
  {
    BirdFile bird(good.c_str());
    EXPECT_EQ(bird.imageSize, atLimit.size());
    EXPECT_EQ(bird.blockCount, 1u);
  }

  const std::vector<uint8_t> over = ImageDataAtRatioLimit(1, &compressed);
  ASSERT_EQ(over.size(), 8 * compressed + 1);
  const std::string bad = WriteBird(dir, "over.bird", BirdWriter::FileFromImageData(over));
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird;
  bird.path = bad;
  EXPECT_FALSE(bird.Load());
  EXPECT_EQ(bird.imageSize, 0u);
  EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos);
  EXPECT_THROW(BirdFile(bad.c_str()), std::runtime_error);
}

TEST(BirdFileLoad, FailuresThrowAndLogWhy) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  const std::string missing = dir / "missing.bird";
  try {
    BirdFile bird(missing.c_str());
    FAIL() << "a missing file loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_NE(log.Text().find("BIRDFILE: Loading File [" + missing + "]\n"), std::string::npos);
  EXPECT_NE(log.Text().find("BIRDFILE: BIRD file not found [" + missing + "]\n"), std::string::npos);

  // Too short for a header (any length up to 5 bytes), or a header with an empty zlib stream.
  for (size_t size = 0; size <= 6; ++size) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> bytes = Bytes({'b', 'i', 'r', 'd', 1, 1});
    bytes.resize(size);
    EXPECT_THROW(BirdFile(WriteBird(dir, "short.bird", bytes).c_str()), std::runtime_error);
  }
  EXPECT_NE(log.Text().find("decompressing bird file"), std::string::npos);

  // A corrupted deflate stream is rejected by zlib, not read past.
  std::vector<uint8_t> corrupt = BirdWriter().AddFirmware(0, NoiseBytes(100, 5)).FileBytes();
  corrupt[corrupt.size() - 2] ^= 0xFF;
  EXPECT_THROW(BirdFile(WriteBird(dir, "corrupt.bird", corrupt).c_str()), std::runtime_error);
}

TEST(BirdFileLoad, UnreadableFileLogsTheOpenErrorOnce) {
  if (!CanDropPrivileges()) GTEST_SKIP() << "cannot run without privileges here, so permissions do not apply";
  TempDir dir;
  const std::string path = WriteBird(dir, "locked.bird", BirdWriter().AddFirmware(0, NoiseBytes(10, 1)).FileBytes());
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string outcome = RunInChild(
      [&] {
        LogCapture log(DEBUG_BirdFile);
        std::string what;
        try {
          BirdFile bird(path.c_str());
        } catch (const std::runtime_error& e) {
          what = e.what();
        }
        return what + "|" + log.Text();
      },
      true);
  const std::string openError = "BIRDFILE: Error - cannot open bird file: '" + path + "'\n";
  EXPECT_EQ(outcome.find("Failed to load bird data|"), 0u) << outcome;
  const size_t first = outcome.find(openError);
  EXPECT_NE(first, std::string::npos) << outcome;
  EXPECT_EQ(outcome.find(openError, first + 1), std::string::npos) << outcome;
}

TEST(BirdFileScan, ClaimedCountMismatchIsLoggedButTheFileStillLoads) {
  TempDir dir;
  BirdWriter writer;
  writer.AddFirmware(0, NoiseBytes(10, 1)).AddFirmware(10, NoiseBytes(10, 2)).AddFirmware(20, NoiseBytes(10, 3));
  writer.SetClaimedBlockCount(2);
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird(WriteBird(dir, "count.bird", writer.FileBytes()).c_str());
  EXPECT_EQ(bird.blockCount, 3u);
  EXPECT_NE(log.Text().find("BIRDFILE:\t\t File reports 2 blocks\n"), std::string::npos);
  EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in number of blocks. (3 != 2)\n"), std::string::npos);
  EXPECT_EQ(log.Text().find("mismatch in data size"), std::string::npos);
}

TEST(BirdFileScan, LogsEachBlockAndTheInformationFields) {
  BirdFile bird;
  BirdWriter writer;
  writer.AddInfo({77, "3.1.4", 0xABCDEF01, "AF-MTM-Relay"}).AddBlock(1, 6, Bytes({0, 0, 0, 1, 0xAA}));
  bool loaded = false;
  const std::string text = ParseImageData(bird, writer.ImageData(), &loaded);
  EXPECT_TRUE(loaded);
  const uint32_t checksum = bird.fileChecksum;
  char checksumLine[64];
  std::snprintf(checksumLine, sizeof checksumLine, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  const std::string expected = std::string("BIRDFILE:\t\t File reports 2 blocks\n") +
                               "BIRDFILE: Bird file objects:\n"
                               "BIRDFILE: \t\tType Flags Length\n"
                               "BIRDFILE:\t\t 04   00   64\n"
                               "BIRDFILE:\t\t \t[77              ]\n"
                               "BIRDFILE:\t\t \t[3.1.4           ]\n"
                               "BIRDFILE:\t\t \t[ABCDEF01        ]\n"
                               "BIRDFILE:\t\t \t[AF-MTM-Relay    ]\n"
                               "BIRDFILE:\t\t 01   06   5\n" +
                               checksumLine;
  EXPECT_EQ(text, expected);
}

// Damaged image data: whatever the lengths claim, nothing outside the data is read, the
// blocks that fit are kept and the data-size mismatch is logged.
struct DamagedCase {
  const char* name;
  std::vector<uint8_t> imageData;
  size_t blocksKept;
  int remaining;  // the number in the data-size mismatch line; 0 = no such line
};

std::vector<DamagedCase> DamagedCases() {
  const std::vector<uint8_t> good = Bytes({0x01, 0, 0, 0, 6, 0, 0, 0, 0, 0xAA, 0xBB});  // 11 bytes
  auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> checksum = Bytes({0xC0, 0xFF, 0xEE, 0x00});
  return {
      {"empty", {}, 0, -8},
      {"count only, no checksum", RawImageData(0, {}), 0, -4},
      // The last 4 bytes are always the checksum: a block reaching into them is dropped.
      {"block without checksum", RawImageData(1, good), 0, 7},
      {"block with part of a checksum", RawImageData(1, join(good, Bytes({1, 2}))), 0, 9},
      {"length runs past the end", RawImageData(2, join(join(good, Bytes({0x01, 0, 0, 1, 0, 7, 7})), checksum)), 1, 7},
      {"length of 2^32-1", RawImageData(1, join(Bytes({0x01, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}), checksum)), 0, 8},
      {"claimed count 2^32-1", RawImageData(0xFFFFFFFF, join(good, checksum)), 1, 0},
      {"header cut short", RawImageData(1, join(join(good, Bytes({0x01, 0, 0})), checksum)), 1, 3},
      {"length eats the checksum", RawImageData(1, Bytes({0x01, 0, 0, 0, 8, 0, 0, 0, 0, 1, 2, 3, 4})), 0, 9},
  };
}

TEST(BirdFileScan, DamagedImageDataNeverReadsOutsideTheData) {
  for (const DamagedCase& c : DamagedCases()) {
    SCOPED_TRACE(c.name);
    // Scan a heap copy of exactly the data's size, so a read past it is an ASan error.
    std::unique_ptr<unsigned char[]> data(new unsigned char[c.imageData.size()]);
    std::copy(c.imageData.begin(), c.imageData.end(), data.get());
    BirdFile bird;
    LogCapture log(DEBUG_BirdFile);
    const bool clean = bird.ScanBlocks(data.get(), static_cast<unsigned int>(c.imageData.size()));
    EXPECT_EQ(bird.blocks.size(), c.blocksKept);
    EXPECT_EQ(bird.blockCount, c.blocksKept);
    for (const BirdBlock& block : bird.blocks)
      EXPECT_LE(block.data + block.length, data.get() + c.imageData.size());
    if (c.remaining != 0) {
      EXPECT_FALSE(clean);
      EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (" + std::to_string(c.remaining) +
                                " bytes remaining)\n"),
                std::string::npos)
          << log.Text();
    } else {
      EXPECT_EQ(log.Text().find("mismatch in data size"), std::string::npos) << log.Text();
    }
  }
}

TEST(BirdFileScan, DroppedBlockStillLeavesTheChecksumAndEarlierBlocksUsable) {
  BirdFile bird;
  const DamagedCase overrun = DamagedCases()[4];
  bool loaded = false;
  const std::string text = ParseImageData(bird, overrun.imageData, &loaded);
  EXPECT_TRUE(loaded);  // scan mismatches never fail a load
  ASSERT_EQ(bird.blocks.size(), 1u);
  EXPECT_EQ(ImageBytes(bird.blocks[0]), Bytes({0xAA, 0xBB}));
  EXPECT_EQ(bird.fileChecksum, 0xC0FFEE00u);
  EXPECT_NE(text.find("runs past the end of the data; dropped"), std::string::npos);
  EXPECT_NE(text.find("mismatch in number of blocks. (1 != 2)"), std::string::npos);
}

TEST(BirdFileMove, BlocksStayValidAndTheSourceIsEmptied) {
  TempDir dir;
  BirdWriter writer;
  writer.AddInfo({5, "1.2.3", 0, "AF-USBStem"}).AddSerialOffsets(4, 0).AddFirmware(0, NoiseBytes(64, 9));
  const std::string path = WriteBird(dir, "move.bird", writer.FileBytes());

  BirdFile original(path.c_str());
  const unsigned char* firmwareData = original.blocks[2].data;
  const std::vector<uint8_t> firmware = ImageBytes(original.blocks[2]);

  BirdFile moved(std::move(original));
  EXPECT_EQ(moved.blocks[2].data, firmwareData);
  EXPECT_EQ(ImageBytes(moved.blocks[2]), firmware);
  EXPECT_EQ(moved.path, path);
  EXPECT_TRUE(moved.hasSerialOffsets);
  EXPECT_EQ(moved.serialOffset, 4u);
  EXPECT_TRUE(original.blocks.empty());
  EXPECT_EQ(original.image, nullptr);
  EXPECT_EQ(original.imageSize, 0u);
  EXPECT_EQ(original.blockCount, 0u);
  EXPECT_FALSE(original.hasSerialOffsets);

  BirdFile placeholder;  // as the updater does: an empty object later move-assigned
  EXPECT_EQ(placeholder.blockCount, 0u);
  EXPECT_TRUE(placeholder.path.empty());
  placeholder = std::move(moved);
  EXPECT_EQ(placeholder.blocks[2].data, firmwareData);
  EXPECT_EQ(placeholder.GetVersion(), "1.2.3");
  EXPECT_TRUE(placeholder.ReplaceSerialNumber(0x11223344));
  EXPECT_EQ(ReadLittleEndian32(placeholder.blocks[2].data + 4 + 4), 0x11223344u);
}

TEST(BirdFileLoad, LoadingAgainReplacesEverythingOfTheEarlierFile) {
  TempDir dir;
  BirdFile bird(WriteBird(dir, "a.bird", BirdWriter().AddSerialOffsets(4, 8).AddFirmware(0, NoiseBytes(64, 1)).FileBytes())
                    .c_str());
  ASSERT_TRUE(bird.hasSerialOffsets);
  bird.path = WriteBird(dir, "b.bird", BirdWriter().AddFirmware(0x100, NoiseBytes(8, 2)).FileBytes());
  ASSERT_TRUE(bird.Load());
  EXPECT_FALSE(bird.hasSerialOffsets);
  EXPECT_EQ(bird.serialOffset, 0u);
  ASSERT_EQ(bird.blocks.size(), 1u);
  EXPECT_EQ(bird.blocks[0].address, 0x100u);

  bird.path = WriteBird(dir, "c.bird", {'b', 'i', 'r'});
  EXPECT_FALSE(bird.Load());
  EXPECT_TRUE(bird.blocks.empty());
  EXPECT_EQ(bird.blockCount, 0u);
  EXPECT_EQ(bird.imageSize, 0u);
}

TEST(BirdFileDump, PrintsHexAndTextInRowsOfFifty) {
  TempDir dir;
  std::vector<uint8_t> payload(56);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i < 52 ? 'A' + i % 26 : i - 50);
  BirdWriter writer;
  writer.AddBlock(3, 0, payload).AddFirmware(0, Bytes({1}));
  const std::string path = WriteBird(dir, "dump.bird", writer.FileBytes());
  BirdFile bird(path.c_str());
  FdCapture out(1, FdCapture::ToFile);
  EXPECT_TRUE(DumpBlocks(bird, static_cast<BirdFile::BLOCK_TYPE>(3)));
  std::fflush(stdout);
  const std::string text = out.Finish();

  std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: ";
  std::string row;
  for (size_t i = 0; i < 50; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", payload[i]);
    expected += hex;
    row += static_cast<char>(payload[i]);
  }
  expected += " " + row + "\r\n000050: 59 5A 02 03 04 05  YZ    \n\n";
  EXPECT_EQ(text, expected);
}

}  // namespace
