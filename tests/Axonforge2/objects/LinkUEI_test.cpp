// UEI requests and replies, and raw command packets: the exact bytes on the wire against a
// scripted device, and whole conversations against the device simulator.

#include <gtest/gtest.h>

#include <numeric>

#include "FakeModule.h"
#include "FastClock.h"
#include "LinkTestSupport.h"

namespace {

using namespace linktest;

class LinkToFakeModule : public ::testing::Test {
 protected:
  void SetUp() override {
    link = std::make_unique<Link>(device.spec(), "fake");
    ASSERT_EQ(link->connect(), aErrNone);
  }
  // Sends a record and returns what arrived at the device.
  std::vector<WirePacket> sent(const uei& record, size_t packets, int subindex = -1) {
    device.clearReceived();
    EXPECT_EQ(subindex < 0 ? link->sendUEI(record) : link->sendUEI(record, uint8_t(subindex)), aErrNone);
    return device.received(packets);
  }
  const uint8_t module = 2;
  FakeModule device{module};
  std::unique_ptr<Link> link;
};

TEST_F(LinkToFakeModule, SendsEachValueTypeBigEndianAfterTheHeaderWithOrWithoutSubindex) {
  uei record = Record(module, 3, 0x85, 0x21, UEI_TYPE_NONE);
  EXPECT_EQ(sent(record, 1).at(0).data, (Bytes{3, 0x85, 0x21}));
  EXPECT_EQ(sent(record, 1, 9).at(0).data, (Bytes{3, 0x85, 0x21, 9}));
  record.type = UEI_TYPE_BYTE;
  record.value.byteVal = 0xAB;
  EXPECT_EQ(sent(record, 1).at(0).data, (Bytes{3, 0x85, 0x21, 0xAB}));
  EXPECT_EQ(sent(record, 1, 9).at(0).data, (Bytes{3, 0x85, 0x21, 9, 0xAB}));
  record.type = UEI_TYPE_SHORT;
  record.value.shortVal = 0xBEEF;
  EXPECT_EQ(sent(record, 1).at(0).data, (Bytes{3, 0x85, 0x21, 0xBE, 0xEF}));
  EXPECT_EQ(sent(record, 1, 9).at(0).data, (Bytes{3, 0x85, 0x21, 9, 0xBE, 0xEF}));
  record.type = UEI_TYPE_INT;
  record.value.intVal = 0x01020304;
  EXPECT_EQ(sent(record, 1).at(0).data, (Bytes{3, 0x85, 0x21, 1, 2, 3, 4}));
  EXPECT_EQ(sent(record, 1, 9).at(0).data, (Bytes{3, 0x85, 0x21, 9, 1, 2, 3, 4}));

  // Refused without sending: bad module addresses, bytes in the subindexed form, unknown types.
  device.clearReceived();
  record.module = 5;
  EXPECT_EQ(link->sendUEI(record), aErrPacket);
  EXPECT_EQ(link->receiveUEI(0, 3, 5, 1, &record), aErrPacket);
  EXPECT_EQ(link->sendPacket(0, 23, 0, nullptr), aErrPacket);
  record.module = module;
  record.type = UEI_TYPE_BYTES;
  record.value.bytesVal = {nullptr, 0};
  EXPECT_EQ(link->sendUEI(record, 1), aErrParam);
  record.type = 3;
  EXPECT_EQ(link->sendUEI(record), aErrParam);
  EXPECT_TRUE(device.received(1, 50).empty());
}

TEST_F(LinkToFakeModule, SplitsBytesValuesIntoChunksWithSequenceTrailers) {
  for (size_t length : {0u, 24u, 25u, 1001u, 3200u}) {  // 3200: sequence numbers wrap at 128
    SCOPED_TRACE(length);
    Bytes value(length);
    std::iota(value.begin(), value.end(), uint8_t(1));
    uei record = Record(module, 3, 0x80 | 32, 0x20, UEI_TYPE_BYTES);
    record.value.bytesVal = {value.data(), value.size()};
    const size_t packets = length == 0 ? 1 : (length + 23) / 24;
    const std::vector<WirePacket> got = sent(record, packets);
    ASSERT_EQ(got.size(), packets);
    Bytes joined;
    for (size_t i = 0; i < got.size(); ++i) {
      const Bytes& data = got[i].data;
      const bool last = i + 1 == got.size();
      ASSERT_EQ(data.size(), last ? 4 + (length - 24 * i) : 28u);
      EXPECT_EQ(Bytes(data.begin(), data.begin() + 3), (Bytes{3, 0x80 | 32, 0x20}));
      EXPECT_EQ(data.back(), uint8_t((i % 128) | (last ? 0 : 0x80))) << "packet " << i;
      joined.insert(joined.end(), data.begin() + 3, data.end() - 1);
    }
    EXPECT_EQ(joined, value);
  }
}

TEST_F(LinkToFakeModule, ReadsTheReplyValueByItsLengthAndKeepsOtherRepliesQueued) {
  ASSERT_TRUE(device.send({module, {3, 7, 0, 1}}));              // another option
  ASSERT_TRUE(device.send({uint8_t(module + 2), {3, 5, 1, 2}}));  // another module
  // A stream sample of the very value asked for, with nothing installed to take it: no reply.
  ASSERT_TRUE(device.send({module, SampleData(3, 5, 1, 3, 1000, 0x11223344, 4)}));
  struct Case {
    Bytes reply;
    uint32_t type;
    uint32_t value;  // as read from the member of that type
  };
  const Case cases[] = {
      {{3, 5, 1}, UEI_TYPE_NONE, 0},
      {{3, 5, 1, 0xAB}, UEI_TYPE_BYTE, 0xAB},
      {{3, 5, 1, 0xBE, 0xEF}, UEI_TYPE_SHORT, 0xBEEF},
      {{3, 5, 1, 0xDE, 0xAD, 0xBE, 0xEF}, UEI_TYPE_INT, 0xDEADBEEF},
      {{3, 5, 1, 1, 2, 3}, 77, 0x55555555},  // no value width: the record is left as it was
      {{3, 5, 0x81, aErrInvalidOption}, 77, 0x55555500 | aErrInvalidOption},  // error reply
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.size());
    ASSERT_TRUE(device.send({module, c.reply}));
    uei record = Record(module, 3, 5, 1, 77);
    record.value.intVal = 0x55555555;
    ASSERT_EQ(link->receiveUEI(module, 3, 5, 1, &record), aErrNone);
    EXPECT_EQ(record.type, c.type);
    EXPECT_EQ(record.specifier, c.reply[2]);
    const uint32_t got = c.type == UEI_TYPE_BYTE    ? record.value.byteVal
                         : c.type == UEI_TYPE_SHORT ? record.value.shortVal
                         : c.type == UEI_TYPE_NONE  ? 0
                                                    : record.value.intVal;
    EXPECT_EQ(got, c.value);
  }
  EXPECT_EQ(link->dropMatchingUEIPackets(module, 3, 7, 0), aErrNone);
  uei dropped = Record(module, 3, 7, 0);
  link->setClock(FastClock::Make());
  EXPECT_EQ(link->receiveUEI(module, 3, 7, 0, &dropped), aErrTimeout);
  uei other = Record(module + 2, 3, 5, 1);
  EXPECT_EQ(link->receiveUEI(module + 2, 3, 5, 1, &other), aErrNone);
  EXPECT_EQ(other.value.byteVal, 2);
}

TEST_F(LinkToFakeModule, WaitsLongerForTheReplyToALargeBytesValue) {
  std::shared_ptr<FastClock> clock = FastClock::Make();
  link->setClock(clock);
  device.setHandler([this, clock](const WirePacket&) {
    // A slow device: it answers 1.5 s later on the link's clock.
    const uint64_t answerAt = clock->nowMs() + 1500;
    while (clock->nowMs() < answerAt) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::vector<WirePacket>{{module, {3, 0xC0 | 32, 0}}};
  });
  Bytes value(1001, 7);
  for (size_t length : {1001u, 1000u}) {
    SCOPED_TRACE(length);
    ASSERT_EQ(link->sendPacket(module, 0x10, 0, nullptr), aErrNone);  // answered after 1.5 s
    uei record = Record(module, 3, 0xC0 | 32, 0, UEI_TYPE_BYTES);
    record.value.bytesVal = {value.data(), length};
    const auto start = Clock::now();
    const aErr result = link->receiveUEI(module, 3, record.option, 0, &record);
    EXPECT_EQ(result, length > 1000 ? aErrNone : aErrTimeout);
    if (length <= 1000) {
      EXPECT_LT(ElapsedMs(start), 1400);
    }
  }
}

TEST_F(LinkToFakeModule, RawPacketsCarryTheCommandAndMatchRepliesByTheirFirstBytes) {
  uint8_t data[28];
  std::iota(data, data + 28, uint8_t(100));
  EXPECT_EQ(link->sendPacket(module, 0x49, 28, data), aErrParam);
  ASSERT_EQ(link->sendPacket(module, 0x49, 27, data), aErrNone);
  Bytes expected = {0x49};
  expected.insert(expected.end(), data, data + 27);
  EXPECT_EQ(device.received(1).at(0).data, expected);

  ASSERT_TRUE(device.send({module, {0x49, 1, 9}}));
  ASSERT_TRUE(device.send({uint8_t(module + 6), {0x49, 0xFF, 0, 0, 1, 2}}));  // any sender
  const uint8_t match[2] = {0x49, 0xFF};
  uint8_t length = 2, buffer[28] = {};
  ASSERT_EQ(link->receivePacket(module, match, &length, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x49, 0xFF, 0, 0, 1, 2}));
  const uint8_t none[2] = {0x49, 0x02};
  length = 2;
  link->setClock(FastClock::Make());
  EXPECT_EQ(link->receivePacket(module, none, &length, buffer), aErrTimeout);
}

// ---- against the device simulator ----

class LinkToSimulator : public SimulatedModule {
 protected:
  void adjustModule(devsim::ModuleSpec& module) override { module.identifiers = {0x10, 0x20, 0x30, 0x40}; }
};

TEST_F(LinkToSimulator, GetsAndSetsValuesAndReportsDeviceErrors) {
  uei value = Record(0, 0, 0, 0, UEI_TYPE_BYTE), ack{}, reply{};
  value.value.byteVal = 7;
  ASSERT_EQ(set(3, value, &ack), aErrNone);  // heartbeat interval
  EXPECT_EQ(ack.value.byteVal, 7);
  ASSERT_EQ(get(3, &reply), aErrNone);
  EXPECT_EQ(reply.value.byteVal, 7);

  value.type = UEI_TYPE_INT;
  value.value.intVal = 0x00ABCDEF;
  ASSERT_EQ(set(34, value, &ack), aErrNone);  // power limit
  ASSERT_EQ(get(34, &reply), aErrNone);
  EXPECT_EQ(reply.type, UEI_TYPE_INT);
  EXPECT_EQ(reply.value.intVal, 0x00ABCDEFu);

  uei request = Record(kSimAddress, kSystem, 39 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
  ASSERT_EQ(link->sendUEI(request, 2), aErrNone);  // identifier number 2
  reply = Record(kSimAddress, kSystem, 39, 0);
  ASSERT_EQ(link->receiveUEI(kSimAddress, kSystem, 39, 0, &reply), aErrNone);
  EXPECT_EQ(reply.value.intVal, 0x30u);

  ASSERT_EQ(get(20, &reply), aErrNone);  // option 20 can only be set
  EXPECT_EQ(reply.specifier, 0x80);
  EXPECT_EQ(reply.value.byteVal, aErrInvalidOption);
  value.type = UEI_TYPE_BYTE;
  value.value.byteVal = 12;
  ASSERT_EQ(set(6, value, &ack), aErrNone);  // boot slot 12 does not exist
  EXPECT_EQ(ack.specifier, 0x80);
  EXPECT_EQ(ack.value.byteVal, aErrRange);
}

// Collects a bytes value chunk by chunk. The uei record comes first: the link hands the filter
// this whole structure as the record it waits for.
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

TEST_F(LinkToSimulator, BytesValuesTravelWhole) {
  for (size_t length : {24u, 0u, 25u}) {
    SCOPED_TRACE(length);
    Bytes name(length);
    std::iota(name.begin(), name.end(), uint8_t('A'));
    uei value = Record(0, 0, 0, 0, UEI_TYPE_BYTES), ack{};
    value.value.bytesVal = {name.data(), name.size()};
    ASSERT_EQ(set(32, value, &ack), aErrNone);
    EXPECT_EQ(ack.specifier & 0x80, 0);
    ASSERT_EQ(link->sendUEI(Record(kSimAddress, kSystem, 32 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY)), aErrNone);
    BytesReply reply{Record(kSimAddress, kSystem, 32, 0), {}, false};
    while (!reply.complete) {
      ASSERT_EQ(link->receiveUEI(kSimAddress, kSystem, 32, 0, &reply.record, BytesReply::filter), aErrNone);
    }
    EXPECT_EQ(reply.value, name);
  }
  // 1001 bytes: the device reassembles all 42 chunks, then refuses the value as longer than a
  // name may be, once.
  Bytes name(1001, 'x');
  uei value = Record(0, 0, 0, 0, UEI_TYPE_BYTES), ack{};
  value.value.bytesVal = {name.data(), name.size()};
  ASSERT_EQ(set(32, value, &ack), aErrNone);
  EXPECT_EQ(ack.specifier, 0x80);
  EXPECT_EQ(ack.value.byteVal, aErrSize);
  uei again = Record(kSimAddress, kSystem, 0xC0 | 32, 0);
  link->setClock(FastClock::Make());
  EXPECT_EQ(link->receiveUEI(kSimAddress, kSystem, again.option, 0, &again), aErrTimeout);
}

}  // namespace
