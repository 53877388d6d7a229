// Pseudo-terminal transports: the serial port and the kernel-driver node.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SimFixture.h"
#include "TempDir.h"

using namespace devsimtest;

namespace {

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool WaitForLink(const std::string& path, bool present, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs && IsLink(path) != present; waited += 5) usleep(5000);
  return IsLink(path) == present;
}

class TerminalTest : public ::testing::Test {
 protected:
  TempDir temp;
  std::string dir = temp.path();
  RunningSim sim{{"serial=0x1234ABCD,model=17,address=6,hb=0,restart=50,loaderserial,serialport=" + dir +
                  "/ttyAF0,kdev=" + dir + "/axonforge.%08X"}};
};

TEST_F(TerminalTest, SerialPortAnswersThroughItsSymlink) {
  EXPECT_EQ(sim.sim().serialPortPath(0x1234ABCD), dir + "/ttyAF0");
  WireClient port = WireClient::Terminal(dir + "/ttyAF0");
  ASSERT_TRUE(port.connected());
  port.send({0xAD, 0, 0xAD, 0});
  EXPECT_EQ(port.readBytes(4), (Bytes{6, 0, 6, 0}));
  EXPECT_EQ(port.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
}

TEST_F(TerminalTest, SerialLineStaysWhileTheModuleRestartsAndIsSilentMeanwhile) {
  WireClient port = WireClient::Terminal(dir + "/ttyAF0");
  EXPECT_EQ(port.request(6, {3, 0x8B, 0x20}), Packet(6, {3, 0xCB, 0}));  // reset
  port.sendPacket(6, {3, 0x48, 0x20});
  EXPECT_FALSE(port.next(20).has_value());
  ASSERT_TRUE(sim.waitFor(0x1234ABCD, [](const devsim::ModuleStatus& s) { return s.restarts == 1 && s.run == devsim::RunState::Firmware; }, 1000));
  EXPECT_EQ(port.request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
}

TEST_F(TerminalTest, KernelNodeVanishesDuringTheLoaderRestartAndReturnsUnderTheLoaderSerial) {
  std::string node = dir + "/axonforge.1234ABCD";
  std::string loaderNode = dir + "/axonforge.DEADDEAD";
  EXPECT_EQ(sim.sim().kernelNodePath(0x1234ABCD), node);
  WireClient driver = WireClient::Terminal(node);
  ASSERT_TRUE(driver.connected());
  EXPECT_EQ(driver.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}));
  driver.sendPacket(6, {0x5F, 2});
  EXPECT_TRUE(WaitForLink(node, false, 500));
  ASSERT_TRUE(WaitForLink(loaderNode, true, 1000));
  WireClient loader = WireClient::Terminal(loaderNode);
  EXPECT_EQ(loader.request(6, {3, 0x49, 0x20}), Packet(6, {3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}));
}

TEST_F(TerminalTest, ASecondSimulatorDoesNotTakeOverTheLinks) {
  ExpectRefused(ConfigFor({"serial=2,serialport=" + dir + "/ttyAF0"}), dir + "/ttyAF0 already exists");
  ExpectRefused(ConfigFor({"serial=0x1234ABCD,kdev=" + dir + "/axonforge.%08X"}),
                dir + "/axonforge.1234ABCD already exists");
  EXPECT_EQ(WireClient::Terminal(dir + "/ttyAF0").request(6, {3, 0x48, 0x20}), Packet(6, {3, 8, 0, 17}));
}

}  // namespace
