#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "HTTPRequest.h"
#include "Log.h"
#include "LogCapture.h"
#include "MockHttpServer.h"
#include "StallingServer.h"
#include "UpdateServerRequest.h"

namespace {

using BuildMap = std::map<std::string, std::string>;
using Sorted = std::vector<std::pair<std::string, std::string>>;

const unsigned kSerial = 0x0012ABCD;
const unsigned kFingerprint[4] = {0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC};

// A server whose /cgi/u answers every request with one scripted reply.
class ScriptedServer {
 public:
  ScriptedServer(int status, const std::string& body) {
    server_.Reply("/cgi/u", status, body);
    server_.Start();
  }
  explicit ScriptedServer(const std::vector<std::string>& chunks) {
    server_.ReplyInChunks("/cgi/u", chunks);
    server_.Start();
  }
  std::string url() const { return server_.Url("/cgi/u"); }
  std::vector<std::string> Targets() const { return server_.Targets(); }

 private:
  MockHttpServer server_;
};

// QueryBuild against a server answering `body` with status 200.
bool queryBuild(const std::string& body, std::string& build, std::string& firmware) {
  ScriptedServer server(200, body);
  return UpdateServerRequest::QueryBuild(kSerial, build, firmware, server.url().c_str());
}

// GetBuild against a server answering `body` with status 200.
bool getBuild(const std::string& body, std::string& text) {
  ScriptedServer server(200, body);
  return UpdateServerRequest::GetBuild(kSerial, "f", "1", text, server.url().c_str(), false);
}

TEST(UpdateServerRequestWire, EachRequestSendsItsParametersInKeyOrder) {
  ScriptedServer server(200, "ok\n");
  std::string build, firmware, text;
  BuildMap builds;
  unsigned serial = 0, recoveryBuild = 0;
  const std::string url = server.url();
  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, url.c_str()));
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()));
  EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "fw-id", "1300", text, url.c_str(), true));
  EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "fw-id", "1300", text, url.c_str(), false));
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &recoveryBuild, url.c_str()));
  EXPECT_EQ(server.Targets(), (std::vector<std::string>{
                                  "/cgi/u?op=hi&rv=2&",
                                  "/cgi/u?op=qu&sn=0012ABCD&",
                                  "/cgi/u?op=builds&sn=0012ABCD&",
                                  "/cgi/u?bld=1300&fw=fw-id&no_cal=true&op=bird&sn=0012ABCD&",
                                  "/cgi/u?bld=1300&fw=fw-id&no_cal=false&op=bird&sn=0012ABCD&",
                                  "/cgi/u?brief=true&fp=0A0B0C0D%2011223344%2055667788%2099AABBCC&op=fix&",
                              }));
}

TEST(UpdateServerRequestStatusLine, OnlyALowerCaseOkStartPasses) {
  for (const char* body : {"ok", "ok\n", "okay\n", "ok\r\n", "\n\nok\n"}) {
    ScriptedServer server(200, body);
    EXPECT_TRUE(UpdateServerRequest::ping(server.url().c_str())) << body;
  }
  for (const char* body : {"OK\n", "Ok\n", " ok\n", "o\nk\n", "error: nope\n", ""}) {
    ScriptedServer server(200, body);
    LogCapture log(DEBUG_ServerComm);
    std::string build = "keep", firmware = "keep";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, server.url().c_str())) << body;
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(firmware, "keep");
    const std::string expected =
        "ServerCommClass: QueryBuild failed [" + server.url() + "?op=qu&sn=0012ABCD&]\n";
    EXPECT_NE(log.Text().find(expected), std::string::npos) << log.Text();
  }
}

TEST(UpdateServerRequestStatusLine, NonOkStatusesLogStatusAndBody) {
  ScriptedServer missing(404, "not here");
  LogCapture log(DEBUG_ServerComm);
  EXPECT_FALSE(UpdateServerRequest::ping(missing.url().c_str()));
  BuildMap builds = {{"stale", "1.0.0"}};
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, missing.url().c_str()));
  EXPECT_TRUE(builds.empty());  // cleared before the request, whatever its outcome
  std::string text = "previous";
  EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "f", "1", text, missing.url().c_str(), false));
  EXPECT_EQ(text, "previous");
  const std::string lines = log.Text();
  EXPECT_NE(lines.find("PING ==> [404] [not here]\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("GetBuildList ==> [404] [not here]\n"), std::string::npos);
  EXPECT_NE(lines.find("GetBuild ==> [404] [not here]\n"), std::string::npos);
}

TEST(UpdateServerRequestStatusLine, TransportFailuresAreLoggedWithCurlsText) {
  std::string url;
  {
    StallingServer probe;  // its port is free again once it is gone
    url = probe.Url("/cgi/u");
  }
  LogCapture log(DEBUG_ServerComm);
  unsigned serial = 7, build = 8;
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, url.c_str()));
  EXPECT_EQ(serial, 7u);
  EXPECT_EQ(build, 8u);
  EXPECT_NE(log.Text().find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << log.Text();
  EXPECT_NE(log.Text().find("GetRecoveryInfo ==> [Couldn't connect to server]\n"), std::string::npos);
}

TEST(UpdateServerRequestStatusLine, StalledServerFailsTheRequest) {
  HTTPTransferLimits saved = HTTPRequest::GetTransferLimits();
  HTTPTransferLimits quick = saved;
  quick.lowSpeedSeconds = 1;
  HTTPRequest::SetTransferLimits(quick);
  StallingServer silent;
  LogCapture log(DEBUG_ServerComm);
  std::string text;
  EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "f", "1", text, silent.Url("/cgi/u").c_str(), false));
  HTTPRequest::SetTransferLimits(saved);
  EXPECT_NE(log.Text().find("GetBuild ==> [Timeout was reached]\n"), std::string::npos) << log.Text();
}

TEST(UpdateServerRequestQueryBuild, ReadsBuildAndFirmwareLines) {
  std::string build, firmware;
  EXPECT_TRUE(queryBuild("ok\n1300\nhub3p.bird\n", build, firmware));
  EXPECT_EQ(build, "1300");
  EXPECT_EQ(firmware, "hub3p.bird");
}

TEST(UpdateServerRequestQueryBuild, MissingLinesLeaveOutputsUnchanged) {
  std::string build = "b", firmware = "f";
  EXPECT_TRUE(queryBuild("ok", build, firmware));
  EXPECT_EQ(build, "b");
  EXPECT_EQ(firmware, "f");
  EXPECT_TRUE(queryBuild("ok\n\n1400\n", build, firmware));  // the empty line does not count
  EXPECT_EQ(build, "1400");
  EXPECT_EQ(firmware, "f");
}

TEST(UpdateServerRequestQueryBuild, CarriageReturnsStayOnTheBuildLineOnly) {
  std::string build, firmware;
  EXPECT_TRUE(queryBuild("ok\r\n1300\r\nhub3p.bird\r\n", build, firmware));
  EXPECT_EQ(build, "1300\r");
  EXPECT_EQ(firmware, "hub3p.bird");
}

TEST(UpdateServerRequestGetBuild, ReturnsTheSecondLineUnchanged) {
  std::string text = "old";
  EXPECT_TRUE(getBuild("ok\nYmlyZAEB\nignored\n", text));
  EXPECT_EQ(text, "YmlyZAEB");
  EXPECT_TRUE(getBuild("ok\r\nYmlyZAEB\r\n", text));
  EXPECT_EQ(text, "YmlyZAEB\r");
  EXPECT_TRUE(getBuild("ok\n", text));
  EXPECT_EQ(text, "");  // cleared on success even without a line 2
}

TEST(UpdateServerRequestGetBuild, LongBodyInManyChunksArrivesWhole) {
  std::string base64;
  for (int i = 0; i < 4000; ++i) base64 += "QUJD";
  std::vector<std::string> chunks = {"o", "k\n"};
  for (size_t at = 0; at < base64.size(); at += 997) chunks.push_back(base64.substr(at, 997));
  chunks.push_back("\n");
  ScriptedServer server(chunks);
  std::string text;
  EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "f", "1", text, server.url().c_str(), false));
  EXPECT_EQ(text, base64);
}

TEST(UpdateServerRequestGetBuildList, ParsesEntriesAndSkipsShortLines) {
  ScriptedServer server(200, "ok\n1200;2.10.0\nx\n1300\n1200;9.9.9\n1100;2.9.7;extra\n");
  LogCapture log(DEBUG_ServerComm);
  BuildMap builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, server.url().c_str()));
  EXPECT_EQ(builds, (BuildMap{{"1100", "2.9.7"}, {"1200", "2.10.0"}, {"1300", ""}}));
  const std::string text = log.Text();
  EXPECT_NE(text.find("GetBuildList processing entry: [1200;2.10.0]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("processing entry: [x]"), std::string::npos);
  EXPECT_NE(text.find("GetBuildList [1200][2.10.0]\n"), std::string::npos);
  EXPECT_NE(text.find("GetBuildList [1300][]\n"), std::string::npos);
  EXPECT_EQ(text.find("[9.9.9]"), std::string::npos);  // the first entry for a build wins
}

TEST(UpdateServerRequestGetBuildList, CarriageReturnsEndFields) {
  ScriptedServer server(200, "ok\r\n1200;2.10.0\r\n1300\r\n");
  BuildMap builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, server.url().c_str()));
  EXPECT_EQ(builds, (BuildMap{{"1200", "2.10.0"}, {"1300", ""}}));
}

TEST(UpdateServerRequestGetBuildList, LogCutsLongFieldsToTenCharacters) {
  ScriptedServer server(200, "ok\n12345678901234;1.2.3-longversion\n");
  LogCapture log(DEBUG_ServerComm);
  BuildMap builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, server.url().c_str()));
  EXPECT_EQ(builds.at("12345678901234"), "1.2.3-longversion");
  EXPECT_NE(log.Text().find("GetBuildList [1234567890][1.2.3-long]\n"), std::string::npos) << log.Text();
}

TEST(UpdateServerRequestRecovery, ReadsHexSerialAndAutomaticBaseBuild) {
  const std::pair<const char*, unsigned> builds[] = {{"1300", 1300}, {"0x1F", 31}, {"017", 15}};
  for (const auto& b : builds) {
    ScriptedServer server(200, std::string("ok\n40f5849a\n") + b.first + "\n");
    unsigned serial = 0, build = 0;
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, server.url().c_str()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, b.second) << b.first;
  }
}

TEST(UpdateServerRequestRecovery, LogsTheThreeLinesAndToleratesCrLf) {
  ScriptedServer server(200, "ok\r\n40F5849A\r\n1300\r\n");
  LogCapture log(DEBUG_ServerComm);
  unsigned serial = 0, build = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, server.url().c_str()));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(build, 1300u);
  EXPECT_NE(log.Text().find("GetRecoveryInfo [ok\r][40F5849A\r][1300\r]\n"), std::string::npos) << log.Text();
}

TEST(UpdateServerRequestRecovery, MissingLinesLeaveOutputsUnchanged) {
  ScriptedServer server(200, "ok\nDEADDEAD\n");
  unsigned serial = 1, build = 2;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, server.url().c_str()));
  EXPECT_EQ(serial, 0xDEADDEADu);
  EXPECT_EQ(build, 2u);
}

TEST(UpdateServerRequestRecovery, UnreadableNumbersFailAndChangeNothing) {
  for (const char* body : {"ok\nzz\n1300\n", "ok\n40F5849A\nlatest\n", "ok\n140F5849A\n1\n", "ok\n1\n-5\n"}) {
    ScriptedServer server(200, body);
    unsigned serial = 1, build = 2;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, server.url().c_str())) << body;
    EXPECT_EQ(serial, 1u);
    EXPECT_EQ(build, 2u);
  }
}

TEST(UpdateServerRequestConcurrency, ParallelRequestsEachGetTheirOwnReply) {
  std::string base64(20000, 'Q');
  ScriptedServer server(200, "ok\n" + base64 + "\n");
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        std::string text;
        if (UpdateServerRequest::GetBuild(kSerial, "f", "1", text, server.url().c_str(), false) && text == base64)
          ++good;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 20);
}

TEST(UpdateServerRequestSort, NewestVersionFirst) {
  EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion({{"1200", "2.10.0"}, {"1300", "2.11.2"}, {"1100", "2.9.7"}}),
            (Sorted{{"1300", "2.11.2"}, {"1200", "2.10.0"}, {"1100", "2.9.7"}}));
  // Numeric, not textual, and major before minor before patch.
  EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion({{"a", "1.99.99"}, {"b", "10.0.0"}, {"c", "2.0.10"}, {"d", "2.0.9"}}),
            (Sorted{{"b", "10.0.0"}, {"c", "2.0.10"}, {"d", "2.0.9"}, {"a", "1.99.99"}}));
}

TEST(UpdateServerRequestSort, InvalidVersionsGoLastInBuildOrder) {
  LogCapture log(DEBUG_ServerComm);
  const Sorted sorted = UpdateServerRequest::SortBuildsByVersion(
      {{"1", ""}, {"2", "3.0.0"}, {"3", "x.1.2"}, {"4", "1.2"}, {"5", "4.0.0"}, {"6", "1.2.3.4"}, {"7", "3.0.0"}});
  EXPECT_EQ(sorted, (Sorted{{"5", "4.0.0"}, {"2", "3.0.0"}, {"7", "3.0.0"}, {"1", ""}, {"3", "x.1.2"},
                            {"4", "1.2"}, {"6", "1.2.3.4"}}));
  EXPECT_NE(log.Text().find("_sortVersion: Exception converting version: stoi\n"), std::string::npos) << log.Text();
}

TEST(UpdateServerRequestSort, SplitNeedsExactlyThreeParts) {
  EXPECT_EQ(UpdateServerRequest::SplitAxonforgeVersion("2.11.2"), (std::vector<std::string>{"2", "11", "2"}));
  EXPECT_EQ(UpdateServerRequest::SplitAxonforgeVersion("2..2"), (std::vector<std::string>{"2", "", "2"}));
  for (const char* text : {"", "2", "2.11", "1.2.3.4", "1.2.3."}) EXPECT_TRUE(UpdateServerRequest::SplitAxonforgeVersion(text).empty()) << text;
}

}  // namespace
