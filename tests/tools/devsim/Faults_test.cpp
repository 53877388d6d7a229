// Each fault switch, armed through the in-process API or the module's configuration.
#include <gtest/gtest.h>

#include <chrono>

#include "SimFixture.h"
#include "aError.h"

using namespace devsimtest;
using devsim::FaultSpec;

namespace {

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr char kModule[] = "serial=0x00C0FFEE,model=21,address=2,tcp=0,hb=0,restart=50";
const Bytes kGetModel = {3, 0x48, 0x20};
const SimPacket kModel = Packet(2, {3, 8, 0, 21});

FaultSpec Fault(FaultSpec::Type type, uint32_t count = 1, uint32_t value = 0, devsim::ReplyKind kind = devsim::ReplyKind::Uei) {
  FaultSpec f;
  f.type = type;
  f.count = count;
  f.value = value;
  f.kind = kind;
  return f;
}

class FaultTest : public OneModuleTest<kModule> {
 protected:
  void arm(const FaultSpec& f) { ASSERT_TRUE(sim.sim().addFault(kSerial, f)); }
};

TEST_F(FaultTest, DropsTheNthReplyOfAKindOnly) {
  arm(Fault(FaultSpec::Type::DropReply, 2));
  EXPECT_EQ(host.request(2, kGetModel), kModel);
  host.sendPacket(0xAD, {});
  EXPECT_EQ(host.next(), Packet(2, {})) << "sync answers are another kind";
  host.sendPacket(2, kGetModel);
  EXPECT_FALSE(host.next(200).has_value()) << "the second UEI reply is dropped";
  EXPECT_EQ(host.request(2, kGetModel), kModel);
  EXPECT_TRUE(sim.logContains("dropped uei reply (fault)"));
}

TEST_F(FaultTest, WrongAcceptedCountOnceAndTheChunkIsNotKept) {
  arm(Fault(FaultSpec::Type::WrongCount));
  ASSERT_EQ(host.request(2, {0x5F, 3, 0, 0, 0, 0, 0}), Packet(2, {0x5F, 7, 0, 4, 0}));
  Bytes chunk = {0x5F, 1, 10, 20, 30};
  EXPECT_EQ(host.request(2, chunk), Packet(2, {0x5F, 1, 2}));
  EXPECT_EQ(host.request(2, chunk), Packet(2, {0x5F, 1, 3})) << "the resent chunk is accepted";
  EXPECT_EQ(host.request(2, {0x5F, 4}), Packet(2, {0x5F, 7, 0, 0, 0, 0, 60})) << "the lost chunk is not summed";
}

TEST_F(FaultTest, WrongSumOnce) {
  arm(Fault(FaultSpec::Type::WrongSum));
  host.request(2, {0x5F, 3, 0, 0, 0, 0, 0});
  host.request(2, {0x5F, 1, 1, 2});
  EXPECT_EQ(host.request(2, {0x5F, 4}), Packet(2, {0x5F, 7, 0, 0, 0, 0, 4}));
  EXPECT_EQ(host.request(2, {0x5F, 4}), Packet(2, {0x5F, 7, 0, 0, 0, 0, 3}));
}

TEST_F(FaultTest, CorruptsOneByteOnTheWire) {
  arm(Fault(FaultSpec::Type::Corrupt, 2, 0));
  EXPECT_EQ(host.request(2, kGetModel), kModel);
  host.sendPacket(2, kGetModel);
  EXPECT_EQ(host.readBytes(6), (Bytes{0xFD, 4, 3, 8, 0, 21})) << "the address byte of the second packet, inverted";
  EXPECT_EQ(host.request(2, kGetModel), kModel);
}

TEST_F(FaultTest, ClosesTheConnectionAfterNPackets) {
  arm(Fault(FaultSpec::Type::CloseAfter, 2));
  EXPECT_EQ(host.request(2, kGetModel), kModel);
  EXPECT_EQ(host.request(2, kGetModel), kModel) << "the Nth packet is still answered";
  EXPECT_TRUE(host.closedByPeer(500));
  WireClient again = sim.tcp(kSerial);
  EXPECT_EQ(again.request(2, kGetModel), kModel) << "the module itself stays available";
}

TEST_F(FaultTest, DelaysRepliesAndKeepsTheirOrder) {
  arm(Fault(FaultSpec::Type::Delay, 1, 150));
  auto start = std::chrono::steady_clock::now();
  host.sendPacket(2, kGetModel);
  host.sendPacket(0xAD, {});
  EXPECT_EQ(host.next(1000), kModel);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(host.next(1000), Packet(2, {}));
  arm(Fault(FaultSpec::Type::Delay, 1, 0));
  EXPECT_EQ(host.request(2, kGetModel, 100), kModel) << "delay 0 ends it";
}

TEST_F(FaultTest, RefusesOnePrepareWithTheGivenStatus) {
  arm(Fault(FaultSpec::Type::RefusePrepare, 1, 9));
  EXPECT_EQ(host.request(2, {0x5F, 3, 0, 0, 0, 0, 0}), Packet(2, {0x5F, 7, 9, 0, 0}));
  EXPECT_EQ(host.request(2, {0x5F, 3, 0, 0, 0, 0, 0}), Packet(2, {0x5F, 7, 0, 4, 0}));
}

TEST_F(FaultTest, NeverComesBackAfterReboot) {
  arm(Fault(FaultSpec::Type::NoReturn));
  host.sendPacket(2, {0x5F, 6});
  EXPECT_TRUE(host.closedByPeer(500));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sim.status(kSerial).run, devsim::RunState::Gone);
  EXPECT_FALSE(WireClient::Tcp(sim.sim().tcpPort(kSerial)).connected());
}

TEST(FaultParsing, CommandLineSpellingsAndTheirErrors) {
  FaultSpec f;
  uint32_t serial = 0;
  std::string error;
  ASSERT_TRUE(devsim::ParseFault("drop=data:3@0x1234ABCD", &f, &serial, &error)) << error;
  EXPECT_EQ(f.type, FaultSpec::Type::DropReply);
  EXPECT_EQ(f.kind, devsim::ReplyKind::Data);
  EXPECT_EQ(f.count, 3u);
  EXPECT_EQ(serial, 0x1234ABCDu);
  ASSERT_TRUE(devsim::ParseFault("corrupt=4:1", &f, &serial, &error));
  EXPECT_EQ(f.count, 4u);
  EXPECT_EQ(f.value, 1u);
  EXPECT_EQ(serial, 0u);
  ASSERT_TRUE(devsim::ParseFault("refuseprepare=9", &f, &serial, &error));
  EXPECT_EQ(f.value, 9u);
  EXPECT_FALSE(devsim::ParseFault("drop=nonsense", &f, &serial, &error));
  EXPECT_FALSE(devsim::ParseFault("drop=uei:0", &f, &serial, &error));
  EXPECT_FALSE(devsim::ParseFault("corrupt=1:30", &f, &serial, &error));
  EXPECT_FALSE(devsim::ParseFault("refuseprepare=0", &f, &serial, &error));
  EXPECT_FALSE(devsim::ParseFault("wrongsum=1", &f, &serial, &error));
  EXPECT_FALSE(devsim::ParseFault("explode", &f, &serial, &error));
  EXPECT_NE(error.find("explode"), std::string::npos);
}

// As the command line gives them: without a serial number a fault goes to the first module.
TEST(FaultConfiguration, FaultsGivenAtStartGoToTheModuleTheyName) {
  auto withFaults = [](devsim::DevSimConfig& config, const std::vector<std::string>& texts) {
    for (const auto& text : texts) {
      FaultSpec f;
      uint32_t serial = 0;
      std::string error;
      ASSERT_TRUE(devsim::ParseFault(text, &f, &serial, &error)) << error;
      config.faults.emplace_back(serial, f);
    }
  };
  RunningSim sim({kModule, "serial=0x0B0B,address=4,tcp=0,hb=0"},
                 [&](devsim::DevSimConfig& c) { withFaults(c, {"refuseprepare=5@0x0B0B", "refuseprepare=6"}); });
  const Bytes prepare = {0x5F, 3, 0, 0, 0, 0, 0};
  EXPECT_EQ(sim.tcp(kSerial).request(2, prepare), Packet(2, {0x5F, 7, 6, 0, 0}));
  EXPECT_EQ(sim.tcp(0x0B0B).request(4, prepare), Packet(4, {0x5F, 7, 5, 0, 0}));

  devsim::DevSimConfig unknown = ConfigFor({kModule});
  withFaults(unknown, {"noreturn@0x99"});
  ExpectRefused(unknown, "names module 00000099, which is not simulated");
}

TEST(FaultPlanCounting, TwoArmedDropsOfOneKindBothCount) {
  devsim::FaultPlan plan;
  plan.add(Fault(FaultSpec::Type::DropReply, 2));
  plan.add(Fault(FaultSpec::Type::DropReply, 3));
  plan.add(Fault(FaultSpec::Type::DropReply, 1, 0, devsim::ReplyKind::Sum));
  EXPECT_FALSE(plan.dropReply(devsim::ReplyKind::Uei));
  EXPECT_TRUE(plan.dropReply(devsim::ReplyKind::Uei));
  EXPECT_TRUE(plan.dropReply(devsim::ReplyKind::Uei));
  EXPECT_FALSE(plan.dropReply(devsim::ReplyKind::Uei));
  EXPECT_TRUE(plan.dropReply(devsim::ReplyKind::Sum));
}

}  // namespace
