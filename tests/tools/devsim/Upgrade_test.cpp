// The upgrade entity end to end: raw data packets, UEI bytes, load into the loader, reboot into
// the new image.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "SimFixture.h"
#include "TempDir.h"
#include "VersionMarker.h"
#include "aError.h"

using namespace devsimtest;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint8_t kAddress = 6;
const char* kModule =
    "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,tcp=0,hb=0,blocksize=64,restart=50";

// A firmware image with a version marker in the middle of it.
Bytes Firmware(size_t size, const VersionMarker::Version& version) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  std::string marker = VersionMarker::Format(version);
  std::copy(marker.begin(), marker.end(), image.begin() + static_cast<long>(size / 2 - marker.size() / 2));
  return image;
}

uint32_t Sum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

Bytes SumReply(uint32_t sum) {
  return {0x5F, 7, 0, static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 8),
          static_cast<uint8_t>(sum)};
}

// Sends one device block as data packets of at most 26 bytes, checking every accepted count.
void SendData(WireClient& host, const Bytes& block) {
  for (size_t at = 0; at < block.size(); at += 26) {
    size_t n = std::min<size_t>(26, block.size() - at);
    Bytes request = {0x5F, 1};
    request.insert(request.end(), block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + n));
    ASSERT_EQ(host.request(kAddress, request), Packet(kAddress, {0x5F, 1, static_cast<uint8_t>(n)}));
  }
}

void Prepare(WireClient& host, uint32_t address, uint16_t blockSize) {
  ASSERT_EQ(host.request(kAddress, {0x5F, 3, 1, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                                    static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)}),
            Packet(kAddress, {0x5F, 7, 0, static_cast<uint8_t>(blockSize >> 8), static_cast<uint8_t>(blockSize)}));
}

// The firmware path: prepare, then per device block data, sum and write.
void TransferFirmware(WireClient& host, uint32_t address, const Bytes& image, uint16_t blockSize) {
  Prepare(host, address, blockSize);
  for (size_t at = 0; at < image.size(); at += blockSize) {
    Bytes block(image.begin() + static_cast<long>(at),
                image.begin() + static_cast<long>(std::min(image.size(), at + blockSize)));
    SendData(host, block);
    ASSERT_EQ(host.request(kAddress, {0x5F, 4}), Packet(kAddress, SumReply(Sum(block))));
    ASSERT_EQ(host.request(kAddress, {0x5F, 5, 0, static_cast<uint8_t>(block.size())}), Packet(kAddress, {0x5F, 7, 0}));
  }
}

// The whole raw-packet upgrade: the loader as one stream of data packets checked by one sum, the
// load (the module restarts into its loader), the firmware in device blocks, the reboot.
TEST(Upgrade, RawPacketUpgradeRunsTheNewVersionAfterItsReboot) {
  TempDir flashDir;
  RunningSim sim({kModule}, [&](devsim::DevSimConfig& c) { c.flashDir = flashDir.path(); });
  WireClient host = sim.tcp(kSerial);
  ASSERT_EQ(host.request(kAddress, {0x5F, 0}), Packet(kAddress, {0x5F, 0, 0x20, 0, 0, 0}));  // load base
  Bytes loader(90, 0x5A);
  Prepare(host, 0x20000000, 64);
  SendData(host, loader);
  ASSERT_EQ(host.request(kAddress, {0x5F, 4}), Packet(kAddress, SumReply(Sum(loader))));
  host.sendPacket(kAddress, {0x5F, 2});  // load: no reply, the link drops
  EXPECT_TRUE(host.closedByPeer(500));
  host = WireClient::TcpWhenBack(sim.sim().tcpPort(kSerial), 2000);
  ASSERT_TRUE(host.connected());
  EXPECT_EQ(sim.status(kSerial).run, devsim::RunState::Loader);
  Bytes image = Firmware(150, {200, 2, 16, 1});
  TransferFirmware(host, 0x08000000, image, 64);

  uint32_t base = 0;
  Bytes flash;
  ASSERT_TRUE(sim.sim().flashImage(kSerial, &base, &flash));
  EXPECT_EQ(base, 0x08000000u);
  EXPECT_EQ(flash, image) << "only written blocks reach the flash; the loader ran from RAM";

  host.sendPacket(kAddress, {0x5F, 6});  // reboot: no reply, the link drops
  EXPECT_TRUE(host.closedByPeer(500));
  WireClient again = WireClient::TcpWhenBack(sim.sim().tcpPort(kSerial), 2000);
  ASSERT_TRUE(again.connected());
  EXPECT_EQ(again.request(kAddress, {0x49, 0xFF}), Packet(kAddress, {0x49, 0xFF, 0, 0, 0, 200}));
  EXPECT_EQ(again.request(kAddress, {3, 0x47, 0x20}), Packet(kAddress, {3, 7, 0, 0x2F, 2, 16, 1}));

  std::ifstream written(flashDir / "1234ABCD.bin", std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(written), {}), image);
}

TEST(Upgrade, LoadRestartsIntoTheLoaderUnderTheDefaultSerialAndRebootLeavesIt) {
  RunningSim sim({std::string(kModule) + ",loaderserial"});
  WireClient host = sim.tcp(kSerial);
  host.sendPacket(kAddress, {0x5F, 2});
  EXPECT_TRUE(host.closedByPeer(500)) << "the loader restart drops the link";
  ASSERT_TRUE(sim.waitFor(kSerial, [](const devsim::ModuleStatus& s) { return s.run == devsim::RunState::Loader; }, 1000));
  WireClient loader = WireClient::TcpWhenBack(sim.sim().tcpPort(kSerial), 1000);
  EXPECT_EQ(loader.request(kAddress, {3, 0x49, 0x20}), Packet(kAddress, {3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}));
  TransferFirmware(loader, 0x1000, Firmware(64, {300, 3, 0, 0}), 64);
  loader.sendPacket(kAddress, {0x5F, 6});
  ASSERT_TRUE(sim.waitFor(kSerial, [](const devsim::ModuleStatus& s) { return s.restarts == 2 && s.run == devsim::RunState::Firmware; }, 1000));
  devsim::ModuleStatus s = sim.status(kSerial);
  EXPECT_EQ(s.serial, kSerial);
  EXPECT_EQ(s.build, 300u);
  EXPECT_EQ(s.version.packed(), 0x2F030000u);
}

TEST(Upgrade, AModuleCanStartInItsLoaderAsAfterARecoveryLoad) {
  RunningSim sim({std::string(kModule) + ",loaderserial,startloader"});
  EXPECT_EQ(sim.status(kSerial).run, devsim::RunState::Loader);
  WireClient loader = sim.tcp(kSerial);
  EXPECT_EQ(loader.request(kAddress, {3, 0x49, 0x20}), Packet(kAddress, {3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}));
  loader.sendPacket(kAddress, {0x5F, 6});
  ASSERT_TRUE(sim.waitFor(kSerial, [](const devsim::ModuleStatus& s) { return s.run == devsim::RunState::Firmware; }, 1000));
  EXPECT_EQ(sim.status(kSerial).serial, kSerial);
  EXPECT_EQ(sim.status(kSerial).build, 100u) << "nothing written: the old firmware runs";
}

TEST(Upgrade, UeiBytesBlockIsAcknowledgedOnceAndCountsLikeDataPackets) {
  RunningSim sim({std::string(kModule) + ",ueibytes"});
  WireClient host = sim.tcp(kSerial);
  EXPECT_EQ(host.request(kAddress, {0x49, 1, 0x5F, 10, 0, 0x80}), Packet(kAddress, {0x49, 1, 0x5F, 10, 0, aErrNone}));
  Prepare(host, 0x2000, 64);
  Bytes block = Firmware(60, {5, 1, 2, 3});
  // 60 bytes: chunks of 24, 24 and 12 with trailers 0x80, 0x81, 0x02; only the last is answered.
  for (uint8_t seq = 0; seq < 3; ++seq) {
    Bytes request = {0x5F, 0x8A, 0x20};
    size_t at = seq * 24u;
    size_t n = std::min<size_t>(24, block.size() - at);
    request.insert(request.end(), block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + n));
    request.push_back(static_cast<uint8_t>(seq | (seq < 2 ? 0x80 : 0)));
    host.sendPacket(kAddress, request);
  }
  EXPECT_EQ(host.next(), Packet(kAddress, {0x5F, 0xCA, 0}));
  EXPECT_TRUE(host.silent(50));
  EXPECT_EQ(host.request(kAddress, {0x5F, 4}), Packet(kAddress, SumReply(Sum(block))));
  EXPECT_EQ(host.request(kAddress, {0x5F, 5, 0, 60}), Packet(kAddress, {0x5F, 7, 0}));
  uint32_t base = 0;
  Bytes flash;
  ASSERT_TRUE(sim.sim().flashImage(kSerial, &base, &flash));
  EXPECT_EQ(flash, block);
}

TEST(Upgrade, UeiBytesAreRefusedOnceByAModuleWithoutThem) {
  RunningSim sim({kModule});
  WireClient host = sim.tcp(kSerial);
  EXPECT_EQ(host.request(kAddress, {0x49, 1, 0x5F, 10, 0, 0x80}),
            Packet(kAddress, {0x49, 1, 0x5F, 10, 0, aErrInvalidOption}));
  host.sendPacket(kAddress, Bytes{0x5F, 0x8A, 0x20, 1, 2, 3, 0x80});
  host.sendPacket(kAddress, Bytes{0x5F, 0x8A, 0x20, 4, 5, 0x01});
  EXPECT_EQ(host.next(), Packet(kAddress, {0x5F, 0xCA, 0x80, aErrInvalidOption}));
  EXPECT_TRUE(host.silent(50));
}

TEST(Upgrade, WritesAreCheckedAgainstWhatWasReceived) {
  RunningSim sim({std::string(kModule) + ",ram=30"});
  WireClient host = sim.tcp(kSerial);
  EXPECT_EQ(host.request(kAddress, {0x5F, 5, 0, 1}), Packet(kAddress, {0x5F, 7, aErrMode})) << "nothing prepared";
  Prepare(host, 0, 64);
  Bytes chunk(26, 0x11);
  chunk.insert(chunk.begin(), {0x5F, 1});
  EXPECT_EQ(host.request(kAddress, chunk), Packet(kAddress, {0x5F, 1, 26}));
  EXPECT_EQ(host.request(kAddress, chunk), Packet(kAddress, {0x5F, 1, 4})) << "only 4 bytes of RAM left";
  EXPECT_EQ(host.request(kAddress, {0x5F, 5, 0, 31}), Packet(kAddress, {0x5F, 7, aErrSize}));
  EXPECT_EQ(host.request(kAddress, {0x5F, 5, 0, 30}), Packet(kAddress, {0x5F, 7, 0}));
  EXPECT_EQ(host.request(kAddress, {0x5F, 9}), Packet(kAddress, {0x5F, 7, aErrUnimplemented}));
}

}  // namespace
