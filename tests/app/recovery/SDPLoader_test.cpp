// SDPLoader against the i.MX boot-ROM simulator, over its serial line and over HID through the
// hidapi stand-in, and against a scripted transport where exact packets matter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <regex>

#include "HID_SDPLoader.h"
#include "ImxBootRomProcess.h"
#include "Log.h"
#include "LogCapture.h"
#include "Polling.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"

namespace {

constexpr uint32_t kDtcm = 0x20000000;
constexpr uint32_t kLoadAddress = 0x20000400;
constexpr uint32_t kRecoverySerial = 0xDEADDEAD;

std::vector<uint8_t> RandomImage(size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  return image;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

enum class Transport { Serial, Hid };

SDPLoader_Interface* MakeTransport(Transport kind, const ImxBootRomProcess& rom) {
  if (kind == Transport::Hid) return new HID_SDPLoader(0x1FC9, 0x0130);
  return new Serial_SDPLoader(rom.tty());
}

class SDPLoaderOn : public ::testing::TestWithParam<Transport> {};

// The whole recovery load: connection check, fingerprint, a 2500-byte loader in three data
// reports, the success word, the jump, and the loader answering on USB as DEADDEAD.
TEST_P(SDPLoaderOn, ReadsTheFingerprintWritesTheLoaderAndStartsIt) {
  ImxBootRomProcess rom({"-v", "--register", "0x401F4410=0x11223344", "--register", "0x401F4420=0x55667788"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  LogCapture log(DEBUG_iMXSerial);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(MakeTransport(GetParam(), rom)));
  ASSERT_EQ(loader.init(), 0);

  uint64_t fingerprint = 0x8000000000000001ull;  // bits already set stay set
  EXPECT_EQ(loader.getFingerprint(fingerprint), 0);
  EXPECT_EQ(fingerprint, 0xD566778811223345ull);

  const std::vector<uint8_t> image = RandomImage(2500);
  EXPECT_EQ(loader.writeLoader(image, kLoadAddress), 0) << log.Text();
  EXPECT_EQ(rom.ram(kDtcm, kLoadAddress - kDtcm, image.size()), image);
  const std::string text = log.Text();
  EXPECT_NE(text.find("Loop: 0, tell: 1024, size: 1025\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Loop: 1, tell: 2048, size: 1025\n"), std::string::npos);
  EXPECT_NE(text.find("Loop: 2, tell: 2500, size: 453\n"), std::string::npos);
  EXPECT_EQ(text.find("Loop: 3"), std::string::npos);
  EXPECT_NE(text.find("Loader Transfer Successful\n"), std::string::npos);
  EXPECT_NE(rom.Log().find("WRITE_FILE 0x20000400 count 2500"), std::string::npos);

  loader.startLoader(kLoadAddress);
  ASSERT_TRUE(polling::Eventually([&] { return rom.Log().find("JUMP_ADDRESS 0x20000400") != std::string::npos; }));
  // The jump hands the chip to the recovery loader, presented on the simulated USB bus.
  EXPECT_TRUE(rom.loaderAnswersOnUsb(kRecoverySerial)) << rom.Log();
}

// The ROM refuses a file outside its RAM and says so at once: the transfer stops.
TEST_P(SDPLoaderOn, StopsWhenTheDeviceSpeaksDuringTheTransfer) {
  ImxBootRomProcess rom({"-v"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  LogCapture log(DEBUG_iMXSerial);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(MakeTransport(GetParam(), rom)));
  ASSERT_EQ(loader.init(), 0);
  EXPECT_EQ(loader.writeLoader(RandomImage(64 * 1024), 0x60000000), 3);
  EXPECT_NE(log.Text().find("Error while transfering loader. Aborting\n"), std::string::npos);
  EXPECT_NE(rom.Log().find("refused: 65536 bytes at 0x60000000 are not inside RAM"), std::string::npos);
}

// Answers without their full shape are no answers: five status requests, then "not there".
TEST_P(SDPLoaderOn, GivesUpAfterFiveMisshapenStatusAnswers) {
  ImxBootRomProcess rom({"-v", "--fault", "short-answers"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  LogCapture log(DEBUG_iMXSerial);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(MakeTransport(GetParam(), rom)));
  ASSERT_EQ(loader.init(), 0);
  uint64_t fingerprint = 0;
  EXPECT_EQ(loader.getFingerprint(fingerprint), 2);
  EXPECT_EQ(loader.writeLoader(RandomImage(100), kLoadAddress), 2);
  EXPECT_EQ(fingerprint, 0u);
  EXPECT_EQ(Count(log.Text(), "Error: No ack from iMX device\n"), 2u);
  ASSERT_TRUE(polling::Eventually([&] { return Count(rom.Log(), "ERROR_STATUS") == 10; })) << rom.Log();
  EXPECT_EQ(rom.Log().find("WRITE_FILE"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Transports, SDPLoaderOn, ::testing::Values(Transport::Serial, Transport::Hid),
                         [](const auto& info) { return info.param == Transport::Hid ? "Hid" : "Serial"; });

// A transport that records each packet and answers with scripted reads.
class ScriptedTransport : public SDPLoader_Interface {
 public:
  ScriptedTransport(std::vector<std::vector<uint8_t>>* sent, std::deque<std::vector<uint8_t>> answers, bool opens)
      : sent_(sent), answers_(std::move(answers)), opens_(opens) {}
  bool init() override { return opens_; }
  int writeData(const std::vector<uint8_t>& bytes) override {
    sent_->push_back(bytes);
    return static_cast<int>(bytes.size());
  }
  int readData(std::vector<uint8_t>& bytes, int) override {
    if (answers_.empty()) return 0;
    bytes.insert(bytes.end(), answers_.front().begin(), answers_.front().end());
    answers_.pop_front();
    return static_cast<int>(bytes.size());
  }
  bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override {
    if (bytes.size() < offset + 8) return false;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + 4 + i]) << (8 * i);
    return true;
  }

 private:
  std::vector<std::vector<uint8_t>>* sent_;
  std::deque<std::vector<uint8_t>> answers_;
  bool opens_;
};

TEST(SDPLoader, BuildsCommandPacketsAndJudgesTheirResults) {
  SDPLoader empty;
  EXPECT_EQ(empty.init(), 1);
  EXPECT_FALSE(empty.setLoader(nullptr));
  uint64_t value = 0;
  EXPECT_EQ(empty.getFingerprint(value), 2);

  std::vector<std::vector<uint8_t>> sent;
  const std::vector<uint8_t> status = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new ScriptedTransport(&sent, {status, status}, true)));
  std::vector<std::vector<uint8_t>> ignored;
  auto* second = new ScriptedTransport(&ignored, {}, true);
  EXPECT_FALSE(loader.setLoader(second));  // the first transport stays
  delete second;
  EXPECT_EQ(loader.init(), 0);
  // The second register answers with nothing readable.
  EXPECT_EQ(loader.getFingerprint(value), 7);
  EXPECT_EQ(value, 0xF0F0F0F0u);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (std::vector<uint8_t>{1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sent[1], (std::vector<uint8_t>{1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sent[2], (std::vector<uint8_t>{1, 1, 1, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));

  SDPLoader failing;
  ASSERT_TRUE(failing.setLoader(new ScriptedTransport(&ignored, {}, false)));
  EXPECT_EQ(failing.init(), 6);
}

// A port that never takes another byte ends the write instead of retrying for ever.
TEST(Serial_SDPLoader, GivesUpOnAPortThatAcceptsNothing) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Serial_SDPLoader port(ptsname(master));
  ASSERT_TRUE(port.init());
  std::vector<uint8_t> packet(1024 * 1024 + 1, 0x5A);
  packet[0] = 2;
  const int written = port.writeData(packet);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(packet.size() - 1));
  close(master);

  Serial_SDPLoader notATerminal("/dev/null");
  EXPECT_FALSE(notATerminal.init());
  Serial_SDPLoader missing("/nonexistent/tty");
  EXPECT_FALSE(missing.init());
}

}  // namespace
