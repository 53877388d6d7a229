// The packet log of a Link: the link's traffic written as text lines by the logger thread.

#include <gtest/gtest.h>

#include <string>

#include "LinkPacketLog.h"
#include "LinkTestSupport.h"
#include "TempDir.h"

namespace {

using namespace linktest;

using LinkPacketLog = SimulatedModule;

TEST_F(LinkPacketLog, WritesANoteAndEachPacketSentAndReceived) {
  TempDir dir;
  const std::string path = dir / "packets.log";
  ASSERT_EQ(link->packetLog()->enable(path.c_str()), aErrNone);
  uei reply{};
  ASSERT_EQ(get(8, &reply), aErrNone);

  const std::string start = std::string("6 < START") + '\0' + "\r\n";
  const std::string request = "5 > 0x6 0x3 0x3 0x48 0x20 \r\n";
  const std::string answer = "6 < 0x6 0x4 0x3 0x8 0x0 0x11 \r\n";
  ASSERT_TRUE(Eventually([&] { return ReadTextFile(path).find(answer) != std::string::npos; }))
      << ReadTextFile(path);
  const std::string text = ReadTextFile(path);
  // The route switch the link sent when it started may still have been on its way.
  EXPECT_LT(text.find(start), text.find(request)) << text;
  EXPECT_LT(text.find(request), text.find(answer));

  // Disabled: nothing more reaches the file.
  ASSERT_EQ(link->packetLog()->disable(), aErrNone);
  ASSERT_EQ(get(8, &reply), aErrNone);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ReadTextFile(path), text);

  // Enabled again: the same file, appended to.
  ASSERT_EQ(link->packetLog()->enable(path.c_str()), aErrNone);
  ASSERT_TRUE(Eventually([&] { return ReadTextFile(path).rfind(start) > 0; }));
  EXPECT_EQ(ReadTextFile(path).find(text), 0u);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(LinkPacketLog, EveryRecordReachesTheFileBeforeTheLogStopsOrTheLinkGoes) {
  TempDir dir;
  const std::string path = dir / "packets.log";
  const std::string answer = "6 < 0x6 0x4 0x3 0x8 0x0 0x11 \r\n";
  const size_t kGets = 20;
  auto conversation = [&] {
    ASSERT_EQ(link->packetLog()->enable(path.c_str()), aErrNone);
    uei reply{};
    for (size_t i = 0; i < kGets; ++i) ASSERT_EQ(get(8, &reply), aErrNone);
  };

  // Switched off at once after the last reply: nothing recorded is left unwritten.
  conversation();
  ASSERT_EQ(link->packetLog()->disable(), aErrNone);
  EXPECT_EQ(Occurrences(ReadTextFile(path), answer), kGets);

  // A disconnect ends the log of that connection the same way; after connecting again the log
  // follows the new connection.
  conversation();
  ASSERT_EQ(link->disconnect(), aErrNone);
  EXPECT_EQ(Occurrences(ReadTextFile(path), answer), 2 * kGets);
  ASSERT_EQ(link->connect(), aErrNone);
  conversation();
  ASSERT_EQ(link->packetLog()->disable(), aErrNone);
  EXPECT_EQ(Occurrences(ReadTextFile(path), answer), 3 * kGets);

  // Destroyed while logging.
  conversation();
  link.reset();
  EXPECT_EQ(Occurrences(ReadTextFile(path), answer), 4 * kGets);
}

TEST_F(LinkPacketLog, AFileThatCannotBeOpenedIsReported) {
  TempDir dir;
  EXPECT_EQ(link->packetLog()->enable((dir / "missing/packets.log").c_str()), aErrIO);
}

}  // namespace
