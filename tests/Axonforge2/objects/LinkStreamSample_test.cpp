// Stream sample decoding and stream keys: pure functions of the packet and the key.

#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace {

using namespace linktest;

TEST(LinkStreamSample, DecodesEverySampleTypeWithItsTimestampValueAndSubindex) {
  struct Case {
    uint8_t type;
    int width;
    int subindex;
    uint32_t value;
  };
  const Case cases[] = {{1, 1, -1, 0xA5}, {2, 2, -1, 0xBEEF}, {3, 4, -1, 0xDEADBEEF},
                        {5, 1, 9, 0x5A},  {6, 2, 10, 0x1234}, {7, 4, 11, 0x89ABCDEF}};
  const uint64_t stamp = 0x0102030405060708ull;
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    Packet packet = MakePacket(6, SampleData(3, 12, 2, c.type, stamp, c.value, c.width, c.subindex));
    uint8_t type = 0;
    EXPECT_TRUE(LinkStreams::getStreamPacketType(packet.get(), &type));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(LinkStreams::isSubindexType(type), c.subindex >= 0);
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    ASSERT_EQ(LinkStreams::getStreamSample(packet.get(), &timestamp, &value, &subindex), aErrNone);
    EXPECT_EQ(timestamp, stamp);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(subindex, c.subindex >= 0 ? c.subindex : 0);
  }
  uint32_t high = 0, low = 0;
  LinkStreams::getTimestampParts(stamp, &high, &low);
  EXPECT_EQ(high, 0x01020304u);
  EXPECT_EQ(low, 0x05060708u);
}

TEST(LinkStreamSample, RejectsPacketsOfTheWrongLengthTypeOrTrailer) {
  std::vector<uint8_t> data = SampleData(3, 12, 2, 7, 1, 2, 4, 3);
  data.erase(data.begin() + 5);  // a subindexed 32-bit sample of 17 bytes instead of 18
  EXPECT_EQ(LinkStreams::getStreamSample(MakePacket(6, data).get(), nullptr, nullptr, nullptr), aErrPacket);
  data = SampleData(3, 12, 2, 3, 1, 2, 4);
  data.back() = 0x80;  // a trailer that continues: a multi-packet stream
  EXPECT_EQ(LinkStreams::getStreamSample(MakePacket(6, data).get(), nullptr, nullptr, nullptr), aErrSize);
  data.back() = 0;
  data[3] = 8;  // no such sample type
  EXPECT_EQ(LinkStreams::getStreamSample(MakePacket(6, data).get(), nullptr, nullptr, nullptr), aErrUnknown);
  data[2] = 2;  // no stream bit: an ordinary reply
  EXPECT_EQ(LinkStreams::getStreamSample(MakePacket(6, data).get(), nullptr, nullptr, nullptr), aErrPacket);
}

TEST(LinkStreamKey, PacksFiveElementsAndReadsThemBack) {
  const uint64_t key = LinkStreams::createStreamKey(0x06, 0x03, 0x0C, 0x02, 0x09);
  EXPECT_EQ(key, 0x0906030C02ull);
  const uint8_t elements[] = {0x06, 0x03, 0x0C, 0x02, 0x09, 0};
  for (uint8_t element = 0; element < 6; ++element) {
    EXPECT_EQ(LinkStreams::getStreamKeyElement(key, element), elements[element]) << int(element);
  }
}

}  // namespace
