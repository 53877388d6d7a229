#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Base64.h"

namespace {

struct Decoded {
  bool ok = false;
  std::string bytes;
};

std::string Encode(const std::string& bytes) {
  int length = -1;
  std::unique_ptr<char, decltype(&std::free)> text(
      base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()), &length), &std::free);
  EXPECT_NE(text, nullptr);
  if (!text) return "";
  EXPECT_EQ(text.get()[length], '\0');
  return std::string(text.get(), static_cast<size_t>(length));
}

Decoded Decode(const std::string& text) {
  unsigned int length = 12345;
  std::unique_ptr<char, decltype(&std::free)> bytes(
      base64_decode(text.data(), static_cast<unsigned int>(text.size()), &length), &std::free);
  if (!bytes) return {};
  EXPECT_EQ(bytes.get()[length], '\0');
  return {true, std::string(bytes.get(), length)};
}

// Bytes covering every value, in an order that differs per length.
std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 167 + length * 13) & 0xFF);
  return bytes;
}

TEST(Base64, KnownVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Encode(v.first), v.second) << v.first;
    Decoded decoded = Decode(v.second);
    EXPECT_TRUE(decoded.ok) << v.second;
    EXPECT_EQ(decoded.bytes, v.first);
  }
}

TEST(Base64, EveryLengthUpTo300RoundTrips) {
  for (size_t length = 0; length <= 300; ++length) {
    const std::string bytes = Pattern(length);
    const std::string text = Encode(bytes);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4) << length;
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    const size_t padding = (3 - length % 3) % 3;
    EXPECT_EQ(text.size() - text.find_last_not_of('=') - 1, padding) << length;
    Decoded decoded = Decode(text);
    ASSERT_TRUE(decoded.ok) << length;
    EXPECT_EQ(decoded.bytes, bytes) << length;
  }
}

TEST(Base64, DecodeReadsOnlyTheGivenLength) {
  const std::string text = "Zm9vYmFyGARBAGE";
  unsigned int length = 0;
  char* bytes = base64_decode(text.data(), 8, &length);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes, length), "foobar");
  std::free(bytes);
}

TEST(Base64, RejectsLengthsThatAreNotMultiplesOfFour) {
  for (const char* text : {"Z", "Zm", "Zm9", "Zm9vY", "Zm9vYmFy\n"}) EXPECT_FALSE(Decode(text).ok) << text;
}

TEST(Base64, RejectsCharactersOutsideTheAlphabet) {
  // Each of these in any of the four places of a group must fail, never decode to some bits.
  const std::string foreign[] = {"-", "_", " ", "\r", "\n", "*", ".", std::string(1, '\0'), "\x80", "\xff", "~"};
  for (const std::string& c : foreign) {
    for (size_t place = 0; place < 8; ++place) {
      std::string text = "Zm9vYmFy";
      text.replace(place, 1, c);
      EXPECT_FALSE(Decode(text).ok) << "byte " << static_cast<int>(static_cast<unsigned char>(c[0])) << " at "
                                    << place;
    }
  }
}

TEST(Base64, PaddingIsOnlyAcceptedAtTheEnd) {
  EXPECT_TRUE(Decode("Zm8=").ok);
  EXPECT_TRUE(Decode("Zg==").ok);
  for (const char* text : {"====", "Z===", "Zg=A", "=m9v", "Zg==Zm9v", "Zm=vYmFy"}) EXPECT_FALSE(Decode(text).ok) << text;
}

}  // namespace
