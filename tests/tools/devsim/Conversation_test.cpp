// The link-level conversation and the system entity, over a real TCP connection.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "aError.h"

using namespace devsimtest;

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr char kModule[] = "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,tcp=0,hb=0,restart=100";
using ConversationTest = OneModuleTest<kModule>;

const Bytes kBurst = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
const Bytes kTwoAnswers = {6, 0, 6, 0};

TEST_F(ConversationTest, ASyncBurstIsAnsweredTwiceAndASingleRequestOnce) {
  ASSERT_TRUE(host.connected());
  host.send(kBurst);
  EXPECT_EQ(host.readBytes(4), kTwoAnswers);
  EXPECT_TRUE(host.silent(100)) << "two answers for six requests";

  // Split across reads: the first request is answered at once, the rest of the burst once more.
  host.send({0xAD, 0});
  EXPECT_EQ(host.readBytes(2), (Bytes{6, 0}));
  host.send(Bytes(kBurst.begin() + 2, kBurst.end()));
  EXPECT_EQ(host.readBytes(2), (Bytes{6, 0}));
  EXPECT_TRUE(host.silent(100));

  // The address query: one request after other traffic, one answer.
  EXPECT_EQ(host.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
  EXPECT_EQ(host.request(0xAD, {}), Packet(6, {}));
  EXPECT_TRUE(host.silent(100));

  // Two bursts back to back are two runs of six: two answers each.
  host.send(Bytes(kBurst.begin(), kBurst.end()));
  host.send(kBurst);
  EXPECT_EQ(host.readBytes(8), (Bytes{6, 0, 6, 0, 6, 0, 6, 0}));
  EXPECT_TRUE(host.silent(100));
}

TEST_F(ConversationTest, HostSyncBurstsRealignADeviceLeftInTheMiddleOfAPacket) {
  // A packet that announces 10 bytes but brings 2: the burst's first four requests complete it.
  Bytes stray = {6, 10, 3, 0x48};
  stray.insert(stray.end(), kBurst.begin(), kBurst.end());
  host.send(stray);
  int answers = 0;
  while (auto packet = host.next(100)) answers += packet->data.empty() ? 1 : 0;
  EXPECT_EQ(answers, 2) << "the two requests left of the burst are still answered twice";
  host.send(kBurst);
  EXPECT_EQ(host.readBytes(4), kTwoAnswers);
  EXPECT_TRUE(host.silent(50));
}

TEST_F(ConversationTest, SystemEntityReportsItsIdentity) {
  EXPECT_EQ(host.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));                 // model
  EXPECT_EQ(host.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));  // serial
  EXPECT_EQ(host.request(6, {3, 0x47, 0x20}), Packet(6, {3, 7, 0, 0x2F, 2, 15, 3}));      // packed version
  EXPECT_EQ(host.request(6, {3, 0x6B, 0x20}), Packet(6, {3, 43, 0, 0, 0, 0, 100}));       // build
  EXPECT_EQ(host.request(6, {3, 0x41, 0x20}), Packet(6, {3, 1, 0, 6}));                   // module
  EXPECT_EQ(host.request(6, {3, 0x42, 0x20}), Packet(6, {3, 2, 0, 6}));                   // router: itself
  EXPECT_EQ(host.request(6, {3, 0x6D, 0x20}), Packet(6, {3, 45, 0, 0, 0, 0, 0}));         // features
}

TEST(SystemEntity, IdentifierWordsAreReadBySubindex) {
  RunningSim sim({"serial=0x00000042,address=2,tcp=0,hb=0,id=11111111:22222222:33333333:44444444,pooled"});
  WireClient host = sim.tcp(0x42);
  EXPECT_EQ(host.request(2, {3, 0x67, 0x20, 0}), Packet(2, {3, 39, 0, 0x11, 0x11, 0x11, 0x11}));
  EXPECT_EQ(host.request(2, {3, 0x67, 0x20, 3}), Packet(2, {3, 39, 0, 0x44, 0x44, 0x44, 0x44}));
  EXPECT_EQ(host.request(2, {3, 0x67, 0x20, 4}), Packet(2, {3, 39, 0x80, aErrIndexRange}));
  EXPECT_EQ(host.request(2, {3, 0x6D, 0x20}), Packet(2, {3, 45, 0, 0x80, 0, 0, 0}));  // pooled packets bit
}

TEST_F(ConversationTest, SetsAreAcknowledgedWithTheValueHeld) {
  EXPECT_EQ(host.request(6, {3, 0x84, 0x20, 5}), Packet(6, {3, 0xC4, 0, 1}));  // LED: any non-zero is on
  EXPECT_EQ(host.request(6, {3, 0x44, 0x20}), Packet(6, {3, 4, 0, 1}));
  EXPECT_EQ(host.request(6, {3, 0xA2, 0x20, 0x0B, 0xEB, 0xC2, 0x00}), Packet(6, {3, 0xE2, 0, 0x0B, 0xEB, 0xC2, 0x00}));
  EXPECT_EQ(host.request(6, {3, 0x94, 0x20, 1}), Packet(6, {3, 0xD4, 0, 1}));  // routeToMe
  EXPECT_EQ(sim.status(kSerial).routeToMe, 1);
}

TEST_F(ConversationTest, RefusedRequestsGetErrorRepliesWithTheDeviceCode) {
  EXPECT_EQ(host.request(6, {3, 0x88, 0x20, 9}), Packet(6, {3, 0xC8, 0x80, aErrInvalidOption}));   // model is read-only
  EXPECT_EQ(host.request(6, {3, 0x6C, 0x20}), Packet(6, {3, 44, 0x80, aErrInvalidOption}));        // no option 44
  EXPECT_EQ(host.request(6, {3, 0x48, 0x21}), Packet(6, {3, 8, 0x81, aErrIndexRange}));             // one system entity
  EXPECT_EQ(host.request(6, {3, 0x83, 0x20}), Packet(6, {3, 0xC3, 0x80, aErrShortCommand}));       // set without value
  EXPECT_EQ(host.request(6, {3, 0x48}), Packet(6, {3, 8, 0x80, aErrShortCommand}));                // no specifier
  EXPECT_EQ(host.request(6, {50, 0x41, 0x20}), Packet(6, {50, 1, 0x80, aErrInvalidEntity}));       // no such entity
  EXPECT_EQ(host.request(6, {9, 1, 2}), Packet(6, {9, 1, 0x82, aErrInvalidEntity}));               // unknown command
  EXPECT_TRUE(sim.logContains("unknown command 9 (09 01 02)"));
}

TEST_F(ConversationTest, GarbageAndStrangersAreSkippedAndLogged) {
  // An odd byte, a zero byte, an oversize length, then a packet for an address nobody has.
  host.send({0x07, 0x00, 0x06, 0x40, 0x08, 0x01, 0x00});
  EXPECT_TRUE(host.silent(100));
  EXPECT_EQ(host.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17})) << "back in step for the next packet";
  EXPECT_TRUE(sim.logContains("skipped 2 byte(s) that cannot start a packet: 07 00"));
  EXPECT_TRUE(sim.logContains("length 64 for address 06 exceeds 28"));
  EXPECT_TRUE(sim.logContains("no module at address 8"));
}

TEST_F(ConversationTest, ResetDropsTheLinkAndKeepsOnlySavedSettings) {
  EXPECT_EQ(host.request(6, {3, 0x83, 0x20, 7}), Packet(6, {3, 0xC3, 0, 7}));  // heartbeat interval
  EXPECT_EQ(host.request(6, {3, 0x8A, 0x20}), Packet(6, {3, 0xCA, 0}));        // save
  EXPECT_EQ(host.request(6, {3, 0x84, 0x20, 1}), Packet(6, {3, 0xC4, 0, 1}));  // LED, not saved
  EXPECT_EQ(host.request(6, {3, 0x8B, 0x20}), Packet(6, {3, 0xCB, 0}));        // reset is acknowledged first
  EXPECT_TRUE(host.closedByPeer(500));
  ASSERT_TRUE(sim.waitFor(kSerial, [](const devsim::ModuleStatus& s) { return s.restarts == 1 && s.run == devsim::RunState::Firmware; }, 1000));
  WireClient again = WireClient::TcpWhenBack(sim.sim().tcpPort(kSerial), 1000);
  ASSERT_TRUE(again.connected());
  EXPECT_EQ(again.request(6, {3, 0x43, 0x20}), Packet(6, {3, 3, 0, 7}));
  EXPECT_EQ(again.request(6, {3, 0x44, 0x20}), Packet(6, {3, 4, 0, 0}));
}

TEST_F(ConversationTest, RestoringDefaultsLeavesSavedSettingsAndAFactoryResetClearsBoth) {
  EXPECT_EQ(host.request(6, {3, 0x83, 0x20, 7}), Packet(6, {3, 0xC3, 0, 7}));  // heartbeat interval
  EXPECT_EQ(host.request(6, {3, 0x82, 0x20, 8}), Packet(6, {3, 0xC2, 0, 8}));  // router address
  EXPECT_EQ(host.request(6, {3, 0x8A, 0x20}), Packet(6, {3, 0xCA, 0}));        // save
  EXPECT_EQ(host.request(6, {3, 0xA4, 0x20}), Packet(6, {3, 0xE4, 0}));        // restore defaults
  EXPECT_EQ(host.request(6, {3, 0x43, 0x20}), Packet(6, {3, 3, 0, 0}));
  EXPECT_EQ(host.request(6, {3, 0x50, 0x20}), Packet(6, {3, 16, 0, 8}));  // the saved router address stays
  EXPECT_EQ(host.request(6, {3, 0x83, 0x20, 7}), Packet(6, {3, 0xC3, 0, 7}));
  EXPECT_EQ(host.request(6, {3, 0xA5, 0x20}), Packet(6, {3, 0xE5, 0}));  // factory reset
  EXPECT_EQ(host.request(6, {3, 0x43, 0x20}), Packet(6, {3, 3, 0, 0}));
  EXPECT_EQ(host.request(6, {3, 0x50, 0x20}), Packet(6, {3, 16, 0, 6}));
}

TEST(Heartbeats, FlowOnlyWhileRoutedAndStopWhenTheHostStopsAnswering) {
  RunningSim sim({"serial=0x00000007,address=4,tcp=0,hb=1"});
  WireClient host = sim.tcp(7);
  EXPECT_FALSE(host.next(300, true).has_value()) << "no heartbeats before the route switch";
  host.sendPacket(0xAF, {1});
  auto beat = host.next(500, true);
  ASSERT_TRUE(beat.has_value());
  EXPECT_EQ(*beat, Packet(4, {0, 0}));
  host.sendPacket(4, {0, 2});
  ASSERT_TRUE(sim.waitFor(7, [](const devsim::ModuleStatus& s) { return s.heartbeatsAnswered == 1; }, 500));
  // Unanswered from here on: after three misses the module stops routing to this host.
  ASSERT_TRUE(sim.waitFor(7, [](const devsim::ModuleStatus& s) { return !s.routed; }, 2000));
  EXPECT_TRUE(sim.logContains("heartbeat not answered"));
  EXPECT_TRUE(sim.logContains("stopped answering heartbeats"));
  while (host.next(50, true)) {
  }
  EXPECT_FALSE(host.next(300, true).has_value());
}

TEST(Heartbeats, AnsweredHeartbeatsKeepTheRouteAndRouteOffStopsThem) {
  RunningSim sim({"serial=0x00000007,address=4,tcp=0,hb=1"});
  WireClient host = sim.tcp(7);
  host.sendPacket(0xAF, {1});
  EXPECT_TRUE(host.silent(600)) << "WireClient answers every heartbeat";
  devsim::ModuleStatus s = sim.status(7);
  EXPECT_TRUE(s.routed);
  EXPECT_GE(s.heartbeatsAnswered, 2u);
  EXPECT_FALSE(sim.logContains("stopped answering heartbeats"));
  host.sendPacket(0xAF, {0});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  while (host.next(20, true)) {
  }
  EXPECT_FALSE(host.next(300, true).has_value());
}

}  // namespace

namespace {

devsim::FaultSpec ParsedFault(const std::string& text) {
  devsim::FaultSpec fault;
  uint32_t serial = 0;
  std::string error;
  EXPECT_TRUE(devsim::ParseFault(text, &fault, &serial, &error)) << error;
  return fault;
}

// Waits for the answered and wrong counts; the missed count is checked only when given, since
// it grows on its own while the test does not answer.
bool Counted(RunningSim& sim, uint32_t answered, uint32_t wrong, int missed = -1) {
  return sim.waitFor(7, [&](const devsim::ModuleStatus& s) {
    return s.heartbeatsAnswered == answered && s.heartbeatsWrong == wrong &&
           (missed < 0 || s.heartbeatsMissed == static_cast<uint32_t>(missed));
  }, 1000);
}

TEST(Heartbeats, ValuesAlternateAndWrongOrMissingAnswersAreCountedAndDropTheLinkUnderTheFault) {
  RunningSim sim({"serial=0x00000007,address=4,tcp=0,hb=3"},
                 [](devsim::DevSimConfig& c) { c.faults.emplace_back(0, ParsedFault("hbmiss=2")); });
  WireClient host = sim.tcp(7);
  host.sendPacket(0xAF, {1});
  EXPECT_EQ(host.next(1000, true), Packet(4, {0, 0}));
  host.sendPacket(4, {0, 2});
  EXPECT_EQ(host.next(1000, true), Packet(4, {0, 1}));
  host.sendPacket(4, {0, 3});
  EXPECT_TRUE(Counted(sim, 2, 0, 0));

  EXPECT_EQ(host.next(1000, true), Packet(4, {0, 0}));
  EXPECT_EQ(host.next(1000, true), Packet(4, {0, 1})) << "the unanswered one counts as missed";
  host.sendPacket(4, {0, 2});  // the missed one's answer, too late
  host.sendPacket(4, {0, 4});  // v + 3
  EXPECT_TRUE(Counted(sim, 2, 1));
  EXPECT_TRUE(sim.logContains("late heartbeat answer 00 02"));
  EXPECT_TRUE(sim.logContains("wrong heartbeat answer 00 04 (00 03 expected)"));
  EXPECT_TRUE(host.closedByPeer(1500)) << "the wrongly answered one is the second miss: the link drops";
  EXPECT_TRUE(Counted(sim, 2, 1, 2));
  EXPECT_TRUE(sim.logContains("fault: 2 heartbeat(s) missed"));
}

TEST(Heartbeats, AConfiguredValueIsSentEveryTimeAndStrayAnswersAreOnlyLogged) {
  RunningSim sim({"serial=0x00000007,address=4,tcp=0,hb=3,hbvalue=1"});
  WireClient host = sim.tcp(7);
  host.sendPacket(4, {0, 3});
  host.sendPacket(0xAF, {1});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(host.next(1000, true), Packet(4, {0, 1}));
    host.sendPacket(4, {0, 3});
  }
  EXPECT_TRUE(Counted(sim, 2, 0));
  EXPECT_TRUE(sim.logContains("heartbeat answer 00 03 with no heartbeat outstanding ignored"));
}

}  // namespace
