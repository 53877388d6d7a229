// The simulator's building blocks on their own: wire framing, module descriptions, bytes chains,
// sync runs.
#include <gtest/gtest.h>

#include "ModuleSpec.h"
#include "SyncRun.h"
#include "UeiBytes.h"
#include "WireAssembler.h"
#include "aError.h"

using devsim::SimPacket;
using Bytes = std::vector<uint8_t>;

namespace {

struct Assembled {
  std::vector<SimPacket> packets;
  std::vector<std::string> garbage;
  devsim::WireAssembler assembler{[this](const std::string& what) { garbage.push_back(what); }};
  void feed(const Bytes& bytes) { assembler.feed(bytes.data(), bytes.size(), &packets); }
};

TEST(WireAssembler, PacketsSplitAcrossReadsAndEmptyPacketsAreWhole) {
  Assembled a;
  a.feed({0x06, 0x03, 0x03});
  EXPECT_TRUE(a.packets.empty());
  a.feed({0x48, 0x20, 0xAD, 0x00, 0xAF, 0x01, 0x01});
  ASSERT_EQ(a.packets.size(), 3u);
  EXPECT_EQ(a.packets[0], SimPacket(6, {3, 0x48, 0x20}));
  EXPECT_EQ(a.packets[1], SimPacket(0xAD, {}));
  EXPECT_EQ(a.packets[2], SimPacket(0xAF, {1}));
  EXPECT_TRUE(a.garbage.empty());
}

TEST(SyncRun, APauseStartsANewRunAsAnotherPacketDoes) {
  using std::chrono::milliseconds;
  devsim::SyncRun run;
  const devsim::Clock::time_point t = devsim::Clock::now();
  EXPECT_TRUE(run.request(t));
  EXPECT_TRUE(run.request(t + milliseconds(40)));
  EXPECT_FALSE(run.request(t + milliseconds(80))) << "a burst slowed down by the host is still one run";
  EXPECT_TRUE(run.request(t + milliseconds(700))) << "after a pause: a new query";
  run.interrupt();
  EXPECT_TRUE(run.request(t + milliseconds(701)));
  EXPECT_TRUE(run.request(t + milliseconds(702)));
}

TEST(WireAssembler, ZeroOddAndOversizeBytesAreReportedAndSkipped) {
  Assembled a;
  a.feed({0x00, 0x05, 0x04, 29, 0x04, 28});
  ASSERT_EQ(a.garbage.size(), 2u) << "one report for the run of bad bytes, one for the length";
  EXPECT_NE(a.garbage[0].find("00 05"), std::string::npos);
  a.feed(Bytes(28, 0x11));
  ASSERT_EQ(a.packets.size(), 1u);
  EXPECT_EQ(a.packets[0].data.size(), 28u);
}

TEST(ModuleSpec, FullDescriptionIsParsed) {
  devsim::ModuleSpec m;
  std::string error;
  ASSERT_TRUE(devsim::ParseModuleSpec(
      "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,usb,tcp=0,ueibytes,blocksize=512,"
      "loadbase=0x08000000,restart=200,loaderserial,hb=0,sample=50,id=1:2:3:4,features=0x10,pooled,name=hub",
      &m, &error))
      << error;
  EXPECT_EQ(m.serial, 0x1234ABCDu);
  EXPECT_EQ(m.model, 17);
  EXPECT_EQ(m.address, 6);
  EXPECT_EQ(m.build, 100u);
  EXPECT_EQ(m.version.packed(), 0x2F020F03u);
  EXPECT_TRUE(m.usb);
  EXPECT_EQ(m.tcpPort, 0);
  EXPECT_TRUE(m.ueiBytesUpgrade);
  EXPECT_EQ(m.blockSize, 512);
  EXPECT_EQ(m.loadBase, 0x08000000u);
  EXPECT_EQ(m.restartDelayMs, 200u);
  EXPECT_TRUE(m.loaderUsesDefaultSerial);
  EXPECT_EQ(m.heartbeatInterval, 0);
  EXPECT_EQ(m.identifiers, (std::array<uint32_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(m.protocolFeatures, 0x80000010u);
  EXPECT_EQ(m.productId(), 17);
  EXPECT_EQ(m.name, "hub");
}

TEST(ModuleSpec, VersionWordsUseTheLegacyLayoutBefore2_15) {
  EXPECT_EQ((devsim::FirmwareVersion{1, 3, 7}.packed()), 0x13000007u);
  EXPECT_EQ((devsim::FirmwareVersion{2, 14, 0x12345}.packed()), 0x2E012345u);
  EXPECT_EQ((devsim::FirmwareVersion{3, 0, 1}.packed()), 0x2F030001u);
}

TEST(ModuleSpec, MistakesAreNamed) {
  devsim::ModuleSpec m;
  std::string error;
  EXPECT_FALSE(devsim::ParseModuleSpec("model=3", &m, &error));
  EXPECT_NE(error.find("serial"), std::string::npos);
  EXPECT_FALSE(devsim::ParseModuleSpec("serial=1,address=5", &m, &error));
  EXPECT_NE(error.find("even"), std::string::npos);
  EXPECT_FALSE(devsim::ParseModuleSpec("serial=1,colour=red", &m, &error));
  EXPECT_NE(error.find("colour"), std::string::npos);
  ASSERT_TRUE(devsim::ParseModuleSpec("serial=1,version=2.14.300", &m, &error)) << "a legacy patch has 24 bits";
  EXPECT_EQ(m.version.packed(), 0x2E00012Cu);
  EXPECT_FALSE(devsim::ParseModuleSpec("serial=1,version=3.1.256", &m, &error)) << "a current-layout patch is a byte";
  EXPECT_FALSE(devsim::ParseModuleSpec("serial=1,model=256", &m, &error));
  EXPECT_FALSE(devsim::ParseModuleSpec("serial=1,behind=2,tcp", &m, &error));
  EXPECT_NE(error.find("through the router"), std::string::npos);
}

TEST(UeiBytesCollector, ChainsAreKeptApartByOptionAndReportedOnce) {
  devsim::UeiBytesCollector collector;
  auto chunk = [](uint8_t option, Bytes value) {
    devsim::UeiRequest r;
    r.command = 3;
    r.option = option;
    r.direction = 0x80;
    r.value = std::move(value);
    return r;
  };
  Bytes value;
  aErr error = aErrNone;
  using R = devsim::UeiBytesCollector::Result;
  EXPECT_EQ(collector.feed(chunk(32, {1, 2, 0x80}), 100, &value, &error), R::InProgress);
  EXPECT_EQ(collector.feed(chunk(31, {9, 0x80}), 100, &value, &error), R::InProgress);
  EXPECT_EQ(collector.feed(chunk(32, {3, 0x01}), 100, &value, &error), R::Complete);
  EXPECT_EQ(value, (Bytes{1, 2, 3}));
  EXPECT_EQ(collector.feed(chunk(31, {8, 0x01}), 100, &value, &error), R::Complete);
  EXPECT_EQ(value, (Bytes{9, 8}));
  EXPECT_EQ(collector.feed(chunk(32, {1, 2, 3, 0x80}), 4, &value, &error), R::InProgress);
  EXPECT_EQ(collector.feed(chunk(32, {4, 5, 0x01}), 4, &value, &error), R::Failed);
  EXPECT_EQ(error, aErrOverrun);
  EXPECT_EQ(collector.feed(chunk(32, {}), 4, &value, &error), R::Failed);
  EXPECT_EQ(error, aErrShortCommand);
}

}  // namespace
