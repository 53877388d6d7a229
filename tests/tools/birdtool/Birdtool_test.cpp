// birdtool's command line: option parsing into a recipe, and the program itself.
#include "BirdtoolCommandLine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "BirdFile.h"
#include "ChildProgram.h"
#include "TempDir.h"

namespace {

const std::string kBirdtool = PROJECT_BINARY_DIR "/tools/birdtool/birdtool";

struct Outcome {
  int status;
  std::string output;  // standard output and standard error together
};

Outcome RunBirdtoolProgram(const std::string& arguments) {
  const std::string command = ChildShellCommand({kBirdtool}) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(BirdtoolArguments, OneCallDescribesAWholeImage) {
  MakeCommand command;
  std::string error;
  ASSERT_TRUE(ParseMakeArguments({"--model", "17", "--build", "1234", "--version", "2.15.3", "--firmware-size",
                                  "256K", "--generic", "--loader-size", "0x800", "--loader-start", "0x20000400",
                                  "--fingerprint", "01234567:89ABCDEF:deadbeef:0BADF00D", "--block-size", "64k",
                                  "--serial", "00C0FFEE", "--firmware-flags", "7", "--format-version", "2.3",
                                  "-o", "out.bird"},
                                 &command, &error))
      << error;
  const BirdRecipe& r = command.recipe;
  EXPECT_EQ(command.output, "out.bird");
  EXPECT_EQ(r.model, 17u);
  EXPECT_EQ(r.build, 1234u);
  EXPECT_EQ(r.version, "2.15.3");
  EXPECT_EQ(r.firmwareSize, 262144u);
  EXPECT_TRUE(r.generic);
  EXPECT_EQ(r.loaderSize, 0x800u);
  EXPECT_EQ(r.loaderStart, 0x20000400u);
  ASSERT_TRUE(r.maskKey.has_value());
  EXPECT_EQ(*r.maskKey, (BirdMaskKey{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}));
  EXPECT_EQ(r.blockSize, 65536u);
  EXPECT_EQ(r.serial, 0x00C0FFEEu);
  EXPECT_EQ(r.firmwareFlags, 7);
  EXPECT_EQ(r.formatMajor, 2);
  EXPECT_EQ(r.formatMinor, 3);
  EXPECT_TRUE(r.versionMarker);

  MakeCommand joined;
  ASSERT_TRUE(ParseMakeArguments({"--model", "4", "--fingerprint", "0123456789ABCDEF0123456789abcdef", "--output",
                                  "x"},
                                 &joined, &error))
      << error;
  EXPECT_EQ(*joined.recipe.maskKey, (BirdMaskKey{0x01234567, 0x89ABCDEF, 0x01234567, 0x89ABCDEF}));
}

TEST(BirdtoolArguments, BadCommandLinesSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--model", "17"}, "no output file"},
      {{"--bogus", "-o", "x"}, "unknown option --bogus"},
      {{"-o", "x", "--model"}, "--model needs a value"},
      {{"-o", "x", "--build", "12x"}, "--build: not a valid number: 12x"},
      {{"-o", "x", "--build", "4294967296"}, "not a valid number"},
      {{"-o", "x", "--firmware-flags", "8"}, "not a valid number"},
      {{"-o", "x", "--serial", "123456789"}, "not a hexadecimal serial"},
      {{"-o", "x", "--fingerprint", "1:2:3"}, "not a valid fingerprint"},
      {{"-o", "x", "--firmware", "/nonexistent/fw.bin"}, "cannot read /nonexistent/fw.bin"},
      {{"-o", "x", "stray"}, "unexpected argument stray"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MakeCommand command;
    std::string error;
    EXPECT_FALSE(ParseMakeArguments(c.args, &command, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }

  std::string error;
  InfoCommand none, two, dump;
  EXPECT_FALSE(ParseInfoArguments({}, &none, &error));
  EXPECT_EQ(error, "no file given");
  EXPECT_FALSE(ParseInfoArguments({"a.bird", "b.bird"}, &two, &error));
  EXPECT_EQ(error, "more than one file given");
  EXPECT_FALSE(ParseInfoArguments({"a.bird", "--dump", "nothing"}, &dump, &error));
  EXPECT_NE(error.find("unknown block type nothing"), std::string::npos) << error;
}

TEST(BirdtoolArguments, MarkerDefaultsOffOnlyForGivenFirmware) {
  TempDir dir;
  WriteTextFile(dir / "fw.bin", std::string(64, 'x'));
  MakeCommand given, forced;
  std::string error;
  ASSERT_TRUE(ParseMakeArguments({"--firmware", dir / "fw.bin", "-o", "x"}, &given, &error)) << error;
  EXPECT_FALSE(given.recipe.versionMarker);
  EXPECT_EQ(given.recipe.firmware->size(), 64u);
  ASSERT_TRUE(ParseMakeArguments({"--marker", "--firmware", dir / "fw.bin", "-o", "x"}, &forced, &error)) << error;
  EXPECT_TRUE(forced.recipe.versionMarker);
}

TEST(BirdtoolProgram, MakesAnImageThatInfoSummarises) {
  TempDir dir;
  const std::string path = dir / "hub.bird";
  Outcome made = RunBirdtoolProgram("make --model 17 --build 1234 --version 2.15.3 --firmware-size 262144 --generic "
                     "--loader-size 4096 --loader-start 0x20000400 -o " + path);
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_NE(made.output.find("wrote " + path + ": generic image, build 1234"), std::string::npos) << made.output;
  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));

  Outcome info = RunBirdtoolProgram("info " + path);
  ASSERT_EQ(info.status, 0) << info.output;
  for (const char* line : {"Signature       62697264, format 1.1 (valid)",
                           "Information     build 1234, version 2.15.3, serial 00000000, model AF-USBHub2x4",
                           "Kind            generic: serial word at 0x00000100, descriptor at 0x00000110",
                           "Loader          1 blocks, 4096 bytes, start 0x20000400\n",
                           "Firmware        1 blocks, 262144 bytes", "Version marker  build 1234, version 2.15.3",
                           "  4    firmware            0     262148  0x00000000"})
    EXPECT_NE(info.output.find(line), std::string::npos) << line << "\n" << info.output;
}

TEST(BirdtoolProgram, RecoveryImageReadsBackWithTheFingerprint) {
  TempDir dir;
  const std::string path = dir / "recovery.bird";
  const std::string key = "11111111:22222222:33333333:44444444";
  ASSERT_EQ(RunBirdtoolProgram("make --model 24 --serial 0A0B0C0D --fingerprint " + key + " -o " + path).status, 0);
  Outcome masked = RunBirdtoolProgram("info " + path);
  EXPECT_NE(masked.output.find("Version marker  none"), std::string::npos) << masked.output;
  EXPECT_NE(masked.output.find("per-device image for 0A0B0C0D"), std::string::npos) << masked.output;
  Outcome unmasked = RunBirdtoolProgram("info --fingerprint " + key + " " + path);
  EXPECT_NE(unmasked.output.find("Version marker  build 0, version 1.0.0"), std::string::npos) << unmasked.output;
}

// The images here are very repetitive: the file must still be written so that it loads.
TEST(BirdtoolProgram, TakesImagesFromFiles) {
  TempDir dir;
  WriteTextFile(dir / "fw.bin", std::string(1000, '\x5A'));
  WriteTextFile(dir / "ld.bin", std::string(300, '\x11'));
  const std::string path = dir / "files.bird";
  Outcome made = RunBirdtoolProgram("make --model-name Board --firmware " + dir / "fw.bin" + " --loader " + dir / "ld.bin" +
                     " --firmware-address 0x8000000 --serial-offsets 0x8000010:0 --generic -o " + path);
  ASSERT_EQ(made.status, 0) << made.output;
  BirdFile bird(path.c_str());
  const std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_EQ(firmware[0].address, 0x8000000u);
  EXPECT_EQ(std::string(firmware[0].data + 4, firmware[0].data + firmware[0].length), std::string(1000, '\x5A'));
  ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER).size(), 1u);
  EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER)[0].length, 304u);
  EXPECT_EQ(bird.serialOffset, 0x8000010u);
  EXPECT_EQ(bird.descriptorOffset, 0u);
}

TEST(BirdtoolProgram, HelpErrorsAndUnloadableFiles) {
  Outcome help = RunBirdtoolProgram("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: birdtool make [options] -o FILE"), std::string::npos);
  EXPECT_NE(help.output.find("--fingerprint KEY"), std::string::npos);

  EXPECT_EQ(RunBirdtoolProgram("").status, 2);
  EXPECT_EQ(RunBirdtoolProgram("frobnicate").status, 2);
  Outcome bad = RunBirdtoolProgram("make --model 17 --frobnicate -o /dev/null");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find("birdtool make: unknown option --frobnicate"), std::string::npos) << bad.output;
  Outcome invalid = RunBirdtoolProgram("make --model 99 -o /dev/null");
  EXPECT_EQ(invalid.status, 1);
  EXPECT_NE(invalid.output.find("unknown model number 99"), std::string::npos) << invalid.output;

  TempDir dir;
  WriteTextFile(dir / "junk.bird", "bird\x01\x01not zlib at all");
  Outcome junk = RunBirdtoolProgram("info " + dir / "junk.bird");
  EXPECT_EQ(junk.status, 1);
  EXPECT_NE(junk.output.find("Failed to load bird data"), std::string::npos) << junk.output;
  Outcome verbose = RunBirdtoolProgram("info --verbose " + dir / "junk.bird");
  EXPECT_NE(verbose.output.find("BIRDFILE: Error (-3) decompressing bird file."), std::string::npos) << verbose.output;
  EXPECT_EQ(RunBirdtoolProgram("info " + dir / "missing.bird").status, 1);
  EXPECT_EQ(RunBirdtoolProgram("make --model 17 -o " + dir / "no/such/dir/x.bird").status, 1);
}

}  // namespace
