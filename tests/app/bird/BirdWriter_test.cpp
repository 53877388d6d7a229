// The writing side: layout details the loader relies on, and files that always load.
#include "BirdWriter.h"

#include <gtest/gtest.h>

#include "BirdFile.h"
#include "BirdTestFiles.h"
#include "ByteOrder.h"

namespace {

TEST(BirdWriter, InformationFieldsArePaddedWithSpacesAndCut) {
  const std::vector<uint8_t> payload =
      BirdWriter::InfoPayload({4294967295u, "2.15.3", 0xAB, "A-very-long-model-name"});
  ASSERT_EQ(payload.size(), 64u);
  EXPECT_EQ(AsText(payload), "4294967295      2.15.3          000000AB        A-very-long-mode");
}

TEST(BirdWriter, HeaderAndImageDataLayout) {
  BirdWriter writer;
  writer.AddBlock(5, 7, {1, 2, 3, 4}).SetFormatVersion(3, 9).SetClaimedBlockCount(42);
  const std::vector<uint8_t> data = writer.ImageData();
  ASSERT_EQ(data.size(), 4u + 5 + 4 + 4);
  EXPECT_EQ(ReadBigEndian32(data.data()), 42u);
  EXPECT_EQ(data[4], 0xE5);  // flags in the top 3 bits, type in the low 5
  EXPECT_EQ(ReadBigEndian32(data.data() + 5), 4u);
  const std::vector<uint8_t> file = writer.FileBytes();
  EXPECT_EQ(std::string(file.begin(), file.begin() + 6), std::string("bird\x03\x09", 6));
  EXPECT_EQ(file[6], 0x78);  // a zlib stream follows
}

TEST(BirdWriter, RepetitiveImagesAreStoredSoTheyStillLoad) {
  TempDir dir;
  BirdWriter writer;
  writer.AddFirmware(0, std::vector<uint8_t>(1 << 20, 0xFF));
  const std::vector<uint8_t> file = writer.FileBytes();
  EXPECT_GE((file.size() - 6) * 8, writer.ImageData().size());
  BirdFile bird(WriteBird(dir, "ff.bird", file).c_str());
  EXPECT_EQ(ImageBytes(bird.blocks[0]), std::vector<uint8_t>(1 << 20, 0xFF));

  // Ordinary images keep full compression.
  BirdWriter noisy;
  noisy.AddFirmware(0, NoiseBytes(1000, 1)).AddFirmware(0, std::vector<uint8_t>(4000, 0));
  EXPECT_EQ(noisy.FileBytes(), BirdWriter::FileFromImageData(noisy.ImageData()));
}

TEST(BirdWriter, WriteFileReportsFailure) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(BirdWriter().AddFirmware(0, {1}).WriteFile(dir / "missing/dir/x.bird", &error));
  EXPECT_NE(error.find("cannot write " + dir / "missing/dir/x.bird"), std::string::npos) << error;
  EXPECT_TRUE(BirdWriter().AddFirmware(0, {1}).WriteFile(dir / "x.bird", &error));
  EXPECT_TRUE(BirdFile::VerifyFile((dir / "x.bird").c_str()));
}

}  // namespace
