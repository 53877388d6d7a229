#include <gtest/gtest.h>

#include <string>

#include "aVersion.h"

namespace {

void ExpectParses(uint32_t word, uint32_t major, uint32_t minor, uint32_t patch) {
  EXPECT_EQ(aVersion_ParseMajor(word), major) << std::hex << word;
  EXPECT_EQ(aVersion_ParseMinor(word), minor) << std::hex << word;
  EXPECT_EQ(aVersion_ParsePatch(word), patch) << std::hex << word;
}

}  // namespace

TEST(aVersionPacking, LegacyLayout) {
  EXPECT_EQ(aVersion_Pack(1, 3, 7), 0x13000007u);
  EXPECT_TRUE(aVersion_IsLegacyFormat(0x13000007u));
  ExpectParses(0x13000007u, 1, 3, 7);
  EXPECT_EQ(aVersion_Pack(2, 14, 9), 0x2E000009u);
  EXPECT_TRUE(aVersion_IsLegacyFormat(0x2E000009u));
  ExpectParses(0x2E000009u, 2, 14, 9);
  // Parsing takes the full 24-bit patch.
  ExpectParses(0x11012345u, 1, 1, 74565);
  EXPECT_EQ(aVersion_Pack(0, 0, 0), 0u);
}

TEST(aVersionPacking, CurrentLayout) {
  EXPECT_EQ(aVersion_Pack(2, 15, 0), 0x2F020F00u);
  EXPECT_FALSE(aVersion_IsLegacyFormat(0x2F020F00u));
  ExpectParses(0x2F020F00u, 2, 15, 0);
  EXPECT_EQ(aVersion_Pack(3, 0, 255), 0x2F0300FFu);
  ExpectParses(0x2F0300FFu, 3, 0, 255);
  EXPECT_EQ(aVersion_Pack(255, 254, 253), 0x2FFFFEFDu);
  ExpectParses(0x2FFFFEFDu, 255, 254, 253);
}

TEST(aVersionPacking, RoundTripsEveryRepresentableVersion) {
  for (unsigned major = 0; major < 256; major += 1) {
    for (unsigned minor = 0; minor < 256; minor += 3) {
      const bool legacy = major < 2 || (major == 2 && minor < 15);
      if (legacy && minor > 15) continue;  // legacy minors have 4 bits
      const uint32_t word = aVersion_Pack(major, minor, 0xA5);
      ASSERT_EQ(aVersion_IsLegacyFormat(word), legacy) << major << "." << minor;
      ASSERT_EQ(aVersion_ParseMajor(word), major);
      ASSERT_EQ(aVersion_ParseMinor(word), minor);
      ASSERT_EQ(aVersion_ParsePatch(word), 0xA5u);
    }
  }
}

TEST(aVersionText, ParseStringFormatsAndTruncates) {
  char buf[32];
  EXPECT_EQ(aVersion_ParseString(0x2F020F00u, buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "2.15.0");
  EXPECT_EQ(aVersion_ParseString(0x11012345u, buf, sizeof buf), 9u);
  EXPECT_STREQ(buf, "1.1.74565");
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(aVersion_ParseString(0x2F020F00u, small, sizeof small), 3u);
  EXPECT_STREQ(small, "2.1");
  EXPECT_EQ(aVersion_ParseString(0x2F020F00u, nullptr, 10), 0u);
}

TEST(aVersionLibrary, OwnVersion) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 11);
  EXPECT_EQ(aVersion_GetPatch(), 2);
  EXPECT_STREQ(aVersion_GetString(), "2.11.2");
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 2));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 3));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(aVersionCompare, LexicographicOnBytes) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 2, 2, 11, 2));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 11, 2, 2, 12, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 255, 255, 3, 0, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 0, 2, 11, 9));
  // Numbers are taken modulo 256: 258 reads as 2.
  EXPECT_FALSE(aVersion_IsAtLeastCompare(258, 0, 0, 3, 0, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(1, 1, 300, 1, 1, 44));
}

TEST(aVersionFeatures, TableAndList) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
}
