#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LpcIspPort.h"
#include "LpcSimProcess.h"
#include "RunProcess.h"
#include "Uuencode.h"

namespace {

const std::vector<std::string> kFast = {"--erase-ms", "0", "--program-ms", "0"};

// Brings the simulated chip into command mode with echo off.
void Synchronise(LpcIspPort& port) {
  EXPECT_EQ(port.Exchange("?"), "Synchronized\r\n");
  EXPECT_EQ(port.Exchange("Synchronized\r\n", "OK\r\n"), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(port.Exchange("12000\r\n", "OK\r\n"), "12000\r\nOK\r\n");
  EXPECT_EQ(port.Exchange("A 0\r\n", "\r\n0\r\n"), "A 0\r\n0\r\n");
}

// A block of data lines (each ended by CR LF) for up to 900 bytes, and its checksum line.
std::string DataBlock(const std::vector<uint8_t>& bytes, size_t from, size_t n, int checksumDelta = 0) {
  std::string text;
  char line[UUENCODE_LINE_CAPACITY];
  for (size_t pos = from; pos < from + n;) {
    pos += uuencode(line, bytes.data() + pos, from + n - pos);
    text += std::string(line) + "\r\n";
  }
  return text + std::to_string(sum(bytes.data() + from, n) + checksumDelta) + "\r\n";
}

TEST(LpcSim, SynchronisationEchoAndIdentification) {
  LpcSimProcess sim(kFast);
  ASSERT_TRUE(sim.ready()) << sim.Log();
  LpcIspPort port(sim.port());
  ASSERT_TRUE(port.isOpen());
  // Noise before the "?" is ignored; a wrong synchronisation word restarts auto-baud.
  EXPECT_EQ(port.Exchange("x?"), "Synchronized\r\n");
  EXPECT_EQ(port.Exchange("Synchronised\r\n"), "Synchronised\r\n");
  EXPECT_TRUE(port.Quiet(50));
  Synchronise(port);
  EXPECT_EQ(port.Exchange("J\r\n", "\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("", "\r\n"), "637615927\r\n");
  EXPECT_EQ(port.Exchange("K\r\n", "1\r\n"), "0\r\n4\r\n1\r\n");
  EXPECT_EQ(port.Exchange("N\r\n", "3723427584\r\n"), "0\r\n287454020\r\n1432778632\r\n2578103244\r\n3723427584\r\n");
  EXPECT_EQ(port.Exchange("X\r\n"), "1\r\n");
  EXPECT_EQ(port.Exchange("J 1\r\n"), "12\r\n");
  EXPECT_EQ(port.Exchange("B 1234 1\r\n"), "17\r\n");
  EXPECT_EQ(port.Exchange("B 9600 3\r\n"), "18\r\n");
  EXPECT_EQ(port.Exchange("B 57600 1\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("A 2\r\n"), "12\r\n");
  EXPECT_EQ(port.Exchange("P 0 x\r\n"), "12\r\n");
  EXPECT_EQ(port.Exchange(std::string(300, 'P') + "\r\n"), "1\r\n");
  EXPECT_EQ(port.Exchange("A 1\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("J\r\n", "637615927\r\n"), "J\r\n0\r\n637615927\r\n");
}

// Prepare, erase and copy follow the chip's rules; RAM writes and reads go in checksummed blocks.
TEST(LpcSim, FlashRulesAndDataTransfers) {
  LpcSimProcess sim({"--erase-ms", "0", "--program-ms", "0", "--bad-checksum", "2"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  LpcIspPort port(sim.port());
  Synchronise(port);
  EXPECT_EQ(port.Exchange("P 0 1\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("E 0 1\r\n"), "15\r\n");  // locked
  EXPECT_EQ(port.Exchange("G 0 T\r\n"), "15\r\n");
  EXPECT_EQ(port.Exchange("U 1\r\n"), "16\r\n");
  EXPECT_EQ(port.Exchange("U 23130\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("E 2 2\r\n"), "9\r\n");  // not prepared
  EXPECT_EQ(port.Exchange("P 3 2\r\n"), "7\r\n");
  EXPECT_EQ(port.Exchange("P 0 30\r\n"), "7\r\n");
  EXPECT_EQ(port.Exchange("E 0 1\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("E 0 1\r\n"), "9\r\n");  // an erase locks the sectors again
  EXPECT_EQ(port.Exchange("I 0 1\r\n"), "0\r\n");

  EXPECT_EQ(port.Exchange("W 268439553 256\r\n"), "13\r\n");
  EXPECT_EQ(port.Exchange("W 268439552 6\r\n"), "6\r\n");
  EXPECT_EQ(port.Exchange("W 1073741824 256\r\n"), "14\r\n");
  EXPECT_EQ(port.Exchange("W 268468220 8\r\n"), "14\r\n");  // runs past the end of the RAM
  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  EXPECT_EQ(port.Exchange("W 268439552 1024\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange(DataBlock(data, 0, 900)), "OK\r\n");
  // The second checksum exchange is the injected fault; a wrong checksum is refused as well.
  EXPECT_EQ(port.Exchange(DataBlock(data, 900, 124)), "RESEND\r\n");
  EXPECT_EQ(port.Exchange(DataBlock(data, 900, 124, 1)), "RESEND\r\n");
  EXPECT_EQ(port.Exchange(DataBlock(data, 900, 124)), "OK\r\n");

  EXPECT_EQ(port.Exchange("C 128 268439552 256\r\n"), "3\r\n");
  EXPECT_EQ(port.Exchange("C 0 268439553 256\r\n"), "2\r\n");
  EXPECT_EQ(port.Exchange("C 0 268439552 100\r\n"), "6\r\n");
  EXPECT_EQ(port.Exchange("C 524288 268439552 256\r\n"), "5\r\n");
  EXPECT_EQ(port.Exchange("C 0 536870912 256\r\n"), "4\r\n");
  EXPECT_EQ(port.Exchange("C 0 268439552 1024\r\n"), "9\r\n");
  EXPECT_EQ(port.Exchange("P 0 0\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("C 0 268439552 1024\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("I 0 0\r\n", "\r\n"), "8\r\n");
  EXPECT_EQ(port.Exchange("", "\r\n"), "0\r\n");  // offset and value of the first word in use
  EXPECT_EQ(port.Exchange("", "\r\n"), "370083841\r\n");
  EXPECT_EQ(port.Exchange("M 0 268439552 1024\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("M 0 268439556 8\r\n", "\r\n"), "10\r\n");
  EXPECT_EQ(port.Exchange("", "\r\n"), "0\r\n");

  // Reading flash back: 900 bytes in 20 lines and a checksum, then the rest.
  EXPECT_EQ(port.Exchange("R 0 1024\r\n"), "0\r\n");
  const std::string first = DataBlock(data, 0, 900);
  EXPECT_EQ(port.Exchange("", first.substr(first.size() - 8)), first);
  EXPECT_EQ(port.Exchange("RESEND\r\n", first.substr(first.size() - 8)), first);
  const std::string second = DataBlock(data, 900, 124);
  EXPECT_EQ(port.Exchange("OK\r\n", second.substr(second.size() - 6)), second);
  EXPECT_EQ(port.Exchange("OK\r\nJ\r\n"), "0\r\n");
  EXPECT_EQ(port.Exchange("", "\r\n"), "637615927\r\n");

  EXPECT_EQ(port.Exchange("G 0 A\r\n"), "12\r\n");
  EXPECT_EQ(port.Exchange("G 0 T\r\n"), "0\r\n");
  EXPECT_TRUE(port.Quiet(200, "J\r\n"));  // the chip now runs user code
  EXPECT_EQ(sim.Stop(), 0);
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_EQ(flash.size(), 0x80000u);
  EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 1024), data);
  EXPECT_EQ(flash[1024], 0xFF);
}

TEST(LpcSim, CommandLine) {
  const ProcessResult help = RunProcess({LpcSimProcess::Binary(), "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--chip lpc17xx"), std::string::npos);
  EXPECT_NE(help.out.find("--erase-ms"), std::string::npos);
  const ProcessResult noChip = RunProcess({LpcSimProcess::Binary()});
  EXPECT_EQ(noChip.exitCode, 1);
  EXPECT_NE(noChip.err.find("--chip is required"), std::string::npos);
  const ProcessResult badValue = RunProcess({LpcSimProcess::Binary(), "--chip", "lpc17xx", "--refuse", "E"});
  EXPECT_EQ(badValue.exitCode, 1);
  EXPECT_NE(badValue.err.find("bad value for --refuse: E"), std::string::npos);
}

}  // namespace
