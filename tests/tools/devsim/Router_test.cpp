// Modules behind a router: forwarded traffic, the I2C bus the router scans, and restarts of a
// module on the bus while the router's link stays up.
#include <gtest/gtest.h>

#include "I2CEntity.h"
#include "SimFixture.h"
#include "aError.h"

using namespace devsimtest;

namespace {

constexpr uint32_t kRouter = 0x0000000A;
const std::vector<std::string> kNetwork = {
    "serial=0x0000000A,model=15,address=4,tcp=0,hb=0",
    "serial=0x0000000B,model=13,address=6,build=77,behind=0x0000000A,restart=50",
    "serial=0x0000000C,model=14,address=10,behind=0x0000000A",
};

Bytes I2CWrite(uint8_t address, const Bytes& data) {
  Bytes request = {8, 0, address, static_cast<uint8_t>(data.size()), 3};
  request.insert(request.end(), data.begin(), data.end());
  return request;
}

class RouterTest : public ::testing::Test {
 protected:
  RunningSim sim{kNetwork};
  WireClient host = sim.tcp(kRouter);
};

TEST_F(RouterTest, ForwardsRequestsToModulesOnItsBusAndTheyAnswerFromTheirAddress) {
  EXPECT_EQ(host.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0, 0, 0, 0x0B}));
  EXPECT_EQ(host.request(10, {3, 0x48, 0x20}), Packet(10, {3, 8, 0, 14}));
  EXPECT_EQ(host.request(6, {3, 0x42, 0x20}), Packet(6, {3, 2, 0, 4})) << "its router is the module at 4";
  EXPECT_EQ(host.request(6, {0x49, 0xFF}), Packet(6, {0x49, 0xFF, 0, 0, 0, 77}));
  host.sendPacket(0xAD, {});
  EXPECT_EQ(host.next(), Packet(4, {})) << "the address query is the router's";
  host.sendPacket(8, {3, 0x48, 0x20});
  EXPECT_FALSE(host.next(200).has_value()) << "nobody at 8";
  EXPECT_TRUE(sim.logContains("no module at address 8"));
}

TEST_F(RouterTest, BusScanFindsExactlyTheModulesBehindTheRouter) {
  std::vector<uint8_t> found;
  for (int a = 2; a <= 252; a += 2) {
    auto reply = host.request(4, I2CWrite(static_cast<uint8_t>(a), {0, 0}));
    ASSERT_TRUE(reply.has_value()) << "every probe is answered, address " << a;
    ASSERT_EQ(reply->data.size(), 5u);
    if (reply->data[4] == 0) found.push_back(static_cast<uint8_t>(a));
    else EXPECT_EQ(reply->data[4], 0x80 | aErrIO) << "a NACK from an empty address";
  }
  EXPECT_EQ(found, (std::vector<uint8_t>{6, 10})) << "not the router's own address 4";
}

TEST_F(RouterTest, BusTargetsKeepWhatIsWrittenToThem) {
  EXPECT_EQ(host.request(4, I2CWrite(6, {0x10, 0xAA, 0xBB, 0xCC})), Packet(4, {8, 0, 6, 0, 0}));
  EXPECT_EQ(host.request(4, I2CWrite(6, {0x11})), Packet(4, {8, 0, 6, 0, 0})) << "sets the register pointer";
  EXPECT_EQ(host.request(4, {8, 0, 7, 2, 3}), Packet(4, {8, 0, 7, 2, 0, 0xBB, 0xCC}));
  EXPECT_EQ(host.request(4, {8, 0, 9, 1, 3}), Packet(4, {8, 0, 9, 0, 0x80 | aErrIO}));
  EXPECT_EQ(host.request(4, {8, 0, 7, 24, 3}), Packet(4, {8, 0, 7, 0, 0x80 | aErrSize}));
  EXPECT_EQ(host.request(4, {8, 0, 6, 1, 4, 0}), Packet(4, {8, 0, 6, 0, 0x80 | aErrParam})) << "speed 0..3";
  EXPECT_EQ(host.request(4, {8, 1, 6, 1, 3, 0}), Packet(4, {8, 1, 6, 0, 0x80 | aErrIndexRange}));
  EXPECT_EQ(host.request(4, {8, 0, 1, 1}), Packet(4, {8, 0, 1, 1, 0})) << "pull-up switch";
}

TEST_F(RouterTest, AModuleOnTheBusRestartsWhileTheRoutersLinkStaysUp) {
  host.sendPacket(6, {0x5F, 6});
  ASSERT_TRUE(sim.waitFor(0x0B, [](const devsim::ModuleStatus& s) { return s.run == devsim::RunState::Away; }, 500));
  EXPECT_EQ(host.request(4, I2CWrite(6, {0, 0})), Packet(4, {8, 0, 6, 0, 0x80 | aErrIO}));
  host.sendPacket(6, {3, 0x48, 0x20});
  EXPECT_FALSE(host.next(100).has_value());
  ASSERT_TRUE(sim.waitFor(0x0B, [](const devsim::ModuleStatus& s) { return s.run == devsim::RunState::Firmware; }, 1000));
  EXPECT_EQ(host.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 13}));
  EXPECT_EQ(sim.status(kRouter).restarts, 0u);
}

// A reply never leaves before the bus could have carried the transfer (only a lower bound: how
// fast the simulator is otherwise is measured in bench/).
TEST_F(RouterTest, RepliesWaitForTheirBusTime) {
  auto elapsedMicros = [&](const Bytes& request) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(host.request(4, request).has_value());
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  };
  EXPECT_GE(elapsedMicros({8, 0, 7, 23, 0}), devsim::I2CEntity::BusTimeMicros(0, 23, true));
  EXPECT_GE(elapsedMicros({8, 0, 9, 23, 0}), devsim::I2CEntity::BusTimeMicros(0, 0, false)) << "a NACK after the address";
}

TEST(I2CBusTime, GrowsWithTheBytesAndShrinksWithTheSpeed) {
  using devsim::I2CEntity;
  EXPECT_EQ(I2CEntity::BusTimeMicros(0, 0, false), 110u);  // 11 bits at 100 kHz
  EXPECT_EQ(I2CEntity::BusTimeMicros(0, 2, true), 290u);
  EXPECT_EQ(I2CEntity::BusTimeMicros(1, 2, true), 73u);
  EXPECT_LT(I2CEntity::BusTimeMicros(3, 23, true), I2CEntity::BusTimeMicros(2, 23, true));
}

TEST(RouterConfiguration, ModulesBehindUnknownRoutersOrOnTakenAddressesAreRefused) {
  ExpectRefused(ConfigFor({"serial=1,address=4,tcp=0", "serial=2,address=4,behind=1"}), "used twice");
  ExpectRefused(ConfigFor({"serial=1,address=4,tcp=0", "serial=2,address=6,behind=3"}),
                "not a directly reachable module");
  ExpectRefused(ConfigFor({"serial=1,address=4,tcp=0", "serial=1,address=6"}), "two modules have the serial number");
}

}  // namespace
