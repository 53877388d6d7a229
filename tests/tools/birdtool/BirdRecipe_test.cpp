// Images made from recipes load back with what was asked for: generic, per-device, recovery
// (masked) and test images with the simulator's version marker.
#include "BirdRecipe.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>

#include "../../../tools/common/VersionMarker.h"
#include "BirdFile.h"
#include "ByteOrder.h"
#include "TempDir.h"

namespace {

BirdFile Load(const BirdRecipe& recipe, const TempDir& dir) {
  const std::string path = dir / "image.bird";
  std::string error;
  EXPECT_TRUE(WriteBirdFile(recipe, path, &error)) << error;
  return BirdFile(path.c_str());
}

std::vector<uint8_t> FirmwareOf(const BirdFile& bird) {
  std::vector<uint8_t> image;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
    image.insert(image.end(), block.data + 4, block.data + block.length);
  return image;
}

BirdRecipe HubRecipe() {
  BirdRecipe recipe;
  recipe.model = 17;
  recipe.build = 1234;
  recipe.version = "2.15.3";
  recipe.firmwareSize = 4096;
  return recipe;
}

TEST(BirdRecipe, GenericImageCarriesOffsetsAndTakesAnySerial) {
  TempDir dir;
  BirdRecipe recipe = HubRecipe();
  recipe.generic = true;
  recipe.firmwareAddress = 0x8000;
  BirdFile bird = Load(recipe, dir);
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.GetVersion(), "2.15.3");
  EXPECT_EQ(bird.GetModel(), "AF-USBHub2x4");
  EXPECT_TRUE(bird.ValidateModel("AF-USBHub2x4"));
  EXPECT_TRUE(bird.hasSerialOffsets);
  EXPECT_EQ(bird.serialOffset, 0x8000u + BirdRecipeLayout::kSerialWord);
  EXPECT_EQ(bird.descriptorOffset, 0x8000u + BirdRecipeLayout::kDescriptor);
  EXPECT_EQ(FirmwareOf(bird), RecipeFirmware(recipe));
  EXPECT_EQ(FirmwareOf(bird).size(), 4096u);

  ASSERT_TRUE(bird.ReplaceSerialNumber(0x00C0FFEE));
  const std::vector<uint8_t> patched = FirmwareOf(bird);
  EXPECT_EQ(ReadLittleEndian32(patched.data() + BirdRecipeLayout::kSerialWord), 0x00C0FFEEu);
  const std::vector<uint8_t> descriptor(patched.begin() + BirdRecipeLayout::kDescriptor,
                                        patched.begin() + BirdRecipeLayout::kDescriptor + 16);
  const std::vector<uint8_t> expected = {'0', 0, '0', 0, 'C', 0, '0', 0, 'F', 0, 'F', 0, 'E', 0, 'E', 0};
  EXPECT_EQ(descriptor, expected);
}

TEST(BirdRecipe, PerDeviceImageHoldsItsSerialInInfoAndFirmware) {
  TempDir dir;
  BirdRecipe recipe = HubRecipe();
  recipe.serial = 0x1A2B3C4D;
  BirdFile bird = Load(recipe, dir);
  EXPECT_FALSE(bird.hasSerialOffsets);
  EXPECT_TRUE(bird.ValidateSerialNumber(0x1A2B3C4D));
  const std::vector<uint8_t> firmware = FirmwareOf(bird);
  EXPECT_EQ(ReadLittleEndian32(firmware.data() + BirdRecipeLayout::kSerialWord), 0x1A2B3C4Du);
  std::string digits;
  for (size_t i = 0; i < 8; ++i) digits += static_cast<char>(firmware[BirdRecipeLayout::kDescriptor + 2 * i]);
  EXPECT_EQ(digits, "1A2B3C4D");
}

TEST(BirdRecipe, GeneratedFirmwareHasAValidVectorTableAndTheVersionMarker) {
  TempDir dir;
  BirdFile bird = Load(HubRecipe(), dir);
  const std::vector<uint8_t> before = FirmwareOf(bird);
  bird.ReplaceVectorChecksum();  // recomputing must not change a valid table
  EXPECT_EQ(FirmwareOf(bird), before);

  VersionMarker::Version marker;
  ASSERT_TRUE(VersionMarker::Find(before.data(), before.size(), &marker));
  EXPECT_EQ(VersionMarker::Format(marker), VersionMarker::Format({1234, 2, 15, 3}));

  BirdRecipe plain = HubRecipe();
  plain.versionMarker = false;
  const std::vector<uint8_t> unmarked = RecipeFirmware(plain);
  EXPECT_FALSE(VersionMarker::Find(unmarked.data(), unmarked.size(), &marker));
}

TEST(BirdRecipe, GeneratedContentCompressesLikeCodeAndDependsOnTheBuild) {
  BirdRecipe recipe = HubRecipe();
  recipe.firmwareSize = 256 * 1024;
  const std::vector<uint8_t> image = RecipeFirmware(recipe);
  uLongf size = compressBound(image.size());
  std::vector<uint8_t> deflated(size);
  ASSERT_EQ(compress2(deflated.data(), &size, image.data(), image.size(), 9), Z_OK);
  const double ratio = static_cast<double>(image.size()) / static_cast<double>(size);
  EXPECT_GT(ratio, 1.3);
  EXPECT_LT(ratio, 4.0);
  EXPECT_EQ(RecipeFirmware(recipe), image);  // deterministic
  recipe.build = 1235;
  EXPECT_NE(RecipeFirmware(recipe), image);
}

TEST(BirdRecipe, RecoveryImageIsMaskedWithTheFingerprint) {
  TempDir dir;
  BirdRecipe recipe = HubRecipe();
  recipe.serial = 0x12345678;
  recipe.maskKey = BirdMaskKey{0xA1B2C3D4, 0x0F1E2D3C, 0x55AA55AA, 0x00000001};
  recipe.loaderSize = 2048;
  recipe.loaderStart = 0x20000400;
  recipe.blockSize = 1000;
  BirdFile bird = Load(recipe, dir);
  const std::vector<uint8_t> plain = RecipeFirmware(recipe);
  EXPECT_NE(FirmwareOf(bird), plain);
  std::vector<uint8_t> loader;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER))
    loader.insert(loader.end(), block.data + 4, block.data + block.length);
  EXPECT_EQ(loader, RecipeLoader(recipe));  // loaders are never masked

  bird.DecodeFirmwareBlocks(recipe.maskKey->data());
  EXPECT_EQ(FirmwareOf(bird), plain);
  const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_LOADER_START);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(ReadBigEndian32(starts[0].data), 0x20000400u);
}

TEST(BirdRecipe, BlockSizeSplitsImagesIntoConsecutivePieces) {
  TempDir dir;
  BirdRecipe recipe = HubRecipe();
  recipe.firmwareAddress = 0x10000;
  recipe.firmwareSize = 2500;
  recipe.loaderSize = 1000;
  recipe.blockSize = 1000;
  recipe.firmwareFlags = 6;
  recipe.loaderFlags = 1;
  BirdFile bird = Load(recipe, dir);
  const std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 3u);
  const uint32_t sizes[] = {1000, 1000, 500};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(firmware[i].address, 0x10000u + 1000 * i);
    EXPECT_EQ(firmware[i].length, sizes[i] + 4);
    EXPECT_EQ(firmware[i].flags, 6);
  }
  const std::vector<BirdBlock> loader = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loader.size(), 1u);
  EXPECT_EQ(loader[0].address, 0x20000000u);
  EXPECT_EQ(loader[0].flags, 1);
  EXPECT_EQ(bird.blockCount, 5u);  // info, loader, three firmware pieces
}

TEST(BirdRecipe, GivenFirmwareIsKeptAndPatchedOnlyForOneDevice) {
  TempDir dir;
  BirdRecipe recipe;
  recipe.modelName = "Custom-Board";
  recipe.version = "0.9.1";
  recipe.build = 9;
  std::vector<uint8_t> bytes(100);
  std::iota(bytes.begin(), bytes.end(), 0);
  recipe.firmware = bytes;
  recipe.firmwareAddress = 0x400;
  recipe.serialAddress = 0x400 + 8;
  recipe.descriptorAddress = 0x400 + 40;
  recipe.serial = 0xABCDEF12;
  const std::vector<uint8_t> image = RecipeFirmware(recipe);
  const std::string marker = "AFVER:9:0.9.1";
  ASSERT_EQ(image.size(), bytes.size() + marker.size() + 1);
  EXPECT_EQ(std::string(image.begin() + 100, image.end() - 1), marker);
  std::vector<uint8_t> expected = bytes;
  WriteLittleEndian32(expected.data() + 8, 0xABCDEF12);
  for (size_t i = 0; i < 8; ++i) expected[40 + 2 * i] = static_cast<uint8_t>("ABCDEF12"[i]);  // odd bytes kept
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 100), expected);

  // A generic image keeps the given bytes as they are: the updater patches them per device.
  recipe.generic = true;
  recipe.versionMarker = false;
  EXPECT_EQ(RecipeFirmware(recipe), bytes);
  BirdFile bird = Load(recipe, dir);
  EXPECT_EQ(bird.GetModel(), "Custom-Board");
  EXPECT_EQ(bird.serialOffset, 0x408u);
  EXPECT_EQ(bird.descriptorOffset, 0x428u);
}

TEST(BirdRecipe, InvalidRecipesAreRefusedWithAReason) {
  struct Case {
    const char* name;
    void (*change)(BirdRecipe&);
    const char* reason;
  };
  const Case cases[] = {
      {"no model", [](BirdRecipe& r) { r.model = 0; }, "unknown model number 0"},
      {"unknown model", [](BirdRecipe& r) { r.model = 99; }, "unknown model number 99"},
      {"long model name", [](BirdRecipe& r) { r.modelName = "ABCDEFGHIJKLMNOPQ"; }, "longer than 16"},
      {"long version", [](BirdRecipe& r) { r.version = "1234567890.123456"; }, "longer than 15"},
      {"version not for the marker", [](BirdRecipe& r) { r.version = "2.15"; }, "major.minor.patch"},
      {"tiny firmware", [](BirdRecipe& r) { r.firmwareSize = 100; }, "at least 384 bytes"},
      {"generic from bytes without offsets",
       [](BirdRecipe& r) { r.generic = true, r.firmware = std::vector<uint8_t>(64); }, "serial offsets"},
      {"serial outside", [](BirdRecipe& r) { r.serialAddress = 0x1000 - 2; }, "serial number address"},
      {"descriptor outside", [](BirdRecipe& r) { r.descriptorAddress = 0xFFFFFFF0; }, "descriptor address"},
      {"past the address space", [](BirdRecipe& r) { r.firmwareAddress = 0xFFFFF001; }, "address space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BirdRecipe recipe = HubRecipe();
    c.change(recipe);
    const std::string problem = CheckRecipe(recipe);
    EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    EXPECT_THROW(MakeBirdWriter(recipe), std::invalid_argument);
    std::string error;
    TempDir dir;
    EXPECT_FALSE(WriteBirdFile(recipe, dir / "x.bird", &error));
    EXPECT_EQ(error, problem);
  }
  EXPECT_EQ(CheckRecipe(HubRecipe()), "");
}

}  // namespace
