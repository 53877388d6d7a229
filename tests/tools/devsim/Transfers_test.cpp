// Multi-packet conversations: UEI bytes values, store slots, factory data, module queries, echo.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "aError.h"

using namespace devsimtest;

namespace {

constexpr char kModule[] = "serial=0xBEEF,model=24,address=8,build=4321,hwversion=3,tcp=0,hb=0";
using TransferTest = OneModuleTest<kModule>;

Bytes Range(uint8_t from, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(TransferTest, BytesValueIsSetInChunksAndReadBackInChunks) {
  // 30 bytes: 24 with trailer 0x80, then 6 with trailer 0x01; one acknowledgement at the end.
  host.sendPacket(8, Concat(Concat({3, 0xA0, 0x20}, Range(1, 24)), {0x80}));
  EXPECT_FALSE(host.next(100).has_value());
  EXPECT_EQ(host.request(8, Concat(Concat({3, 0xA0, 0x20}, Range(25, 6)), {0x01})), Packet(8, {3, 0xE0, 0}));
  host.sendPacket(8, {3, 0x60, 0x20});
  EXPECT_EQ(host.next(), Packet(8, Concat(Concat({3, 32, 0}, Range(1, 24)), {0x80})));
  EXPECT_EQ(host.next(), Packet(8, Concat(Concat({3, 32, 0}, Range(25, 6)), {0x01})));
}

TEST_F(TransferTest, ABrokenChunkSequenceGetsOneErrorAtItsEnd) {
  host.sendPacket(8, {3, 0xA0, 0x20, 1, 2, 0x80});
  host.sendPacket(8, {3, 0xA0, 0x20, 3, 4, 0x82});  // sequence 2 where 1 was due
  EXPECT_FALSE(host.next(100).has_value());
  EXPECT_EQ(host.request(8, {3, 0xA0, 0x20, 5, 0x03}), Packet(8, {3, 0xE0, 0x80, aErrPacket}));
  // Sequence 0 does not start a new value while one is open: it is a wrong sequence number.
  host.sendPacket(8, {3, 0xA0, 0x20, 1, 2, 0x80});
  EXPECT_EQ(host.request(8, {3, 0xA0, 0x20, 3, 0x00}), Packet(8, {3, 0xE0, 0x80, aErrPacket}));
  EXPECT_EQ(host.request(8, {3, 0x60, 0x20}), Packet(8, {3, 32, 0, 0})) << "the name stayed empty";
}

// The chunk packets of a bytes value: 24 bytes each after the header, and a trailer with the
// "more follows" bit and the sequence number modulo 128.
std::vector<SimPacket> Chunks(uint8_t address, const Bytes& header, const Bytes& value) {
  std::vector<SimPacket> packets;
  size_t offset = 0;
  for (uint8_t sequence = 0; offset < value.size(); ++sequence) {
    size_t chunk = std::min<size_t>(24, value.size() - offset);
    Bytes data = header;
    data.insert(data.end(), value.begin() + offset, value.begin() + offset + chunk);
    offset += chunk;
    data.push_back(static_cast<uint8_t>((sequence & 0x7F) | (offset < value.size() ? 0x80 : 0)));
    packets.emplace_back(address, data);
  }
  return packets;
}

TEST(LongBytesValues, PassSequenceZeroInTheirMiddleAndRoundTripIntact) {
  RunningSim sim({"serial=0xBEEF,address=8,tcp=0,hb=0,bytesmax=10000"});
  WireClient host = sim.tcp(0xBEEF);
  for (size_t length : {4000u, 10000u}) {
    Bytes value(length);
    for (size_t i = 0; i < length; ++i) value[i] = static_cast<uint8_t>(i * 7 + i / 251);
    for (const SimPacket& chunk : Chunks(8, {3, 0xA0, 0x20}, value)) host.send(chunk.wire());
    EXPECT_EQ(host.next(2000), Packet(8, {3, 0xE0, 0})) << length << " bytes: one acknowledgement";

    host.sendPacket(8, {3, 0x60, 0x20});
    const std::vector<SimPacket> expected = Chunks(8, {3, 32, 0}, value);
    std::vector<SimPacket> received;
    while (received.size() < expected.size()) {
      auto packet = host.next(2000);
      if (!packet) break;
      received.push_back(*packet);
    }
    ASSERT_EQ(received.size(), expected.size()) << length << " bytes";
    EXPECT_TRUE(received == expected) << length << " bytes: the value comes back as it went";
    EXPECT_TRUE(host.silent(50));
  }
  host.sendPacket(8, Concat({3, 0xA0, 0x20}, Bytes(25, 1)));  // no trailer bit: 24 bytes and trailer 0x01
  EXPECT_EQ(host.next(), Packet(8, {3, 0xE0, 0x80, aErrPacket})) << "a value must start at sequence 0";
}

TEST_F(TransferTest, ModuleQueriesAnswerBuildImplementedUeisAndEntityCounts) {
  EXPECT_EQ(host.request(8, {0x49, 0xFF}), Packet(8, {0x49, 0xFF, 0, 0, 0x10, 0xE1}));
  EXPECT_EQ(host.request(8, {0x49, 1, 3, 8, 0, 0x40}), Packet(8, {0x49, 1, 3, 8, 0, aErrNone}));
  EXPECT_EQ(host.request(8, {0x49, 1, 3, 8, 0, 0x80}), Packet(8, {0x49, 1, 3, 8, 0, aErrInvalidOption}));
  EXPECT_EQ(host.request(8, {0x49, 1, 3, 8, 1, 0}), Packet(8, {0x49, 1, 3, 8, 1, aErrIndexRange}));
  EXPECT_EQ(host.request(8, {0x49, 1, 60, 1, 0, 0}), Packet(8, {0x49, 1, 60, 1, 0, aErrInvalidEntity}));
  EXPECT_EQ(host.request(8, {0x49, 1, 3, 8, 0, 0xC0}), Packet(8, {0x49, 1, 3, 8, 0, aErrParam}));
  EXPECT_EQ(host.request(8, {0x49, 4, 3}), Packet(8, {0x49, 4, 3, 1}));
  EXPECT_EQ(host.request(8, {0x49, 4, 77}), Packet(8, {0x49, 4, 77, 0}));
  EXPECT_EQ(host.request(8, {0x49, 5, 3, 0}), Packet(8, {0x49, 5, 3, 0, 0}));
  EXPECT_EQ(host.request(8, {0x49, 6, 3, 0}), Packet(8, {0x49, 6, 3, 0, 0}));
  EXPECT_EQ(host.request(8, {0x49, 0x33}), Packet(8, {0x49, 0xB3, aErrInvalidOption}));
}

TEST_F(TransferTest, EchoRepeatsTheCommandAndData) {
  Bytes echo = Concat({23}, Range(100, 27));
  EXPECT_EQ(host.request(8, echo), Packet(8, echo));
}

TEST_F(TransferTest, StoreSlotIsWrittenWithSumsAndReadBack) {
  EXPECT_EQ(host.request(8, {4, 1, 0, 3}), Packet(8, {4, 1, 0, 3, 0x10, 0x00}));
  auto opened = host.request(8, {4, 4, 0, 3});
  ASSERT_TRUE(opened.has_value());
  ASSERT_EQ(opened->data.size(), 5u);
  uint8_t handle = opened->data[4];
  Bytes first = Range(1, 25), second = Range(200, 5);
  EXPECT_EQ(host.request(8, Concat({4, 7, handle}, first)), Packet(8, {4, 7, handle, 69}));  // 1+..+25 = 325 mod 256
  EXPECT_EQ(host.request(8, Concat({4, 7, handle}, second)), Packet(8, {4, 7, handle, 242}));
  EXPECT_EQ(host.request(8, {4, 8, handle}), Packet(8, {4, 8, handle, 0}));
  EXPECT_EQ(host.request(8, {4, 2, 0, 3}), Packet(8, {4, 2, 0, 3, 0, 30}));

  auto reading = host.request(8, {4, 3, 0, 3});
  ASSERT_TRUE(reading.has_value());
  uint8_t h = reading->data[4];
  EXPECT_EQ(host.request(8, {4, 6, h}), Packet(8, Concat({4, 6, h}, first)));
  EXPECT_EQ(host.request(8, {4, 6, h}), Packet(8, Concat({4, 6, h}, second)));
  EXPECT_EQ(host.request(8, {4, 7, h, 1}), Packet(8, {4, 0x87, h, aErrParam})) << "a read handle cannot write";
  EXPECT_EQ(host.request(8, {4, 8, h}), Packet(8, {4, 8, h, 0}));
  EXPECT_EQ(host.request(8, {4, 8, h}), Packet(8, {4, 0x88, h, aErrParam})) << "closed already";
  EXPECT_EQ(host.request(8, {4, 2, 5, 0}), Packet(8, {4, 0x82, 5, 0, aErrIndexRange}));
}

TEST_F(TransferTest, FactoryDataIsReadInChunksAndAnEndPacketClosesTheTransfer) {
  // Kind 0: serial, model, hardware version, then a 24-character tag (33 bytes: 26 + 7).
  auto first = host.request(8, {0x5E, 0x40});
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->data.size(), 28u);
  EXPECT_EQ(Bytes(first->data.begin(), first->data.begin() + 11), (Bytes{0x5E, 0, 0, 0, 0xBE, 0xEF, 24, 0, 0, 0, 3}));
  auto rest = host.request(8, {0x5E, 0x00});
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(rest->data.size(), 9u);
  EXPECT_EQ(host.request(8, {0x5E, 0x20, 0, 33}), Packet(8, {0x5E, 0, 0}));
  EXPECT_EQ(host.request(8, {0x5E, 0x20, 0, 33}), Packet(8, {0x5E, 0x80, aErrMode})) << "no transfer open";
}

TEST_F(TransferTest, FactoryDataIsWrittenOnlyWhenTheCountMatches) {
  EXPECT_EQ(host.request(8, Concat({0x5E, 0x53}, Range(1, 26))), Packet(8, {0x5E, 3}));
  EXPECT_EQ(host.request(8, Concat({0x5E, 0x13}, Range(27, 4))), Packet(8, {0x5E, 3}));
  EXPECT_EQ(host.request(8, {0x5E, 0x20, 0, 29}), Packet(8, {0x5E, 0x80, aErrSize}));
  EXPECT_EQ(host.request(8, {0x5E, 0x43}), Packet(8, {0x5E, 3})) << "nothing was committed";
  EXPECT_EQ(host.request(8, {0x5E, 0x20, 0, 0}), Packet(8, {0x5E, 0, 0}));

  EXPECT_EQ(host.request(8, Concat({0x5E, 0x53}, Range(1, 26))), Packet(8, {0x5E, 3}));
  EXPECT_EQ(host.request(8, Concat({0x5E, 0x13}, Range(27, 4))), Packet(8, {0x5E, 3}));
  EXPECT_EQ(host.request(8, {0x5E, 0x20, 0, 30}), Packet(8, {0x5E, 0, 0}));
  auto read = host.request(8, {0x5E, 0x43});
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, Packet(8, Concat({0x5E, 3}, Range(1, 26))));
  EXPECT_EQ(host.request(8, {0x5E, 0x03}), Packet(8, Concat({0x5E, 3}, Range(27, 4))));
  EXPECT_EQ(host.request(8, {0x5E, 0x13, 1}), Packet(8, {0x5E, 0x83})) << "a write in the middle of a read";
}

}  // namespace
