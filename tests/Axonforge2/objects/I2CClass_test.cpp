// I2CClass: transfers on a router's I2C bus, where the simulated modules behind it answer as
// small register memories.
#include <gtest/gtest.h>

#include <vector>

#include "I2CClass.h"
#include "ModuleTestSupport.h"

using namespace moduletest;
using Tessaron::Axonforge::I2CClass;

namespace {

class I2COnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.started());
    router = ConnectedModule(sim, kRouterSerial);
    ASSERT_EQ(bus.init(router.get(), 0), aErrNone);
  }

  Simulator sim{{kRouterModule, kBehindModule}};
  std::unique_ptr<Module> router;
  I2CClass bus;
};

TEST_F(I2COnSimulator, WrittenBytesAreReadBackFromTheTarget) {
  const uint8_t write[] = {0x10, 0xA1, 0xB2, 0xC3};  // register pointer, then three bytes
  ASSERT_EQ(bus.write(kBehindAddress, sizeof write, write), aErrNone);
  const uint8_t pointer[] = {0x10};
  ASSERT_EQ(bus.write(kBehindAddress, sizeof pointer, pointer), aErrNone);
  uint8_t read[3] = {};
  ASSERT_EQ(bus.read(kBehindAddress, sizeof read, read), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(read, read + 3), std::vector<uint8_t>(write + 1, write + 4));
  EXPECT_EQ(sim.sentByHost("02 09 08 00 08 04 00 10 A1 B2 C3"), 1u);
  EXPECT_EQ(sim.sentByHost("02 05 08 00 09 03 00"), 1u);
}

TEST_F(I2COnSimulator, AnAddressNobodyAcknowledgesFails) {
  const uint8_t probe[] = {0, 0};
  EXPECT_EQ(bus.write(kBehindAddress, sizeof probe, probe), aErrNone);
  EXPECT_EQ(bus.write(0x20, sizeof probe, probe), aErrIO);
  uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_EQ(bus.read(0x20, sizeof buffer, buffer), aErrIO);
  EXPECT_EQ(buffer[0], 9);
}

TEST_F(I2COnSimulator, TransferLengthsAndSpeed) {
  uint8_t buffer[24] = {};
  const size_t before = sim.packetsFromHost();
  EXPECT_EQ(bus.read(kBehindAddress, 24, buffer), aErrSize);
  EXPECT_EQ(bus.write(kBehindAddress, 24, buffer), aErrSize);
  EXPECT_EQ(sim.packetsFromHost(), before) << "refused before sending";

  EXPECT_EQ(bus.read(kBehindAddress, 23, buffer), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 05 08 00 09 17 00"), 1u) << "a five-byte request at speed 0";

  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  EXPECT_EQ(bus.setSpeed(3), aErrNone);
  uint8_t speed = 0;
  EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 3);
  EXPECT_EQ(bus.read(kBehindAddress, 2, buffer), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 05 08 00 09 02 03"), 1u) << "the stored speed travels with the request";

  EXPECT_EQ(bus.init(router.get(), 0), aErrNone);
  EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0) << "binding again starts slow";
  EXPECT_EQ(bus.getSpeed(nullptr), aErrParam);
}

TEST_F(I2COnSimulator, PullupSwitch) {
  EXPECT_EQ(bus.setPullup(true), aErrNone);
  EXPECT_EQ(bus.setPullup(false), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 04 08 00 01 01"), 1u);
  EXPECT_EQ(sim.sentByHost("02 04 08 00 01 00"), 1u);
}

TEST(I2CUnbound, TransfersNeedAModule) {
  I2CClass bus;
  uint8_t buffer[2] = {};
  EXPECT_EQ(bus.read(8, 2, buffer), aErrResource);
  EXPECT_EQ(bus.write(8, 2, buffer), aErrResource);
  EXPECT_EQ(bus.setPullup(true), aErrResource);
  EXPECT_EQ(bus.setSpeed(2), aErrNone) << "the speed is only stored";
}

}  // namespace
