// I2CClass on a router's bus, where the simulated modules behind it answer as register memories.
#include <gtest/gtest.h>

#include <vector>

#include "FakeModule.h"
#include "I2CClass.h"
#include "ModuleTestSupport.h"

using namespace moduletest;
using Tessaron::Axonforge::I2CClass;

namespace {

class I2COnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
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

  uint8_t untouched[2] = {9, 9};
  EXPECT_EQ(bus.write(0x20, 1, pointer), aErrIO) << "nobody acknowledges 0x20";
  EXPECT_EQ(bus.read(0x20, sizeof untouched, untouched), aErrIO);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(bus.setPullup(true), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 04 08 00 01 01"), 1u);
}

TEST_F(I2COnSimulator, TransferLengthsAndSpeed) {
  uint8_t buffer[24] = {};
  const size_t before = sim.sentByHost();
  EXPECT_EQ(bus.read(kBehindAddress, 24, buffer), aErrSize);
  EXPECT_EQ(bus.write(kBehindAddress, 24, buffer), aErrSize);
  EXPECT_EQ(sim.sentByHost(), before) << "refused before sending";
  EXPECT_EQ(bus.read(kBehindAddress, 23, buffer), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 05 08 00 09 17 00"), 1u) << "a five-byte request at speed 0";

  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  EXPECT_EQ(bus.setSpeed(3), aErrNone);
  EXPECT_EQ(bus.read(kBehindAddress, 2, buffer), aErrNone);
  EXPECT_EQ(sim.sentByHost("02 05 08 00 09 02 03"), 1u) << "the stored speed travels with the request";
  EXPECT_EQ(bus.init(router.get(), 0), aErrNone);
  uint8_t speed = 9;
  EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0) << "binding again starts slow";
}

TEST(I2CScripted, AReplyClaimingMoreBytesThanAskedForFillsOnlyTheBuffer) {
  linktest::FakeModule fake(2);
  fake.setHandler([](const linktest::WirePacket& request) -> std::vector<linktest::WirePacket> {
    return {{2, {8, 0, request.data[2], 20, 0, 0xA1, 0xA2, 0xA3}}};  // count 20, three bytes carried
  });
  Module router(2, 0);
  ASSERT_EQ(router.connectFromSpec(fake.spec()), aErrNone);
  I2CClass bus;
  ASSERT_EQ(bus.init(&router, 0), aErrNone);
  uint8_t buffer[4] = {0, 0, 0x55, 0x55};
  EXPECT_EQ(bus.read(kBehindAddress, 2, buffer), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0xA1, 0xA2, 0x55, 0x55}));
}

}  // namespace
