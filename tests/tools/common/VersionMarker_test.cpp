#include <gtest/gtest.h>

#include <vector>

#include "../../../tools/common/VersionMarker.h"

TEST(VersionMarker, FoundInsideAnImageAfterMalformedOnes) {
  VersionMarker::Version v{1234, 2, 15, 7};
  std::string marker = VersionMarker::Format(v);
  EXPECT_EQ(marker, std::string("AFVER:1234:2.15.7\0", 18));
  std::vector<uint8_t> image(100, 0xFF);
  const char bad[] = "AFVER:12:x";  // malformed, must be skipped
  image.insert(image.begin() + 10, bad, bad + sizeof bad);
  image.insert(image.begin() + 60, marker.begin(), marker.end());
  VersionMarker::Version found;
  ASSERT_TRUE(VersionMarker::Find(image.data(), image.size(), &found));
  EXPECT_EQ(VersionMarker::Format(found), marker);  // every field, in one readable line
}

TEST(VersionMarker, UnterminatedOrAbsentMarkerIsNotFound) {
  std::string text = "xxAFVER:1:2.3.4";  // no NUL before the end of the image
  VersionMarker::Version found;
  EXPECT_FALSE(VersionMarker::Find(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &found));
  EXPECT_FALSE(VersionMarker::Find(nullptr, 0, &found));
}
