#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Log.h"
#include "LpcSimProcess.h"
#include "NXPSerialClass.h"
#include "Polling.h"
#include "Uuencode.h"

namespace {

const uint32_t kRam = NXPSerialClass::WRITE_ADDRESS;
const std::vector<std::string> kFast = {"--erase-ms", "0", "--program-ms", "0"};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A class connected and synchronised to a simulator.
struct Session {
  explicit Session(const std::vector<std::string>& args) : sim(args) {
    EXPECT_TRUE(sim.ready()) << sim.Log();
    EXPECT_EQ(isp.Connect(sim.port().c_str(), 115200), aErrNone);
    EXPECT_EQ(isp.Sync(), aErrNone) << sim.Log();
  }
  LpcSimProcess sim;
  NXPSerialClass isp;
};

TEST(Uuencode, LinesAndTheirBounds) {
  char line[UUENCODE_LINE_CAPACITY];
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(uuencode(line, abc, 3), 3u);
  EXPECT_STREQ(line, "#86)C");
  EXPECT_EQ(uuchar(0), '`');
  EXPECT_EQ(uuchar(64 + 1), '!');

  const std::vector<uint8_t> data = Pattern(50, 1);
  EXPECT_EQ(uuencode(line, data.data(), data.size()), 45u);
  EXPECT_EQ(strlen(line), 61u);
  EXPECT_EQ(line[0], 'M');
  uint8_t decoded[64];
  EXPECT_EQ(uudecode(decoded, 45, line), 45u);
  EXPECT_EQ(memcmp(decoded, data.data(), 45), 0);
  EXPECT_EQ(sum(decoded, 45), sum(data.data(), 45));
  // A count beyond the room given decodes nothing; a short line never reads past its end.
  EXPECT_EQ(uudecode(decoded, 44, line), 0u);
  LogCapture log(DEBUG_NXPSerial);
  memset(decoded, 0xAA, sizeof decoded);
  EXPECT_EQ(uudecode(decoded, sizeof decoded, "M86)C\r\n"), 45u);
  EXPECT_EQ(memcmp(decoded, "abc", 3), 0);
  EXPECT_EQ(decoded[3], 0);
  EXPECT_EQ(decoded[44], 0);
  EXPECT_EQ(decoded[45], 0xAA);
  EXPECT_NE(log.Text().find("Error buffer overrun\n"), std::string::npos);
  EXPECT_EQ(uudecode(decoded, sizeof decoded, ""), 0u);
}

TEST(NXPSerialClass, TablesAndFormulas) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0), 0u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29u);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30u);
  EXPECT_EQ(NXP_LPC17XX_sectors[30].start, 0xFFFFFFFFu);
  EXPECT_EQ(NXP_LPC17XX_sectors[30].sector, 30u);

  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
  EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
  EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);
  EXPECT_NE(log.Text().find("Copy length is too large. 5000 > 4096.\n"), std::string::npos);

  EXPECT_STREQ(NXPSerialClass::GetErrorText("0\r\n"), "CMD_SUCCESS");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("9\r\n"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("21"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");

  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 115200), 2u);
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(1000, 9600), 940u);
  // The erase and copy waits cover the data sheet's worst case with margin; others stay at 100.
  EXPECT_GE(NXPSerialClass::EraseWaitBudget(30), 30u * 105u * 3 / 2);
  EXPECT_GE(NXPSerialClass::CopyWaitBudget(4096), 100u + 16u);
  NXPSerialClass isp;
  EXPECT_EQ(isp.GetErrorIndex(3), 0u);
  EXPECT_EQ(isp.GetErrorIndex(10), 7u);
}

TEST(NXPSerialClass, ConnectChoosesTheRateCode) {
  LpcSimProcess sim(kFast);
  ASSERT_TRUE(sim.ready()) << sim.Log();
  LogCapture log(DEBUG_NXPSerial);
  NXPSerialClass isp;
  const std::string port = sim.port();
  EXPECT_EQ(isp.Connect(port.c_str(), 100000), aErrNone);
  EXPECT_EQ(isp.Connect(port.c_str(), 9600), aErrNone);
  EXPECT_EQ(isp.Connect(port.c_str(), 1000000), aErrNone);
  EXPECT_EQ(isp.Connect("/nonexistent/tty", 115200), aErrNotFound);
  const std::string text = log.Text();
  EXPECT_NE(text.find("Creating serial connection: [" + port + "] stream baud:6(115200)\n"), std::string::npos);
  EXPECT_NE(text.find("Creating serial connection: [" + port + "] stream baud:2(9600)\n"), std::string::npos);
  EXPECT_EQ(Count(text, "stream baud:2(9600)"), 2u);
  EXPECT_NE(text.find("Error Creating Serial [/nonexistent/tty] ==> aErrNotFound"), std::string::npos);
  // Refused on the host side: nothing reaches the device.
  EXPECT_EQ(isp.Prepare(5, 3), aErrParam);
  EXPECT_EQ(isp.Erase(5, 3), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x80, kRam, 256), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0, kRam, 300), aErrParam);
  EXPECT_EQ(isp.Write(kRam, 6, Pattern(6, 1).data()), aErrParam);
  EXPECT_EQ(sim.Log().find("] -> "), std::string::npos) << sim.Log();
}

// A port with nothing behind it: the handshake gives up after its budget, and says so.
TEST(NXPSerialClass, SyncWithASilentDeviceTimesOut) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  LogCapture log(DEBUG_NXPSerial);
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(ptsname(master), 115200), aErrNone);
  EXPECT_EQ(isp.Sync(), aErrTimeout);
  EXPECT_NE(log.Text().find("Did not receive correct response to opening sync command: [aErrTimeout]"), std::string::npos);
  char sent = 0;
  EXPECT_EQ(read(master, &sent, 1), 1);
  EXPECT_EQ(sent, '?');
  isp.Disconnect();
  close(master);
}

// The recovery's whole conversation against the simulated chip.
TEST(NXPSerialClass, ProgramsTheSimulatedChip) {
  Session s(kFast);
  NXPSerialClass& isp = s.isp;
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  EXPECT_EQ(isp.DeviceID()[0], 0x11223344u);
  EXPECT_EQ(isp.DeviceID()[3], 0xDDEEFF00u);
  int64_t part = 0;
  EXPECT_EQ(isp.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26013F37);
  int32_t major = 0, minor = 0;
  EXPECT_EQ(isp.GetBootLoaderVersion(&major, &minor), aErrNone);
  EXPECT_EQ(major * 10 + minor, 41);
  EXPECT_EQ(isp.SetBaudRate(115200), aErrNone);

  EXPECT_EQ(isp.Unlock(), aErrNone);
  EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrNone);

  // 900 bytes: 20 lines and one checksum; 904 bytes: a second block of one 4-byte line.
  const std::vector<uint8_t> first = Pattern(900, 7), second = Pattern(904, 8);
  EXPECT_EQ(isp.Write(kRam, 900, first.data()), aErrNone);
  EXPECT_EQ(isp.Write(kRam + 900, 904, second.data()), aErrNone);
  const std::string log = s.sim.Log();
  EXPECT_EQ(Count(log, "write block of 20 lines, 900 bytes: OK"), 2u) << log;
  EXPECT_EQ(Count(log, "write block of 1 lines, 4 bytes: OK (904 of 904)"), 1u) << log;

  std::vector<uint8_t> back(1804);
  EXPECT_EQ(isp.Read(kRam, 1804, back.data()), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 900), first);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 900, back.end()), second);

  // The recovery programs with echo off; each copy needs its sector prepared again.
  EXPECT_EQ(isp.SetEcho(false), aErrNone);
  EXPECT_FALSE(isp.Echo());
  EXPECT_EQ(isp.CopyToFlash(0x10000, kRam, 1024), aErrParam);  // not prepared
  EXPECT_NE(s.sim.Log().find("-> 9\n"), std::string::npos);
  EXPECT_EQ(isp.Prepare(16, 16), aErrNone);
  EXPECT_EQ(isp.CopyToFlash(0x10000, kRam, 1024), aErrNone);
  const std::vector<uint8_t> tail = Pattern(8, 9);
  EXPECT_EQ(isp.Write(kRam, 8, tail.data()), aErrNone);
  std::vector<uint8_t> flash(1024);
  EXPECT_EQ(isp.Read(0x10000, 1024, flash.data()), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.end()), std::vector<uint8_t>(back.begin(), back.begin() + 1024));
  EXPECT_EQ(isp.SetEcho(true), aErrNone);
  EXPECT_EQ(isp.ExecuteFrom(0x10000), aErrNone);
  EXPECT_TRUE(polling::Eventually([&] { return s.sim.Log().find("user code started at 0x00010000") != std::string::npos; }))
      << s.sim.Log();
  EXPECT_EQ(s.sim.Stop(), 0);
  const std::vector<uint8_t> image = s.sim.Flash();
  ASSERT_EQ(image.size(), 0x80000u);
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x10000, image.begin() + 0x10400), flash);
  EXPECT_EQ(image[0x10400], 0xFF);
}

TEST(NXPSerialClass, RecoversFromABadChecksumAndReportsRefusals) {
  LogCapture log(DEBUG_NXPSerial);
  {
    Session s({"--erase-ms", "0", "--program-ms", "0", "--bad-checksum", "1", "--refuse", "E:11"});
    const std::vector<uint8_t> data = Pattern(1800, 3);
    EXPECT_EQ(s.isp.Write(kRam, 1800, data.data()), aErrNone);
    EXPECT_EQ(Count(s.sim.Log(), ": RESEND"), 1u) << s.sim.Log();
    std::vector<uint8_t> back(1800);
    EXPECT_EQ(s.isp.Read(kRam, 1800, back.data()), aErrNone);
    EXPECT_EQ(back, data);
    EXPECT_EQ(s.isp.Unlock(), aErrNone);
    EXPECT_EQ(s.isp.Prepare(0, 29), aErrNone);
    EXPECT_EQ(s.isp.Erase(0, 29), aErrParam);
    EXPECT_NE(log.Text().find("Error response ==>[BUSY]\n"), std::string::npos) << log.Text();
  }
  {
    // A block read with a wrong checksum is asked for again.
    Session s({"--bad-checksum", "1"});
    std::vector<uint8_t> back(1800);
    EXPECT_EQ(s.isp.Read(0, 1800, back.data()), aErrNone);
    EXPECT_EQ(back, std::vector<uint8_t>(1800, 0xFF));
    EXPECT_EQ(Count(s.sim.Log(), "bytes: RESEND"), 1u) << s.sim.Log();
    EXPECT_EQ(Count(s.sim.Log(), "read block of 900 bytes: OK"), 2u) << s.sim.Log();
  }
}

// The chip takes about 100 ms per sector: erasing all thirty takes about 3 s, far longer than
// an ordinary command's wait.
TEST(NXPSerialClass, EraseWaitsForTheChipsRealTiming) {
  Session s({});
  EXPECT_EQ(s.isp.Unlock(), aErrNone);
  EXPECT_EQ(s.isp.Prepare(0, 29), aErrNone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(s.isp.Erase(0, 29), aErrNone) << s.sim.Log();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 3000);
  EXPECT_NE(s.sim.Log().find("busy 3000 ms"), std::string::npos);
  EXPECT_NE(s.sim.Log().find("[E 0 29] -> 0"), std::string::npos);
}

}  // namespace
