// Stream sample decoding and stream keys: pure functions of the packet and the key.

#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace {

using namespace linktest;

std::vector<uint8_t> sample(uint8_t type, uint64_t timestamp, uint32_t value, int width, int subindex = -1) {
  return SampleData(3, 12, 2, type, timestamp, value, width, subindex);
}

TEST(LinkStreamSample, DecodesEverySampleTypeWithItsTimestampValueAndSubindex) {
  struct Case {
    uint8_t type;
    int width;
    int subindex;
    uint32_t value;
  };
  const Case cases[] = {{1, 1, -1, 0xA5},  {2, 2, -1, 0xBEEF},  {3, 4, -1, 0xDEADBEEF},
                        {5, 1, 9, 0x5A},   {6, 2, 10, 0x1234},  {7, 4, 11, 0x89ABCDEF}};
  const uint64_t stamp = 0x0102030405060708ull;
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    Packet packet = MakePacket(6, sample(c.type, stamp, c.value, c.width, c.subindex));
    uint8_t type = 0;
    EXPECT_TRUE(Link::getStreamPacketType(packet.get(), &type));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(Link::isSubindexType(type), c.subindex >= 0);
    EXPECT_TRUE(Link::isStreamSample(packet.get()));
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    ASSERT_EQ(Link::getStreamSample(packet.get(), &timestamp, &value, &subindex), aErrNone);
    EXPECT_EQ(timestamp, stamp);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(subindex, c.subindex >= 0 ? c.subindex : 0);
    // Outputs are optional.
    EXPECT_EQ(Link::getStreamSample(packet.get(), nullptr, nullptr, nullptr), aErrNone);
  }
  uint32_t high = 0, low = 0;
  Link::getTimestampParts(stamp, &high, &low);
  EXPECT_EQ(high, 0x01020304u);
  EXPECT_EQ(low, 0x05060708u);
}

TEST(LinkStreamSample, RejectsPacketsOfTheWrongLengthTypeOrTrailer) {
  // A subindexed 32-bit sample needs 18 bytes; with 17 it is no sample.
  std::vector<uint8_t> shortened = sample(7, 1, 2, 4, 3);
  shortened.erase(shortened.begin() + 5);
  Packet seventeen = MakePacket(6, shortened);
  ASSERT_EQ(seventeen->dataSize, 17);
  EXPECT_FALSE(Link::isStreamSample(seventeen.get()));
  EXPECT_EQ(Link::getStreamSample(seventeen.get(), nullptr, nullptr, nullptr), aErrPacket);

  // A trailer with a sequence number or the continuation bit marks a multi-packet stream.
  std::vector<uint8_t> chained = sample(3, 1, 2, 4);
  chained.back() = 0x80;
  Packet bytes = MakePacket(6, chained);
  uint8_t type = 0;
  EXPECT_TRUE(Link::getStreamPacketType(bytes.get(), &type));
  EXPECT_EQ(type, Link::kSTREAM_PACKET_BYTES);
  EXPECT_EQ(Link::getStreamSample(bytes.get(), nullptr, nullptr, nullptr), aErrSize);

  // Type byte outside 1..7.
  std::vector<uint8_t> unknown = sample(3, 1, 2, 4);
  unknown[3] = 8;
  Packet odd = MakePacket(6, unknown);
  EXPECT_FALSE(Link::getStreamPacketType(odd.get(), &type));
  EXPECT_EQ(type, 0);
  EXPECT_EQ(Link::getStreamSample(odd.get(), nullptr, nullptr, nullptr), aErrUnknown);

  // An ordinary reply (no stream bit) is not a stream packet at all.
  Packet reply = MakePacket(6, {3, 12, 2, 1, 2, 3, 4});
  EXPECT_FALSE(Link::isStreamPacket(reply.get()));
  EXPECT_FALSE(Link::getStreamPacketType(reply.get(), &type));
  EXPECT_EQ(Link::getStreamSample(reply.get(), nullptr, nullptr, nullptr), aErrPacket);
}

TEST(LinkStreamKey, PacksFiveElementsAndReadsThemBack) {
  const uint64_t key = Link::createStreamKey(0x06, 0x03, 0x0C, 0x02, 0x09);
  EXPECT_EQ(key, 0x0906030C02ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::kSTREAM_KEY_MODULE), 0x06);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::kSTREAM_KEY_COMMAND), 0x03);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::kSTREAM_KEY_OPTION), 0x0C);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::kSTREAM_KEY_INDEX), 0x02);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::kSTREAM_KEY_SUBINDEX), 0x09);
  EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
  EXPECT_EQ(Link::createStreamKey(0xFF, 0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFFFull);
}

}  // namespace
