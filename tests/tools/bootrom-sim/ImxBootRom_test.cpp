// The i.MX boot-ROM simulator as a program: its wire bytes on the serial line, its command line,
// and a third-party SDP host (imx_uart of Debian's imx-usb-loader) loading an image into its RAM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <random>

#include "ImxBootRomProcess.h"
#include "RunProcess.h"
#include "TempDir.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kOcram = 0x20200000;
const char kImxUart[] = "/usr/bin/imx_uart";

// A raw host on the simulator's serial line.
class SerialHost {
 public:
  explicit SerialHost(const std::string& tty) : fd_(open(tty.c_str(), O_RDWR | O_NOCTTY)) {
    termios tio;
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~SerialHost() { close(fd_); }
  bool opened() const { return fd_ >= 0; }
  void send(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  // Exactly count bytes, or fewer when the line stays quiet for 2 s.
  Bytes read(size_t count) {
    Bytes got;
    while (got.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) break;
      uint8_t buffer[256];
      ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // Whether anything arrives within a short while (the ROM is silent during a data phase).
  bool quiet() {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 200) == 0;
  }

 private:
  int fd_;
};

Bytes Command(uint16_t type, uint32_t address, uint8_t format, uint32_t count, uint32_t data = 0) {
  Bytes c = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
  for (uint32_t v : {address}) for (int s = 24; s >= 0; s -= 8) c.push_back(static_cast<uint8_t>(v >> s));
  c.push_back(format);
  for (uint32_t v : {count, data}) for (int s = 24; s >= 0; s -= 8) c.push_back(static_cast<uint8_t>(v >> s));
  c.push_back(0);
  return c;
}

const Bytes kHabOpen = {0x56, 0x78, 0x78, 0x56};
const Bytes kHabClosed = {0x12, 0x34, 0x34, 0x12};

Bytes Answer(const Bytes& hab, const Bytes& payload) {
  Bytes a = hab;
  a.insert(a.end(), payload.begin(), payload.end());
  return a;
}

TEST(ImxBootRom, SpeaksTheSerialDownloadProtocolOnItsSerialLine) {
  ImxBootRomProcess rom({"--hab", "closed", "--register", "0x401F4410=0xA1B2C3D4", "--ram", "0x20000000:4K"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  SerialHost host(rom.tty());
  ASSERT_TRUE(host.opened());

  host.send({0x23, 0x45, 0x45, 0x23});  // serial association
  EXPECT_EQ(host.read(4), (Bytes{0x23, 0x45, 0x45, 0x23}));
  host.send(Command(0x0505, 0, 0, 0));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0xF0, 0xF0, 0xF0, 0xF0}));
  host.send(Command(0x0101, 0x401F4410, 0x20, 4));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0xD4, 0xC3, 0xB2, 0xA1}));

  // A file in two pieces: the ROM stays silent until the last byte, then reports it written.
  host.send(Command(0x0404, 0x20000010, 0x20, 6));
  host.send({1, 2, 3});
  EXPECT_TRUE(host.quiet());
  host.send({4, 5, 6});
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x88, 0x88, 0x88, 0x88}));
  host.send(Command(0x0101, 0x2000000E, 0x08, 10));
  EXPECT_EQ(host.read(14), Answer(kHabClosed, {0, 0, 1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_EQ(rom.ram(0x20000000, 0x10, 6), (Bytes{1, 2, 3, 4, 5, 6}));

  // Registers and RAM words, directly and through a device configuration table.
  host.send(Command(0x0202, 0x20000100, 0x20, 0, 0xCAFEF00D));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x12, 0x8A, 0x8A, 0x12}));
  const Bytes dcd = {0xD2, 0x00, 0x10, 0x41, 0xCC, 0x00, 0x0C, 0x04, 0x20, 0x00, 0x01, 0x04, 0x01, 0x02, 0x03, 0x04};
  host.send(Command(0x0A0A, 0x20000200, 0, static_cast<uint32_t>(dcd.size())));
  host.send(dcd);
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x12, 0x8A, 0x8A, 0x12}));
  host.send(Command(0x0101, 0x20000100, 0x20, 8));
  EXPECT_EQ(host.read(12), Answer(kHabClosed, {0x0D, 0xF0, 0xFE, 0xCA, 0x04, 0x03, 0x02, 0x01}));
  host.send(Command(0x0C0C, 0, 0, 0));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x09, 0xD0, 0x0D, 0x90}));

  // Refusals: a file that does not fit RAM is answered at once and its data swallowed; the error
  // status tells; an unknown command and a jump outside RAM are refused the same way.
  host.send(Command(0x0404, 0x20000FFC, 0x20, 8));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x33, 0x33, 0x33, 0x33}));
  host.send({9, 9, 9, 9, 9, 9, 9, 9});
  host.send(Command(0x0505, 0, 0, 0));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x33, 0x33, 0x33, 0x33}));
  host.send(Command(0x0707, 0, 0, 0));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x33, 0x33, 0x33, 0x33}));
  host.send(Command(0x0B0B, 0x40000000, 0, 0));
  EXPECT_EQ(host.read(8), Answer(kHabClosed, {0x33, 0x33, 0x33, 0x33}));

  // The jump: the HAB-mode word, then the ROM is gone and the loader runs on USB as DEADDEAD.
  host.send(Command(0x0B0B, 0x20000010, 0, 0));
  EXPECT_EQ(host.read(4), kHabClosed);
  EXPECT_TRUE(rom.loaderAnswersOnUsb(0xDEADDEAD)) << rom.Log();
}

TEST(ImxBootRom, CommandLine) {
  ProcessResult help = RunProcess({ImxBootRomProcess::Binary(), "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("imx options:"), std::string::npos);
  EXPECT_NE(help.out.find("--hid-dir DIR"), std::string::npos);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--chip", "z80"}, {"--chip", "imx", "--ram", "0x20000000"},
        {"--chip", "imx", "--hab", "half"}, {"--chip", "imx", "--devsim", "/bin/true"},
        {"--chip", "imx", "--fault", "fire"}, {"--chip", "imx", "--register"}}) {
    std::vector<std::string> argv = {ImxBootRomProcess::Binary()};
    argv.insert(argv.end(), bad.begin(), bad.end());
    ProcessResult r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 1) << bad.back();
    EXPECT_NE(r.err.find("bootrom-sim: "), std::string::npos) << r.err;
  }
}

// imx_uart, the serial host of Debian's imx-usb-loader, loads a file and jumps to it.
TEST(ImxBootRom, LoadsAnImageFromImxUart) {
  if (access(kImxUart, X_OK) != 0) GTEST_SKIP() << "imx_uart is not installed (Debian package imx-usb-loader)";
  ImxBootRomProcess rom({"-v"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  TempDir dir;
  std::mt19937 random(7);
  std::string image(20000, '\0');
  for (char& c : image) c = static_cast<char>(random());
  WriteTextFile(dir / "loader.bin", image);
  // The chip description imx_uart needs: the transfer variant, the DCD address and the RAM areas.
  WriteTextFile(dir / "imxrt.conf",
                "imxrt\n"
                "hid,1024,0x20000000,0x20000000,128K,0x20200000,256K\n" +
                    dir.path() + "/loader.bin:load 0x20200000,jump 0x20200000\n");
  ProcessResult r = RunProcess({kImxUart, "-n", rom.tty(), dir / "imxrt.conf"}, 60000);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("status 0x88888888"), std::string::npos) << r.out;
  const std::vector<uint8_t> ram = rom.ram(kOcram, 0, image.size());
  EXPECT_EQ(std::string(ram.begin(), ram.end()), image);
  EXPECT_NE(rom.Log().find("JUMP_ADDRESS 0x2020"), std::string::npos) << rom.Log();
}

}  // namespace
