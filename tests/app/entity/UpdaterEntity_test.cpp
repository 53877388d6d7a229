// The upgrade conversation against the device simulator over loopback TCP (what reaches the
// device's flash), and against a scripted device where the device must misbehave persistently.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../../Axonforge2/objects/FakeModule.h"
#include "../../Axonforge2/objects/ModuleTestSupport.h"
#include "Netns.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "UpdaterEntity.h"

using namespace moduletest;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint32_t kAddress = 0x08001000;
const std::string kModuleText = "serial=0x1234ABCD,model=17,address=6,tcp=0,hb=0,restart=200";

// An image block: the big-endian load address, then `size` image bytes.
std::vector<uint8_t> Block(uint32_t address, size_t size) {
  std::vector<uint8_t> block = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  for (size_t i = 0; i < size; ++i) block.push_back(static_cast<uint8_t>(i * 7 + 3));
  return block;
}

std::vector<uint8_t> ImageOf(const std::vector<uint8_t>& block) { return {block.begin() + 4, block.end()}; }

// Wire text of a packet to module 6 as the simulator logs it.
std::string Wire(const std::vector<uint8_t>& data) {
  std::string text = "06";
  char hex[4];
  std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned>(data.size()));
  text += hex;
  for (uint8_t byte : data) {
    std::snprintf(hex, sizeof hex, " %02X", byte);
    text += hex;
  }
  return text;
}

std::vector<uint8_t> DataPacket(const std::vector<uint8_t>& block, size_t offset, size_t size) {
  std::vector<uint8_t> data = {0x5F, 1};
  for (size_t i = 0; i < size; ++i) data.push_back(block[4 + offset + i]);
  return data;
}

devsim::FaultSpec Fault(const char* text) {
  devsim::FaultSpec spec;
  std::string error;
  uint32_t serial = 0;
  EXPECT_TRUE(devsim::ParseFault(text, &spec, &serial, &error)) << error;
  return spec;
}

std::vector<uint8_t> Flash(Simulator& sim) {
  uint32_t base = 0;
  std::vector<uint8_t> image;
  EXPECT_TRUE(sim.sim().flashImage(kSerial, &base, &image));
  EXPECT_EQ(base, kAddress);
  return image;
}

struct Connected {
  explicit Connected(Simulator& sim, bool verifySum = true, bool noRebootWait = false)
      : module(ConnectedModule(sim, kSerial)) {
    entity.init(module.get(), 0, verifySum, noRebootWait);
  }
  // Prepare, then the firmware transfer with the device's block size.
  aErr transfer(const std::vector<uint8_t>& block) {
    uint16_t blockSize = 0;
    aErr err = entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize);
    if (err != aErrNone) return err;
    return entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display);
  }
  std::unique_ptr<Module> module;
  UpdaterEntity entity;
  RecordingDisplay display;
};

}  // namespace

TEST(UpdaterEntity, RawPacketsCarry26BytesAndEachDeviceBlockIsSummedAndWritten) {
  Simulator sim({kModuleText + ",blocksize=512"});
  Connected c(sim);
  const std::vector<uint8_t> small = Block(kAddress, 60);
  ASSERT_EQ(c.transfer(small), aErrNone);
  EXPECT_EQ(sim.sentByHost(Wire(DataPacket(small, 0, 26))), 1u);
  EXPECT_EQ(sim.sentByHost(Wire(DataPacket(small, 26, 26))), 1u);
  EXPECT_EQ(sim.sentByHost(Wire(DataPacket(small, 52, 8))), 1u);
  EXPECT_EQ(sim.sentByHost(Wire({0x5F, 4})), 1u) << "one sum check per device block";
  EXPECT_EQ(Flash(sim), ImageOf(small));

  const std::vector<uint8_t> large = Block(kAddress, 1000);
  const size_t progressBefore = c.display.ProgressValues().size();
  ASSERT_EQ(c.transfer(large), aErrNone);
  EXPECT_EQ(sim.sentByHost(Wire({0x5F, 5, 0x02, 0x00})), 1u) << "512 bytes written";
  EXPECT_EQ(sim.sentByHost(Wire({0x5F, 5, 0x01, 0xE8})), 1u) << "then 488";
  EXPECT_EQ(Flash(sim), ImageOf(large));
  const std::vector<double> progress = c.display.ProgressValues();
  ASSERT_EQ(progress.size(), progressBefore + 2) << "one step per device block";
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_DOUBLE_EQ(progress[progressBefore], 516.0 / 1004.0);
  EXPECT_FALSE(c.display.ProgressShown()) << "the bar is taken down at the end";
}

TEST(UpdaterEntity, AWrongAcceptedCountResendsTheSameChunk) {
  Simulator sim({kModuleText});
  sim.sim().addFault(kSerial, Fault("wrongcount"));
  Connected c(sim);
  const std::vector<uint8_t> block = Block(kAddress, 40);
  ASSERT_EQ(c.transfer(block), aErrNone);
  EXPECT_EQ(sim.sentByHost(Wire(DataPacket(block, 0, 26))), 2u);
  EXPECT_EQ(Flash(sim), ImageOf(block));
}

TEST(UpdaterEntity, DeviceRefusalsAndMissingRepliesFailTheStep) {
  Simulator sim({kModuleText});
  Connected c(sim);
  const std::vector<uint8_t> block = Block(kAddress, 30);
  const auto fault = [&](const char* text) { sim.sim().addFault(kSerial, Fault(text)); };
  uint16_t blockSize = 0;
  fault("refuseprepare=1");
  EXPECT_EQ(c.entity.TransferPrepare(block.data(), 34, 0, blockSize), aErrInvalidOption);
  fault("drop=prepare");
  EXPECT_EQ(c.entity.TransferPrepare(block.data(), 34, 0, blockSize), aErrTimeout);
  fault("wrongsum");
  EXPECT_EQ(c.transfer(block), aErrInvalidOption) << "a sum mismatch fails even with status 0";
  fault("drop=data");
  EXPECT_EQ(c.transfer(block), aErrPacket);
  EXPECT_EQ(c.entity.FirmwareTransfer(block.data(), 34, 0, c.display), aErrParam) << "block size 0";
}

TEST(UpdaterEntity, UeiBytesCarryAWholeDeviceBlockWhenTheDeviceOffersThem) {
  Simulator sim({kModuleText + ",ueibytes,pooled", "serial=0x00000B0B,model=17,tcp=0,hb=0"});
  Connected c(sim);
  EXPECT_EQ(c.entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_TRUE(c.entity.usesUEIData());
  EXPECT_EQ(c.entity.CheckPooledPacketsSupport(), aErrNone);
  const std::vector<uint8_t> block = Block(kAddress, 3000);
  ASSERT_EQ(c.transfer(block), aErrNone);
  EXPECT_EQ(Flash(sim), ImageOf(block));
  EXPECT_EQ(sim.sentByHost(Wire(DataPacket(block, 0, 26))), 0u) << "no raw data packets";
  EXPECT_EQ(sim.sentByHost(Wire({0x5F, 4})), 3u) << "still one sum per device block";

  auto plain = std::make_unique<Module>(2, 0);
  ASSERT_EQ(plain->connectFromSpec(sim.tcpSpec(0x0B0B)), aErrNone);
  UpdaterEntity entity;
  entity.init(plain.get(), 0, true, false);
  EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_FALSE(entity.usesUEIData());
  EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone) << "no pooled packets is no error";
}

TEST(UpdaterEntity, AServedUsbLinkCarriesBlocksAsUeiBytesAndAsRawPackets) {
  RUN_INSIDE_NETNS();  // the link server's discovery joins multicast groups
  TempDir bus;
  Simulator sim({"serial=0x1234ABCD,model=17,address=6,usb,hb=0,ueibytes,pooled,blocksize=1024"},
                [&](devsim::DevSimConfig& config) { config.usbDir = bus.path(); });
  setenv("AXONFORGE_USBSIM_DIR", bus.path().c_str(), 1);
  Module module(2, 0);  // networking mode: through a link server
  ASSERT_EQ(module.connect(USB, kSerial), aErrNone);
  Tessaron::Axonforge::aWeaveConfig config;
  ASSERT_EQ(module.getConfig(&config), aErrNone);
  EXPECT_NE(config.assignedPort, 0u);
  RecordingDisplay display;
  for (bool uei : {true, false}) {
    SCOPED_TRACE(uei ? "UEI bytes" : "raw packets");
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    if (uei) {
      ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
      ASSERT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    }
    EXPECT_EQ(entity.usesUEIData(), uei);
    const std::vector<uint8_t> block = Block(kAddress, uei ? 3000 : 600);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize), aErrNone);
    const auto start = Clock::now();
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display), aErrNone);
    // No chunk waits out the server's reply wait: the whole transfer takes less than one.
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(Flash(sim), ImageOf(block));
  }
  EXPECT_EQ(sim.sentByHost(Wire({0x5F, 4})), 4u) << "one sum per device block";
  module.disconnect();
  unsetenv("AXONFORGE_USBSIM_DIR");
}

TEST(UpdaterEntity, LoaderStartReconnectsAfterTheDeviceRestartsIntoItsLoader) {
  Simulator sim({kModuleText + ",loaderserial"});
  Connected c(sim);
  ASSERT_EQ(c.entity.LoaderInit(), aErrNone);
  const std::vector<uint8_t> loader = Block(0x20000000, 70);
  uint16_t blockSize = 0;
  ASSERT_EQ(c.entity.TransferPrepare(loader.data(), 74, 0, blockSize), aErrNone);
  ASSERT_EQ(c.entity.LoaderTransfer(loader.data(), 74), aErrNone);
  // The device restarts without confirming: after the reconnect the start is still unconfirmed.
  EXPECT_EQ(c.entity.LoaderStart(), aErrTimeout);
  EXPECT_TRUE(c.module->isConnected());
  EXPECT_EQ(sim.status(kSerial).run, devsim::RunState::Loader);
  EXPECT_EQ(sim.status(kSerial).restarts, 1u);
}

TEST(UpdaterEntity, RebootWaitsForTheLinkToDropUnlessToldNotTo) {
  Simulator sim({kModuleText, "serial=0x00000B0B,model=17,tcp=0,hb=0,restart=200"});
  Connected c(sim);
  EXPECT_EQ(c.entity.LoaderReboot(c.display), aErrNone);
  EXPECT_FALSE(c.module->isConnected());
  EXPECT_GE(c.display.SpinnerTurns(), 1);

  auto other = std::make_unique<Module>(2, 0);
  ASSERT_EQ(other->connectFromSpec(sim.tcpSpec(0x0B0B)), aErrNone);
  UpdaterEntity entity;
  entity.init(other.get(), 0, true, true);
  RecordingDisplay display;
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_LE(display.SpinnerTurns(), 1);
}

TEST(UpdaterEntity, AChunkThatIsNeverAcceptedIsGivenUp) {
  // A device that always claims one byte fewer than it was sent.
  linktest::FakeModule fake(6);
  fake.setHandler([](const linktest::WirePacket& request) -> std::vector<linktest::WirePacket> {
    const linktest::Bytes& d = request.data;
    if (d.size() >= 2 && d[0] == 0x5F && d[1] == 1)
      return {{6, {0x5F, 1, static_cast<uint8_t>(d.size() - 3)}}};
    return {};
  });
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(fake.spec()), aErrNone);
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  const std::vector<uint8_t> block = Block(kAddress, 10);
  uint32_t blocks = 0;
  EXPECT_EQ(entity._block_transfer(block.data() + 4, 10, blocks), aErrPacket);
  size_t dataPackets = 0;
  for (const auto& packet : fake.received()) dataPackets += packet.data.size() > 1 && packet.data[1] == 1;
  EXPECT_EQ(dataPackets, UpdaterEntity::DATA_RESEND_MAX + 1);
}
