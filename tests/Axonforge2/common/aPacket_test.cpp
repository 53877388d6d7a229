#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "aPacket.h"

namespace {

// Owns a packet for the length of a test.
struct PacketHolder {
  aPacket* p;
  explicit PacketHolder(aPacket* packet) : p(packet) {}
  ~PacketHolder() {
    if (p != nullptr) aPacket_Destroy(&p);
  }
};

// Feeds bytes one at a time and returns each step's result.
std::vector<aErr> Feed(aPacket* packet, const std::vector<uint8_t>& bytes) {
  std::vector<aErr> results;
  for (uint8_t b : bytes) results.push_back(aPacket_AddByte(packet, b));
  return results;
}

}  // namespace

TEST(aPacketAssembly, BuildsAFullPacketByteByByte) {
  PacketHolder h(aPacket_Create());
  ASSERT_NE(h.p, nullptr);
  std::vector<uint8_t> wire = {0x06, 28};
  for (int i = 0; i < 28; ++i) wire.push_back(static_cast<uint8_t>(0xA0 + i));
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_FALSE(aPacket_IsComplete(h.p)) << "complete too early at byte " << i;
    ASSERT_EQ(aPacket_AddByte(h.p, wire[i]), aErrNone) << "byte " << i;
  }
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->address, 0x06);
  EXPECT_EQ(h.p->dataSize, 28);
  EXPECT_EQ(h.p->curSize, 30);
  for (int i = 0; i < 28; ++i) EXPECT_EQ(h.p->data[i], 0xA0 + i);
}

TEST(aPacketAssembly, AddressMustBeEvenAndNonZero) {
  PacketHolder h(aPacket_Create());
  EXPECT_EQ(aPacket_AddByte(h.p, 0x00), aErrPacket);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x05), aErrPacket);
  EXPECT_EQ(h.p->address, 0);
  // Rejected bytes still count towards the size limit.
  EXPECT_EQ(h.p->curSize, 2);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x04), aErrNone);
  EXPECT_EQ(h.p->address, 0x04);
}

TEST(aPacketAssembly, ZeroLengthGivesCompleteEmptyPacket) {
  PacketHolder h(aPacket_Create());
  EXPECT_EQ(Feed(h.p, {0x04, 0x00}), (std::vector<aErr>{aErrNone, aErrNone}));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->dataSize, 0);
  EXPECT_EQ(h.p->curSize, 2);
}

TEST(aPacketAssembly, OversizeLengthAndOverrunAreRejectedWithoutWritingPastData) {
  PacketHolder h(aPacket_Create());
  EXPECT_EQ(Feed(h.p, {0x02, 29}), (std::vector<aErr>{aErrNone, aErrPacket}));
  EXPECT_EQ(h.p->dataSize, 29);
  EXPECT_FALSE(aPacket_IsComplete(h.p));
  // Keep feeding without a reset: payload up to the 30th byte, then overrun for ever.
  for (int i = 2; i < 30; ++i) EXPECT_EQ(aPacket_AddByte(h.p, 0x55), aErrNone) << i;
  EXPECT_EQ(aPacket_AddByte(h.p, 0x55), aErrOverrun);
  EXPECT_EQ(aPacket_AddByte(h.p, 0x55), aErrOverrun);
  EXPECT_LE(h.p->curSize, 31);
}

TEST(aPacketAssembly, BytesBeyondTheDeclaredLengthAreRejected) {
  PacketHolder h(aPacket_Create());
  EXPECT_EQ(Feed(h.p, {0x02, 2, 0x11, 0x22}), (std::vector<aErr>(4, aErrNone)));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(aPacket_AddByte(h.p, 0x33), aErrPacket);
  EXPECT_EQ(h.p->data[2], 0);
}

TEST(aPacketAssembly, ResetStartsANewPacket) {
  PacketHolder h(aPacket_Create());
  Feed(h.p, {0x08, 3, 1, 2, 3});
  ASSERT_TRUE(aPacket_IsComplete(h.p));
  ASSERT_EQ(aPacket_Reset(h.p), aErrNone);
  EXPECT_EQ(h.p->curSize, 0);
  EXPECT_EQ(h.p->address, 0);
  EXPECT_EQ(h.p->dataSize, 0);
  for (uint8_t b : h.p->data) EXPECT_EQ(b, 0);
  EXPECT_EQ(Feed(h.p, {0x0A, 1, 9}), (std::vector<aErr>(3, aErrNone)));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->address, 0x0A);
  EXPECT_EQ(h.p->data[0], 9);
}

TEST(aPacketCreate, WithDataCopiesAndRefusesOversize) {
  uint8_t payload[29];
  for (int i = 0; i < 29; ++i) payload[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(aPacket_CreateWithData(2, 29, payload), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(2, 1, nullptr), nullptr);
  PacketHolder h(aPacket_CreateWithData(0x10, 28, payload));
  ASSERT_NE(h.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->curSize, 30);
  payload[0] = 0xFF;  // the packet holds its own copy
  EXPECT_EQ(h.p->data[0], 1);
  PacketHolder copy(aPacket_Copy(h.p));
  ASSERT_NE(copy.p, nullptr);
  EXPECT_NE(copy.p, h.p);
  EXPECT_EQ(copy.p->address, 0x10);
  EXPECT_EQ(copy.p->dataSize, 28);
  EXPECT_EQ(0, memcmp(copy.p->data, h.p->data, 28));
  EXPECT_TRUE(aPacket_IsComplete(copy.p));
}

TEST(aPacketCreate, EmptyPayloadIsAllowed) {
  uint8_t none = 0;
  PacketHolder h(aPacket_CreateWithData(0xAD, 0, &none));
  ASSERT_NE(h.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->curSize, 2);
}

TEST(aPacketGetters, ReadMaskedHeaderBytes) {
  const uint8_t payload[] = {0x12, 0xC5, 0xE3};
  PacketHolder h(aPacket_CreateWithData(4, 3, payload));
  uint8_t v = 0;
  EXPECT_EQ(aPacket_GetCmd(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x12);
  EXPECT_EQ(aPacket_GetOption(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x05);
  EXPECT_EQ(aPacket_GetIndex(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x03);
}

TEST(aPacketGetters, ShortPayloadsAndBadArguments) {
  const uint8_t payload[] = {0x12, 0x40};
  PacketHolder two(aPacket_CreateWithData(4, 2, payload));
  PacketHolder empty(aPacket_Create());
  uint8_t v = 0x77;
  EXPECT_EQ(aPacket_GetIndex(two.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetOption(two.p, &v), aErrNone);
  EXPECT_EQ(aPacket_GetCmd(empty.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetOption(empty.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
  // A null out pointer is a parameter error whatever the packet.
  EXPECT_EQ(aPacket_GetCmd(nullptr, nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(two.p, nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetOption(two.p, nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetIndex(two.p, nullptr), aErrParam);
}

TEST(aPacketValidity, ForgedOrNullPacketsAreRefused) {
  aPacket forged{};
  forged.check = 0x1234;
  forged.dataSize = 3;
  uint8_t v = 0;
  EXPECT_EQ(aPacket_GetCmd(&forged, &v), aErrPacket);
  EXPECT_EQ(aPacket_AddByte(&forged, 2), aErrParam);
  EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&forged));
  EXPECT_EQ(aPacket_Copy(&forged), nullptr);
  EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(aPacketValidity, DestroyNullsTheHandle) {
  aPacket* p = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}
