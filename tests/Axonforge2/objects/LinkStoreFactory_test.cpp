// Store slots and factory data: transfers against the device simulator, and the device
// misbehaviours the transfers must catch against a scripted device.

#include <gtest/gtest.h>

#include "LinkFactoryData.h"
#include "FakeModule.h"
#include "FastClock.h"
#include "LinkTestSupport.h"
#include "LinkStoreSlots.h"

namespace {

using namespace linktest;
using Slots = Tessaron::Axonforge::LinkStoreSlots;
using Factory = Tessaron::Axonforge::LinkFactoryData;

Bytes pattern(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(i * 7 + 3);
  return bytes;
}

using LinkStoreSlots = SimulatedModule;

TEST_F(LinkStoreSlots, LoadsAndUnloadsASlotIntoBuffersLargerAndSmallerThanIt) {
  size_t capacity = 0, size = 99;
  ASSERT_EQ(Slots(*link).capacity(kSimAddress, 0, 2, &capacity), aErrNone);
  EXPECT_EQ(capacity, 4096u);
  const Bytes data = pattern(260);  // 10 full chunks and one of 10 bytes
  ASSERT_EQ(Slots(*link).load(kSimAddress, 0, 2, data.data(), data.size()), aErrNone);
  ASSERT_EQ(Slots(*link).size(kSimAddress, 0, 2, &size), aErrNone);
  EXPECT_EQ(size, data.size());

  Bytes large(400, 0xEE);
  size_t unloaded = 0;
  ASSERT_EQ(Slots(*link).unload(kSimAddress, 0, 2, large.data(), large.size(), &unloaded), aErrNone);
  EXPECT_EQ(unloaded, data.size());
  EXPECT_EQ(Bytes(large.begin(), large.begin() + 260), data);
  EXPECT_EQ(large[260], 0xEE);

  Bytes small(40, 0xEE);
  EXPECT_EQ(Slots(*link).unload(kSimAddress, 0, 2, small.data(), small.size(), &unloaded), aErrOverrun);
  EXPECT_EQ(unloaded, 40u);
  EXPECT_EQ(small, Bytes(data.begin(), data.begin() + 40));
  // Closed again after every transfer: the slot can be written at once.
  EXPECT_EQ(Slots(*link).load(kSimAddress, 0, 2, data.data(), 1), aErrNone);
}

TEST_F(LinkStoreSlots, ReportsTheDeviceRefusalsAndAlwaysClosesTheSlot) {
  size_t capacity = 0, unloaded = 0;
  Bytes buffer(30);
  EXPECT_EQ(Slots(*link).capacity(kSimAddress, 5, 0, &capacity), aErrIndexRange);
  EXPECT_EQ(Slots(*link).load(kSimAddress, 5, 0, buffer.data(), buffer.size()), aErrMedia);  // cannot open
  EXPECT_EQ(Slots(*link).unload(kSimAddress, 5, 0, buffer.data(), buffer.size(), &unloaded), aErrIndexRange);
  // More than the slot holds: the device refuses the chunk that does not fit.
  const Bytes tooLong = pattern(4100);
  EXPECT_EQ(Slots(*link).load(kSimAddress, 0, 3, tooLong.data(), tooLong.size()), aErrOverrun);
  EXPECT_EQ(Slots(*link).load(kSimAddress, 0, 3, buffer.data(), buffer.size()), aErrNone);
}

using LinkFactoryData = SimulatedModule;

TEST_F(LinkFactoryData, ReadsTheFactoryRecordIntoALongerBufferOnly) {
  // The simulator's kind-0 record: serial, model, hardware version, then a text tag.
  const std::string tag = "Axonforge factory record";
  Bytes expected = {0x12, 0x34, 0xAB, 0xCD, kSimModel, 0, 0, 0, 1};
  expected.insert(expected.end(), tag.begin(), tag.end());
  Bytes buffer(64);
  size_t received = 0;
  ASSERT_EQ(Factory(*link).get(kSimAddress, 0, buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + received), expected);
  received = 0;
  EXPECT_EQ(Factory(*link).get(kSimAddress, 0, buffer.data(), expected.size(), &received), aErrOverrun);
  EXPECT_EQ(received, 0u);
}

TEST_F(LinkFactoryData, WritesRecordsAndReportsARefusalAsAWriteError) {
  for (size_t length : {52u, 60u, 1u}) {  // exactly two chunks, a partial third, one byte
    SCOPED_TRACE(length);
    const Bytes data = pattern(length);
    ASSERT_EQ(Factory(*link).set(kSimAddress, 3, data.data(), data.size()), aErrNone);
    Bytes buffer(100);
    size_t received = 0;
    ASSERT_EQ(Factory(*link).get(kSimAddress, 3, buffer.data(), buffer.size(), &received), aErrNone);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + received), data);
  }
  // The simulator keeps at most 512 bytes; its two-byte acknowledgement of the chunk that does
  // not fit carries only the error bit.
  const Bytes data = pattern(600);
  EXPECT_EQ(Factory(*link).set(kSimAddress, 4, data.data(), data.size()), aErrWrite);
}

TEST(LinkTransfers, CatchWrongChecksumsAndMalformedReplies) {
  FakeModule device{4};
  device.setHandler([](const WirePacket& request) -> std::vector<WirePacket> {
    const Bytes& d = request.data;
    if (d[0] == 0x5E && (d[1] & 0x0F) == 5) return {{4, {0x5E, 0x85}}};  // refused, without a code
    if (d[0] == 0x5E) return {{4, {0x5E, uint8_t(d[1] & 0x0F), 0}}};     // 3-byte acknowledgement
    if (d[1] == 1) return {{4, {4, 1, d[2], d[3], 0x10}}};              // 5 bytes: no 16-bit value
    if (d[1] == 4) return {{4, {4, 4, d[2], d[3], uint8_t(9 + d[3])}}};  // opened: handle 9 + slot
    if (d[1] == 7 && d[2] == 11) return {{4, {4, 0x87, 11, 0}}};        // refused, with code 0
    if (d[1] == 7) return {{4, {4, 7, d[2], 0x00}}};                    // a sum that never matches
    if (d[1] == 8) return {{4, {4, 8, d[2], 0}}};
    return {};
  });
  Link link(device.spec(), "fake");
  ASSERT_EQ(link.connect(), aErrNone);
  const Bytes data = pattern(30);
  EXPECT_EQ(Slots(link).load(4, 0, 1, data.data(), data.size()), aErrIO);
  const std::vector<WirePacket> sent = device.received(3);
  ASSERT_EQ(sent.size(), 3u);  // open, the first chunk (4, 7, handle, 25 bytes), close
  EXPECT_EQ(sent[1].data.size(), 28u);
  EXPECT_EQ(sent[2].data, (Bytes{4, 8, 10}));
  // A refusal must not pass for a finished transfer, even without its code.
  EXPECT_EQ(Slots(link).load(4, 0, 2, data.data(), data.size()), aErrUnknown);

  size_t value = 0;
  EXPECT_EQ(Slots(link).capacity(4, 0, 0, &value), aErrUnknown);
  link.setClock(FastClock::Make());
  EXPECT_EQ(Slots(link).size(4, 0, 0, &value), aErrTimeout);
  link.setClock(nullptr);
  EXPECT_EQ(Factory(link).set(4, 2, data.data(), 1), aErrSize);
  Bytes buffer(64);
  size_t received = 0;
  EXPECT_EQ(Factory(link).get(4, 5, buffer.data(), buffer.size(), &received), aErrUnknown);
}

}  // namespace
