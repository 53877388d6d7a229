#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "aUEI.h"

namespace {

struct PacketHolder {
  aPacket* p;
  explicit PacketHolder(const std::vector<uint8_t>& data, uint8_t address = 4)
      : p(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data())) {}
  ~PacketHolder() { aPacket_Destroy(&p); }
};

}  // namespace

TEST(aUEIValues, BigEndianStoreAndRetrieve) {
  uint8_t buf[4] = {};
  EXPECT_EQ(aUEI_StoreShort(buf, 0xA1B2), buf);
  EXPECT_EQ(buf[0], 0xA1);
  EXPECT_EQ(buf[1], 0xB2);
  EXPECT_EQ(aUEI_RetrieveShort(buf), 0xA1B2);
  EXPECT_EQ(aUEI_StoreInt(buf, 0x8C0D0E0F), buf);
  EXPECT_EQ(buf[0], 0x8C);
  EXPECT_EQ(buf[3], 0x0F);
  EXPECT_EQ(aUEI_RetrieveInt(buf), 0x8C0D0E0Fu);
}

TEST(aUEIValues, ModifyIntBufferConvertsEachWordFromWireOrder) {
  const uint8_t wire[] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0xE0, 0xD0, 0xC0};
  uint32_t words[2];
  memcpy(words, wire, sizeof words);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x01020304u);
  EXPECT_EQ(words[1], 0xF0E0D0C0u);
  aUEI_ModifyIntBuffer(nullptr, 2);  // must not crash
}

TEST(aUEIBytes, TrailerSequenceContinueAndFullness) {
  std::vector<uint8_t> full = {3, 0x05, 0x21};
  full.resize(27, 0xEE);
  full.push_back(0x80 | 0x05);  // more follows, sequence 5
  PacketHolder fullPacket(full);
  EXPECT_EQ(aUEI_getBytesSequence(fullPacket.p), 5);
  EXPECT_EQ(aUEI_getBytesContinue(fullPacket.p), 1);
  EXPECT_TRUE(aUEI_getBytesFullPacket(fullPacket.p));

  PacketHolder last({3, 0x05, 0x21, 0xAA, 0x7F});
  EXPECT_EQ(aUEI_getBytesSequence(last.p), 0x7F);
  EXPECT_EQ(aUEI_getBytesContinue(last.p), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(last.p));

  std::vector<uint8_t> of27(27, 1);
  PacketHolder p27(of27);
  EXPECT_TRUE(aUEI_getBytesFullPacket(p27.p));
  std::vector<uint8_t> of26(26, 1);
  PacketHolder p26(of26);
  EXPECT_FALSE(aUEI_getBytesFullPacket(p26.p));

  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(aUEIPayload, SystemCommandsAreNotUEI) {
  for (uint8_t command : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
    PacketHolder h({command, 0, 0});
    EXPECT_TRUE(aUEI_isNotUEIPayload(h.p)) << int(command);
    EXPECT_FALSE(aUEI_isUEIPayload(h.p)) << int(command);
  }
  for (uint8_t command : {3, 5, 10, 22, 25, 72, 74, 96, 172, 174, 176, 255}) {
    PacketHolder h({command, 0, 0});
    EXPECT_TRUE(aUEI_isUEIPayload(h.p)) << int(command);
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEIPayload, StreamPacketRule) {
  // command 3, plain option, stream flag, a 32-bit value
  PacketHolder sample({3, 0x02, 0x40 | 0x01, 0, 0, 0, 9});
  EXPECT_TRUE(aUEI_isStreamPacket(sample.p));
  PacketHolder shortOne({3, 0x02, 0x41, 9});  // dataSize 4 is too short
  EXPECT_FALSE(aUEI_isStreamPacket(shortOne.p));
  PacketHolder getReply({3, 0x42, 0x41, 0, 9});  // a direction flag set
  EXPECT_FALSE(aUEI_isStreamPacket(getReply.p));
  PacketHolder noFlag({3, 0x02, 0x01, 0, 9});
  EXPECT_FALSE(aUEI_isStreamPacket(noFlag.p));
  PacketHolder system({173, 0x02, 0x41, 0, 9});
  EXPECT_FALSE(aUEI_isStreamPacket(system.p));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}
