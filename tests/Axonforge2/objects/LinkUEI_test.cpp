// UEI requests and replies, and raw command packets: the exact bytes on the wire against a
// scripted device, and whole conversations against the device simulator.

#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "FakeModule.h"
#include "LinkTestSupport.h"

namespace {

using namespace linktest;

class LinkToFakeModule : public ::testing::Test {
 protected:
  void SetUp() override {
    link = std::make_unique<Link>(device.spec(), "fake");
    ASSERT_EQ(link->connect(), aErrNone);
  }
  uint8_t module() const { return device.address(); }

  // Sends a record and returns what arrived at the device.
  std::vector<WirePacket> sent(const uei& record, size_t expectedPackets, int subindex = -1) {
    device.clearReceived();
    const aErr result = subindex < 0 ? link->sendUEI(record) : link->sendUEI(record, uint8_t(subindex));
    EXPECT_EQ(result, aErrNone);
    EXPECT_TRUE(device.waitForReceived(expectedPackets));
    return device.received();
  }

  FakeModule device;
  std::unique_ptr<Link> link;
};

TEST_F(LinkToFakeModule, SendsEachValueTypeBigEndianAfterTheHeader) {
  uei record = Record(module(), 3, 0x80 | 5, 0x20 | 1);
  struct Case {
    uint32_t type;
    uint32_t value;
    Bytes plain;
    Bytes subindexed;  // with subindex 9
  };
  const Case cases[] = {
      {UEI_TYPE_NONE, 0, {}, {9}},
      {UEI_TYPE_BYTE, 0xAB, {0xAB}, {9, 0xAB}},
      {UEI_TYPE_SHORT, 0xBEEF, {0xBE, 0xEF}, {9, 0xBE, 0xEF}},
      {UEI_TYPE_INT, 0x01020304, {1, 2, 3, 4}, {9, 1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    record.type = c.type;
    record.value.intVal = 0;
    if (c.type == UEI_TYPE_BYTE) record.value.byteVal = uint8_t(c.value);
    if (c.type == UEI_TYPE_SHORT) record.value.shortVal = uint16_t(c.value);
    if (c.type == UEI_TYPE_INT) record.value.intVal = c.value;
    Bytes header = {3, 0x85, 0x21};
    Bytes plain = header, subindexed = header;
    plain.insert(plain.end(), c.plain.begin(), c.plain.end());
    subindexed.insert(subindexed.end(), c.subindexed.begin(), c.subindexed.end());
    EXPECT_EQ(sent(record, 1), (std::vector<WirePacket>{{module(), plain}}));
    EXPECT_EQ(sent(record, 1, 9), (std::vector<WirePacket>{{module(), subindexed}}));
  }
}

TEST_F(LinkToFakeModule, SplitsBytesValuesIntoChunksWithSequenceTrailers) {
  for (size_t length : {0u, 24u, 25u, 1001u, 3200u}) {
    SCOPED_TRACE(length);
    Bytes value(length);
    std::iota(value.begin(), value.end(), uint8_t(1));
    uei record = Record(module(), 3, 0x80 | 32, 0x20, UEI_TYPE_BYTES);
    record.value.bytesVal = {value.data(), value.size()};
    const size_t packets = length == 0 ? 1 : (length + 23) / 24;
    const std::vector<WirePacket> got = sent(record, packets);
    ASSERT_EQ(got.size(), packets);
    Bytes joined;
    for (size_t i = 0; i < got.size(); ++i) {
      const Bytes& data = got[i].data;
      ASSERT_GE(data.size(), 4u);
      EXPECT_EQ(Bytes(data.begin(), data.begin() + 3), (Bytes{3, 0x80 | 32, 0x20}));
      const bool last = i + 1 == got.size();
      EXPECT_EQ(data.size(), last ? 4 + (length - 24 * i) : 28u);
      EXPECT_EQ(data.back(), uint8_t((i % 128) | (last ? 0 : 0x80))) << "packet " << i;
      joined.insert(joined.end(), data.begin() + 3, data.end() - 1);
    }
    EXPECT_EQ(joined, value);
  }
  // The exact split at the boundary: 24 bytes + 0x80, then 1 byte + 0x01.
  Bytes value(25, 0x55);
  uei record = Record(module(), 3, 0x80 | 32, 0x20, UEI_TYPE_BYTES);
  record.value.bytesVal = {value.data(), value.size()};
  const std::vector<WirePacket> got = sent(record, 2);
  EXPECT_EQ(got[0].data.back(), 0x80);
  EXPECT_EQ(got[1].data, (Bytes{3, 0x80 | 32, 0x20, 0x55, 0x01}));
}

TEST_F(LinkToFakeModule, RefusesBadAddressesAndUnsendableRecordsWithoutSending) {
  uei record = Record(module(), 3, 0x41, 0x20);
  for (uint8_t address : {uint8_t(0), uint8_t(5)}) {
    record.module = address;
    EXPECT_EQ(link->sendUEI(record), aErrPacket);
    EXPECT_EQ(link->sendUEI(record, 1), aErrPacket);
    EXPECT_EQ(link->receiveUEI(address, 3, 1, 0, &record), aErrPacket);
    EXPECT_EQ(link->dropMatchingUEIPackets(address, 3, 1, 0), aErrPacket);
    uint8_t data[28] = {}, length = 0;
    EXPECT_EQ(link->sendPacket(address, 23, 0, data), aErrPacket);
    EXPECT_EQ(link->receivePacket(address, data, &length, data), aErrPacket);
  }
  record.module = module();
  record.type = UEI_TYPE_BYTES;
  uint8_t byte = 1;
  record.value.bytesVal = {&byte, 1};
  EXPECT_EQ(link->sendUEI(record, 1), aErrParam);  // no subindexed bytes form
  record.type = 3;                                 // no such value type
  EXPECT_EQ(link->sendUEI(record), aErrParam);
  record.type = UEI_TYPE_BYTES;
  record.value.bytesVal = {nullptr, 4};
  EXPECT_EQ(link->sendUEI(record), aErrParam);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(device.received().empty());
}

TEST_F(LinkToFakeModule, ReadsTheReplyValueByItsLengthAndKeepsErrorReplies) {
  struct Case {
    Bytes reply;
    uint32_t type;
    uint32_t value;
  };
  const Case cases[] = {
      {{3, 5, 1}, UEI_TYPE_NONE, 0},
      {{3, 5, 1, 0xAB}, UEI_TYPE_BYTE, 0xAB},
      {{3, 5, 1, 0xBE, 0xEF}, UEI_TYPE_SHORT, 0xBEEF},
      {{3, 5, 1, 0xDE, 0xAD, 0xBE, 0xEF}, UEI_TYPE_INT, 0xDEADBEEF},
      {{3, 5, 1, 1, 2, 3}, 77, 0x55555555},  // no value width: record left as it was
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.size());
    ASSERT_TRUE(device.send({module(), c.reply}));
    uei record = Record(module(), 3, 5, 1, 77);
    record.value.intVal = 0x55555555;
    ASSERT_EQ(link->receiveUEI(module(), 3, 5, 1, &record), aErrNone);
    EXPECT_EQ(record.type, c.type);
    const uint32_t got = c.type == UEI_TYPE_BYTE    ? record.value.byteVal
                         : c.type == UEI_TYPE_SHORT ? record.value.shortVal
                         : c.type == UEI_TYPE_NONE  ? 0
                                                    : record.value.intVal;
    EXPECT_EQ(got, c.value);
  }
  // An error reply: bit 7 stays in the specifier, the code lands in byteVal.
  ASSERT_TRUE(device.send({module(), {3, 5, 0x80 | 1, aErrInvalidOption}}));
  uei record = Record(module(), 3, 5, 1);
  ASSERT_EQ(link->receiveUEI(module(), 3, 5, 1, &record), aErrNone);
  EXPECT_EQ(record.specifier, 0x81);
  EXPECT_EQ(record.value.byteVal, aErrInvalidOption);
}

TEST_F(LinkToFakeModule, OtherRepliesStayQueuedUntilDroppedOrTaken) {
  ASSERT_TRUE(device.send({module(), {3, 7, 0, 1}}));        // option 7: waits for someone else
  ASSERT_TRUE(device.send({uint8_t(module() + 2), {3, 5, 0, 2}}));  // another module
  ASSERT_TRUE(device.send({module(), {3, 5, 2, 3}}));        // another index
  ASSERT_TRUE(device.send({module(), {3, 5, 0, 4}}));        // the one wanted
  uei record = Record(module(), 3, 5, 0);
  ASSERT_EQ(link->receiveUEI(module(), 3, 5, 0, &record), aErrNone);
  EXPECT_EQ(record.value.byteVal, 4);

  EXPECT_EQ(link->dropMatchingUEIPackets(module(), 3, 7, 0), aErrNone);
  uei dropped = Record(module(), 3, 7, 0);
  const auto start = Clock::now();
  EXPECT_EQ(link->receiveUEI(module(), 3, 7, 0, &dropped), aErrTimeout);
  EXPECT_GE(ElapsedMs(start), 950);
  uei other = Record(module(), 3, 5, 2);
  EXPECT_EQ(link->receiveUEI(module(), 3, 5, 2, &other), aErrNone);
  EXPECT_EQ(other.value.byteVal, 3);
}

TEST_F(LinkToFakeModule, WaitsLongerForTheReplyToALargeBytesValue) {
  // The device takes 1.5 s to answer each request.
  device.setHandler([this](const WirePacket&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return std::vector<WirePacket>{{module(), {3, 0xC0 | 32, 0}}};
  });
  Bytes value(1001, 7);
  for (size_t length : {1001u, 1000u}) {
    SCOPED_TRACE(length);
    uei record = Record(module(), 3, 0x80 | 32, 0x20, UEI_TYPE_BYTES);
    record.value.bytesVal = {value.data(), length};
    ASSERT_EQ(link->sendPacket(module(), 0x10, 0, nullptr), aErrNone);  // the request that is answered late
    record.option = 0xC0 | 32;
    record.specifier = 0;
    const auto start = Clock::now();
    const aErr result = link->receiveUEI(module(), 3, record.option, 0, &record);
    if (length > 1000) {
      EXPECT_EQ(result, aErrNone);
      EXPECT_EQ(record.type, UEI_TYPE_NONE);
    } else {
      EXPECT_EQ(result, aErrTimeout);
      EXPECT_LT(ElapsedMs(start), 1400);
    }
  }
}

TEST_F(LinkToFakeModule, RawPacketsCarryTheCommandAndMatchRepliesByTheirFirstBytes) {
  uint8_t data[28];
  std::iota(data, data + 28, uint8_t(100));
  device.clearReceived();
  EXPECT_EQ(link->sendPacket(module(), 0x49, 28, data), aErrParam);
  ASSERT_EQ(link->sendPacket(module(), 0x49, 27, data), aErrNone);
  ASSERT_TRUE(device.waitForReceived(1));
  Bytes expected = {0x49};
  expected.insert(expected.end(), data, data + 27);
  EXPECT_EQ(device.received().at(0).data, expected);
  EXPECT_EQ(device.received().at(0).data.size(), 28u);

  // Any sender; the first packet whose leading bytes match.
  ASSERT_TRUE(device.send({module(), {0x49, 1, 9}}));
  ASSERT_TRUE(device.send({uint8_t(module() + 6), {0x49, 0xFF, 0, 0, 1, 2}}));
  const uint8_t match[2] = {0x49, 0xFF};
  uint8_t length = 2;
  uint8_t buffer[28] = {};
  ASSERT_EQ(link->receivePacket(module(), match, &length, buffer), aErrNone);
  EXPECT_EQ(length, 6);
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0x49, 0xFF, 0, 0, 1, 2}));
  length = 2;
  const uint8_t none[2] = {0x49, 0x02};
  EXPECT_EQ(link->receivePacket(module(), none, &length, buffer), aErrTimeout);
}

// ---- against the device simulator ----

class LinkToSimulator : public SimulatedModule {
 protected:
  void adjustModule(devsim::ModuleSpec& module) override { module.identifiers = {0x10, 0x20, 0x30, 0x40}; }
};

// Collects a bytes value reply chunk by chunk: the uei record comes first, so that the link
// hands this whole structure to the filter as the record it waits for.
struct BytesReply {
  uei record;
  Bytes value;
  bool complete;
  static uint8_t filter(const aPacket* packet, void* reference) {
    auto* self = static_cast<BytesReply*>(reference);
    if (packet->address != self->record.module || packet->dataSize < 4 || packet->data[0] != self->record.command ||
        packet->data[1] != self->record.option) {
      return 0;
    }
    self->value.insert(self->value.end(), packet->data + 3, packet->data + packet->dataSize - 1);
    self->complete = (packet->data[packet->dataSize - 1] & 0x80) == 0;
    return 1;
  }
};

TEST_F(LinkToSimulator, GetsAndSetsByteAnd32BitValuesWithAndWithoutSubindex) {
  uei value{}, ack{}, reply{};
  value.type = UEI_TYPE_BYTE;
  value.value.byteVal = 7;
  ASSERT_EQ(set(3, value, &ack), aErrNone);  // heartbeat interval
  EXPECT_EQ(ack.type, UEI_TYPE_BYTE);
  EXPECT_EQ(ack.value.byteVal, 7);
  ASSERT_EQ(get(3, &reply), aErrNone);
  EXPECT_EQ(reply.value.byteVal, 7);

  value.type = UEI_TYPE_INT;
  value.value.intVal = 0x00ABCDEF;
  ASSERT_EQ(set(34, value, &ack), aErrNone);  // power limit
  EXPECT_EQ(ack.value.intVal, 0x00ABCDEFu);
  ASSERT_EQ(get(34, &reply), aErrNone);
  EXPECT_EQ(reply.type, UEI_TYPE_INT);
  EXPECT_EQ(reply.value.intVal, 0x00ABCDEFu);

  uei request = Record(kSimAddress, kSystem, 39 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
  ASSERT_EQ(link->sendUEI(request, 2), aErrNone);
  reply = Record(kSimAddress, kSystem, 39, 0);
  ASSERT_EQ(link->receiveUEI(kSimAddress, kSystem, 39, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intVal, 0x30u);

  // A call: a set without a value.
  ASSERT_EQ(set(10, Record(0, 0, 0, 0, UEI_TYPE_NONE), &ack), aErrNone);
  EXPECT_EQ(ack.specifier & 0x80, 0);
}

TEST_F(LinkToSimulator, ErrorRepliesCarryTheDeviceCode) {
  uei reply{}, ack{}, value{};
  ASSERT_EQ(get(20, &reply), aErrNone);  // option 20 can only be set
  EXPECT_EQ(reply.specifier, 0x80);
  EXPECT_EQ(reply.value.byteVal, aErrInvalidOption);
  value.type = UEI_TYPE_BYTE;
  value.value.byteVal = 12;
  ASSERT_EQ(set(6, value, &ack), aErrNone);  // boot slot 12 does not exist
  EXPECT_EQ(ack.specifier, 0x80);
  EXPECT_EQ(ack.value.byteVal, aErrRange);
}

TEST_F(LinkToSimulator, BytesValuesOfZeroTwentyFourAndTwentyFiveBytesRoundTrip) {
  for (size_t length : {24u, 0u, 25u}) {
    SCOPED_TRACE(length);
    Bytes name(length);
    std::iota(name.begin(), name.end(), uint8_t('A'));
    uei value = Record(0, 0, 0, 0, UEI_TYPE_BYTES);
    value.value.bytesVal = {name.data(), name.size()};
    uei ack{};
    ASSERT_EQ(set(32, value, &ack), aErrNone);
    EXPECT_EQ(ack.specifier & 0x80, 0);

    uei request = Record(kSimAddress, kSystem, 32 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
    ASSERT_EQ(link->sendUEI(request), aErrNone);
    BytesReply reply{Record(kSimAddress, kSystem, 32, 0), {}, false};
    while (!reply.complete) {
      ASSERT_EQ(link->receiveUEI(kSimAddress, kSystem, 32, 0, &reply.record, BytesReply::filter), aErrNone);
    }
    EXPECT_EQ(reply.value, name);
  }
}

TEST_F(LinkToSimulator, ALargeBytesValueTravelsWholeAndTheDeviceAnswersOnce) {
  // The simulated name holds 64 bytes at most: the device reassembles all 42 chunks and then
  // refuses the value as too long.
  Bytes name(1001, 'x');
  uei value = Record(0, 0, 0, 0, UEI_TYPE_BYTES);
  value.value.bytesVal = {name.data(), name.size()};
  uei ack{};
  ASSERT_EQ(set(32, value, &ack), aErrNone);
  EXPECT_EQ(ack.specifier, 0x80);
  EXPECT_EQ(ack.value.byteVal, aErrSize);
  uei again = Record(kSimAddress, kSystem, 0xC0 | 32, 0);
  EXPECT_EQ(link->receiveUEI(kSimAddress, kSystem, again.option, 0, &again), aErrTimeout);  // only one answer
}

TEST_F(LinkToSimulator, EchoesARawPacket) {
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(link->sendPacket(kSimAddress, 23, sizeof data, data), aErrNone);
  const uint8_t match[1] = {23};
  uint8_t length = 1, buffer[28] = {};
  ASSERT_EQ(link->receivePacket(kSimAddress, match, &length, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{23, 1, 2, 3, 4, 5}));
}

}  // namespace
