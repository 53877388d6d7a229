#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "aSerialStream.h"

namespace {

// A pseudo-terminal: the stream opens the slave side by path, the test plays the device on
// the master side.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slavePath = ptsname(master);
    // Hold the slave open so its settings persist between openings.
    slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios cooked;
    ASSERT_EQ(tcgetattr(slave, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    cfsetspeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
  }
  void TearDown() override {
    if (stream != nullptr) aStream_Destroy(&stream);
    close(slave);
    close(master);
  }

  termios Settings() {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }

  aErr ReadByte(uint8_t* byte) {
    aErr err = aErrNotReady;
    for (int i = 0; i < 400 && err == aErrNotReady; ++i) err = aStream_Read(stream, byte, 1);
    return err;
  }

  int master = -1;
  int slave = -1;
  std::string slavePath;
  aStream* stream = nullptr;
};

}  // namespace

TEST_F(PtyTest, RateCodeSixIs115200EightNOne) {
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 6, false, 0, 0, &stream), aErrNone);
  const termios t = Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(PtyTest, ParitySevenBitsTwoStopsAndOtherRates) {
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 2, true, 1, 1, &stream), aErrNone);
  termios t = Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  // A pseudo-terminal always reports 8 bits without parity; what it keeps can be checked.
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_iflag & INPCK, 0u);
  aStream_Destroy(&stream);
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 7, false, 0, 0, &stream), aErrNone);
  t = Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));
}

TEST_F(PtyTest, DataBothWaysAndNotReadyWhenQuiet) {
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 6, false, 0, 0, &stream), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  ASSERT_EQ(write(master, "?\r\n", 3), 3);
  std::string got;
  while (got.size() < 3 && ReadByte(&byte) == aErrNone) got += static_cast<char>(byte);
  EXPECT_EQ(got, "?\r\n");  // raw mode: nothing translated
  EXPECT_EQ(aStream_WriteCStringRecord(stream, "Synchronized", "\r\n"), aErrNone);
  char reply[32] = {};
  ssize_t n = 0;
  pollfd entry{master, POLLIN, 0};
  while (n < 15 && poll(&entry, 1, 1000) > 0) {
    const ssize_t r = read(master, reply + n, sizeof reply - static_cast<size_t>(n));
    if (r <= 0) break;
    n += r;
  }
  EXPECT_EQ(std::string(reply, static_cast<size_t>(n)), std::string("Synchronized\r\n\0", 15));
}

TEST_F(PtyTest, DestroyRestoresThePreviousSettings) {
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 6, false, 0, 0, &stream), aErrNone);
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  const termios t = Settings();
  EXPECT_NE(t.c_lflag & ICANON, 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(PtyTest, UnknownRateCodeSetsSpeedZero) {
  ASSERT_EQ(aStream_CreateSerial(slavePath.c_str(), 8, false, 0, 0, &stream), aErrNone);
  const termios t = Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B0));
}

TEST(aSerialStreamOpen, BadArgumentsAndPorts) {
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 2, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 2, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 0, nullptr), aErrParam);
  TempDir dir;
  EXPECT_EQ(aStream_CreateSerial((dir / "ttyNone").c_str(), 6, false, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  // Not a terminal: its attributes cannot be read.
  WriteTextFile(dir / "plain", "");
  EXPECT_EQ(aStream_CreateSerial((dir / "plain").c_str(), 6, false, 0, 0, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  const std::string tooLong(5000, 'a');
  EXPECT_EQ(aStream_CreateSerial(tooLong.c_str(), 6, false, 0, 0, &stream), aErrFileNameLength);
}

TEST(aSerialStreamOpen, UnreadablePortIsAPermissionError) {
  if (geteuid() == 0) GTEST_SKIP() << "root may open any file; permission cannot be tested";
  TempDir dir;
  WriteTextFile(dir / "locked", "");
  chmod((dir / "locked").c_str(), 0);
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateSerial((dir / "locked").c_str(), 6, false, 0, 0, &stream), aErrPermission);
  EXPECT_EQ(stream, nullptr);
}
