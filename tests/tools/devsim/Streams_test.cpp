// Stream enabling and the time-stamped samples of every layout.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "StreamSampler.h"
#include "aError.h"

using namespace devsimtest;

namespace {

uint64_t Timestamp(const SimPacket& sample, size_t at) {
  uint64_t t = 0;
  for (size_t i = 0; i < 8; ++i) t = (t << 8) | sample.data[at + i];
  return t;
}

TEST(SampleLayout, EachTypeHasItsLengthAndFieldOrder) {
  const struct {
    uint8_t width;
    bool subindexed;
    uint8_t type;
    size_t length;
  } layouts[] = {{1, false, 1, 14}, {2, false, 2, 15}, {4, false, 3, 17},
                 {1, true, 5, 15},  {2, true, 6, 16},  {4, true, 7, 18}};
  for (const auto& l : layouts) {
    devsim::EntityValue v{9, l.subindexed, 2, l.width, 0x01020304u & (l.width == 4 ? 0xFFFFFFFFu : (1u << (8 * l.width)) - 1)};
    SimPacket p = devsim::EncodeSample(6, 3, 1, v, 0x0000000100000002ull);
    EXPECT_EQ(p.data.size(), l.length) << "type " << int(l.type);
    EXPECT_EQ(p.data[3], l.type);
    EXPECT_EQ(p.data.back(), 0) << "trailer";
  }
  devsim::EntityValue id{39, true, 3, 4, 0xCAFEF00D};
  EXPECT_EQ(devsim::EncodeSample(6, 3, 0, id, 0x1122334455667788ull),
            Packet(6, {3, 39, 0x40, 7, 3, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0xCA, 0xFE, 0xF0, 0x0D, 0}));
}

constexpr char kSampledModule[] = "serial=0x51,address=6,tcp=0,hb=0,sample=20";
using StreamTest = OneModuleTest<kSampledModule>;

TEST_F(StreamTest, EnabledValueIsSampledPeriodicallyWhileRouted) {
  EXPECT_EQ(host.request(6, {0x5D, 0x41, 0x20}), Packet(6, {0x5D, 1, 0, 0}));
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3, 22, 0}), Packet(6, {0x5D, 0xC1, 0, 6, 3, 22, 0}));
  EXPECT_EQ(host.request(6, {0x5D, 0x41, 0x20}), Packet(6, {0x5D, 1, 0, 1}));
  EXPECT_FALSE(host.next(100).has_value()) << "no samples before the route switch";
  host.sendPacket(0xAF, {1});
  auto first = host.next(500);
  auto second = host.next(500);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->data.size(), 17u);
  EXPECT_EQ(Bytes(first->data.begin(), first->data.begin() + 4), (Bytes{3, 22, 0x40, 3}));
  EXPECT_GT(Timestamp(*second, 4), Timestamp(*first, 4));
  EXPECT_GE(Timestamp(*second, 4) - Timestamp(*first, 4), 15000u) << "about one period apart";
}

TEST_F(StreamTest, WholeEntityStreamIncludesSubindexedValuesAndDisablingStopsIt) {
  host.sendPacket(0xAF, {1});
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3, 0xFF, 0}), Packet(6, {0x5D, 0xC1, 0, 6, 3, 0xFF, 0}));
  int identifiers = 0;
  for (int i = 0; i < 100; ++i) {
    auto p = host.next(500);
    ASSERT_TRUE(p.has_value());
    if (p->data[1] == 39) {
      EXPECT_EQ(p->data[3], 7);
      EXPECT_EQ(p->data.size(), 18u);
      ++identifiers;
    }
  }
  EXPECT_GE(identifiers, 4);
  host.sendPacket(6, {0x5D, 0x82, 0x20, 6, 3, 0xFF, 0});
  for (auto p = host.next(200); p; p = host.next(200)) {
    if (p->data[0] == 0x5D) {
      EXPECT_EQ(*p, Packet(6, {0x5D, 0xC2, 0, 6, 3, 0xFF, 0}));
      break;
    }
  }
  while (host.next(60)) {
  }
  EXPECT_FALSE(host.next(100).has_value());
}

TEST_F(StreamTest, BadStreamKeysAreRefused) {
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 8, 3, 22, 0}), Packet(6, {0x5D, 0xC1, 0x80, aErrParam}));
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 8, 1, 0}), Packet(6, {0x5D, 0xC1, 0x80, aErrInvalidEntity}));
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3, 44, 0}), Packet(6, {0x5D, 0xC1, 0x80, aErrInvalidOption}));
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3, 10, 0}), Packet(6, {0x5D, 0xC1, 0x80, aErrInvalidOption}))
      << "a call is not a value";
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3}), Packet(6, {0x5D, 0xC1, 0x80, aErrShortCommand}));
}

TEST(StreamBehindRouter, SamplesOfABusModuleArriveOnTheRoutersLink) {
  RunningSim sim({"serial=0xA,address=4,tcp=0,hb=0", "serial=0xB,address=6,behind=0xA,sample=20"});
  WireClient host = sim.tcp(0xA);
  host.sendPacket(0xAF, {1});
  EXPECT_EQ(host.request(6, {0x5D, 0x81, 0x20, 6, 3, 4, 0}), Packet(6, {0x5D, 0xC1, 0, 6, 3, 4, 0}));
  auto sample = host.next(500);
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->address, 6);
  EXPECT_EQ(sample->data.size(), 14u);  // the LED is a byte
}

}  // namespace

namespace {

TEST(StreamEmit, InjectedSamplesOfAnyLayoutReachOnlyRoutedLinks) {
  RunningSim sim({"serial=0xA,address=4,tcp=0,hb=0", "serial=0xB,address=6,behind=0xA"});
  WireClient routed = sim.tcp(0xA);
  WireClient quiet = sim.tcp(0xA);
  routed.sendPacket(0xAF, {1});
  ASSERT_EQ(routed.request(4, {3, 0x48, 0x20}), Packet(4, {3, 8, 0, 0}));  // the switch has been seen
  SimPacket sample = devsim::EncodeSample(6, 3, 0, {5, true, 2, 2, 0xBEEF}, 1234);  // type 6
  ASSERT_TRUE(sim.sim().emit(0xB, sample));
  EXPECT_EQ(routed.next(), sample);
  EXPECT_FALSE(quiet.next(100).has_value());
  EXPECT_FALSE(sim.sim().emit(0x99, sample)) << "no such module";
}

}  // namespace
