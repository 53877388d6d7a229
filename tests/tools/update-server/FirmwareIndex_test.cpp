#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>

#include "FirmwareIndex.h"
#include "TempDir.h"

namespace {

const char kIndex[] =
    "# lab mirror\n"
    "device 40F5849A AF-USBHub3p\n"
    "device 0000abcd AF-USBHub3p   # lower-case hex is fine\n"
    "device 11111111 AF-MTM-IO\n"
    "\n"
    "build * 900 1.0.0 any.bird\n"
    "build AF-USBHub3p 1200 2.10.0 hub/1200.bird\n"
    "build AF-USBHub3p 1300 2.11.2 hub/1300.bird\r\n"
    "build 40f5849a 1300 2.11.3 hub/1300-special.bird\n"
    "build 40F5849A 1400 2.12.0 hub/1400.bird\n"
    "fix 0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n";

std::string ParseError(const std::string& text) {
  try {
    FirmwareIndex::Parse(text, "index.txt");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::vector<uint32_t> BuildNumbers(const std::map<uint32_t, BuildEntry>& builds) {
  std::vector<uint32_t> numbers;
  for (const auto& entry : builds) numbers.push_back(entry.first);
  return numbers;
}

TEST(FirmwareIndex, DeviceGetsItsSerialModelAndAnyBuildsWithSerialWinning) {
  const FirmwareIndex index = FirmwareIndex::Parse(kIndex, "index.txt");
  const auto builds = index.BuildsFor(0x40F5849A);
  EXPECT_EQ(BuildNumbers(builds), (std::vector<uint32_t>{900, 1200, 1300, 1400}));
  EXPECT_EQ(builds.at(1300).file, "hub/1300-special.bird");
  EXPECT_EQ(builds.at(1300).version, "2.11.3");
  EXPECT_EQ(builds.at(1200).file, "hub/1200.bird");

  // Same model, no serial entries: the model's own 1300.
  const auto sibling = index.BuildsFor(0x0000ABCD);
  EXPECT_EQ(BuildNumbers(sibling), (std::vector<uint32_t>{900, 1200, 1300}));
  EXPECT_EQ(sibling.at(1300).file, "hub/1300.bird");

  EXPECT_EQ(BuildNumbers(index.BuildsFor(0x11111111)), std::vector<uint32_t>{900});  // other model
  EXPECT_EQ(BuildNumbers(index.BuildsFor(0x22222222)), std::vector<uint32_t>{900});  // unknown device
}

TEST(FirmwareIndex, RecoveryEntriesAreFoundByExactFingerprint) {
  const FirmwareIndex index = FirmwareIndex::Parse(kIndex, "index.txt");
  const RecoveryEntry* entry = index.FindRecovery({0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC});
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->serial, 0x40F5849Au);
  EXPECT_EQ(entry->build, 1300u);
  EXPECT_EQ(index.FindRecovery({0x99AABBCC, 0x55667788, 0x11223344, 0x0A0B0C0D}), nullptr);
}

TEST(FirmwareIndex, ListsEachFileOnce) {
  const FirmwareIndex index = FirmwareIndex::Parse(kIndex + std::string("build 22222222 5 1.0.0 any.bird\n"), "i");
  EXPECT_EQ(index.Files(), (std::vector<std::string>{"any.bird", "hub/1200.bird", "hub/1300-special.bird",
                                                     "hub/1300.bird", "hub/1400.bird"}));
}

TEST(FirmwareIndex, BadLinesNameTheLineAndTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"\n\nfirmware x\n", "index.txt:3: unknown entry 'firmware'"},
      {"device 40F5849A\n", "index.txt:1: expected \"device <serial> <model>\""},
      {"device 40F5849 AF-USBHub3p\n", "'40F5849' is not a serial number"},
      {"device 40F5849G AF-USBHub3p\n", "'40F5849G' is not a serial number"},
      {"device 40F5849A A\ndevice 40F5849A B\n", "index.txt:2: device 40F5849A listed twice"},
      {"build * 0 1.0.0 f\n", "'0' is not a build number"},
      {"build * 12x 1.0.0 f\n", "'12x' is not a build number"},
      {"build * 99999999999 1.0.0 f\n", "'99999999999' is not a build number"},
      {"build * 1 1.0 f\n", "'1.0' is not a version"},
      {"build * 1 1.0.0. f\n", "'1.0.0.' is not a version"},
      {"build * 1 1.a.0 f\n", "'1.a.0' is not a version"},
      {"build * 1 1.0.0 ../outside.bird\n", "'../outside.bird' must be a path inside"},
      {"build * 1 1.0.0 /etc/passwd\n", "'/etc/passwd' must be a path inside"},
      {"build * 1 1.0.0 a/../../b\n", "must be a path inside"},
      {"build * 1 1.0.0 f extra\n", "expected \"build <scope> <build> <version> <file>\""},
      {"build 0000000A 1 1.0.0 f\nbuild 0000000a 1 1.0.1 g\n", "index.txt:2: build 1 listed twice for 0000000A"},
      {"fix 1 2 3 4 5 6\n", "'1' is not a serial number"},
      {"fix 00000001 00000002 00000003 00000004 00000005\n", "expected \"fix"},
      {"fix 00000001 00000002 00000003 00000004 00000005 6\nfix 00000001 00000002 00000003 00000004 00000007 8\n",
       "index.txt:2: fingerprint listed twice"},
      {"build 00000005 7 1.0.0 f\nfix 00000001 00000002 00000003 00000004 00000005 6\n",
       "index.txt: fix entry for 00000005 names build 6, which is not offered to that device"},
  };
  for (const auto& c : cases) {
    const std::string error = ParseError(c.first);
    EXPECT_NE(error.find(c.second), std::string::npos) << c.first << " gave: " << error;
  }
}

TEST(FirmwareIndex, CommentsAndBlankLinesAreIgnored) {
  EXPECT_EQ(ParseError("# only a comment\n   \n\t\n# device x\n"), "");
  EXPECT_EQ(ParseError(""), "");
}

TEST(FirmwareIndex, LoadChecksThatBuildFilesExist) {
  TempDir dir;
  WriteTextFile(dir / "index.txt", "build * 1 1.0.0 sub/one.bird\n");
  try {
    FirmwareIndex::Load(dir.path());
    ADD_FAILURE() << "missing build file accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("sub/one.bird is missing"), std::string::npos) << e.what();
  }
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteTextFile(dir / "sub/one.bird", "bird");
  EXPECT_EQ(FirmwareIndex::Load(dir.path()).BuildsFor(1).at(1).file, "sub/one.bird");
}

TEST(FirmwareIndex, LoadWithoutIndexFails) {
  TempDir dir;
  EXPECT_THROW(FirmwareIndex::Load(dir.path()), std::runtime_error);
}

}  // namespace
