#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>

#include "Base64.h"
#include "ChildProgram.h"
#include "HTTPRequest.h"
#include "TempDir.h"
#include "UpdateServerProcess.h"
#include "UpdateServerRequest.h"

namespace {

struct RunResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

RunResult RunTool(const TempDir& dir, const std::string& arguments) {
  const std::string outputFile = dir / "tool-output.txt";
  // Bounded, so that a server that wrongly keeps running fails the test instead of hanging it.
  const std::string command =
      "timeout 20 " + ChildShellCommand({UpdateServerProcess::Binary()}) + " " + arguments + " >" + outputFile + " 2>&1";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadTextFile(outputFile)};
}

// A firmware directory with two builds for one device and a recovery entry.
class FirmwareDirectory {
 public:
  FirmwareDirectory() : root_(dir_ / "firmware") {
    EXPECT_EQ(mkdir(root_.c_str(), 0755), 0);
    WriteTextFile(root_ + "/index.txt",
                  "device 40F5849A AF-USBHub3p\n"
                  "build AF-USBHub3p 1200 2.10.0 hub-1200.bird\n"
                  "build 40F5849A 1300 2.11.2 hub-1300.bird\n"
                  "fix 0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n");
    WriteTextFile(root_ + "/hub-1200.bird", "bird\x01\x01old");
    WriteTextFile(root_ + "/hub-1300.bird", Image());
  }
  static std::string Image() {
    std::string bytes = "bird\x01\x01";
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 31 % 256);
    return bytes;
  }
  const TempDir& dir() const { return dir_; }
  const std::string& root() const { return root_; }

 private:
  TempDir dir_;
  std::string root_;
};

TEST(UpdateServerTool, AnswersEveryClientRequest) {
  FirmwareDirectory firmware;
  UpdateServerProcess server(firmware.root());
  ASSERT_TRUE(server.ready()) << server.Log();
  const std::string url = server.Url();

  EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));

  std::string build, firmwareId;
  ASSERT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, firmwareId, url.c_str()));
  EXPECT_EQ(build, "1300");
  EXPECT_EQ(firmwareId, "hub-1300.bird");

  std::map<std::string, std::string> builds;
  ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url.c_str()));
  EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(builds),
            (std::vector<std::pair<std::string, std::string>>{{"1300", "2.11.2"}, {"1200", "2.10.0"}}));

  std::string text;
  ASSERT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, firmwareId.c_str(), build.c_str(), text, url.c_str(), false));
  unsigned int length = 0;
  std::unique_ptr<char, decltype(&std::free)> bytes(
      base64_decode(text.data(), static_cast<unsigned int>(text.size()), &length), &std::free);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes.get(), length), FirmwareDirectory::Image());

  const unsigned fingerprint[4] = {0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC};
  unsigned serial = 0, recoveryBuild = 0;
  ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &recoveryBuild, url.c_str()));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(recoveryBuild, 1300u);

  // Refusals are failures for the client.
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12345678, build, firmwareId, url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetBuild(0x40F5849A, "", "77", text, url.c_str(), false));

  EXPECT_EQ(server.Stop(), 0);
  const std::string log = server.Log();
  EXPECT_NE(log.find("update-server: listening on http://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("update-server: 127.0.0.1 GET /cgi/u?op=hi&rv=2& -> 200 ok (3 bytes)\n"), std::string::npos);
  EXPECT_NE(log.find("GET /cgi/u?op=qu&sn=12345678& -> 200 error: no builds for device 12345678"), std::string::npos);
  EXPECT_NE(log.find("GET /cgi/u?bld=77&fw=&no_cal=false&op=bird&sn=40F5849A& -> 200 error: no build '77'"),
            std::string::npos);
}

TEST(UpdateServerTool, OtherPathsAreNotFound) {
  FirmwareDirectory firmware;
  UpdateServerProcess server(firmware.root(), {"-P", "/lab/u"});
  ASSERT_TRUE(server.ready()) << server.Log();
  std::map<std::string, std::string> hello = {{"op", "hi"}};
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(HTTPRequest::GET((base + "/cgi/u").c_str(), hello).get_status(), 404);
  EXPECT_TRUE(UpdateServerRequest::ping((base + "/lab/u").c_str()));
}

TEST(UpdateServerTool, QuietServerLogsNoRequests) {
  FirmwareDirectory firmware;
  UpdateServerProcess server(firmware.root(), {"-q"});
  ASSERT_TRUE(server.ready());
  EXPECT_TRUE(UpdateServerRequest::ping(server.Url().c_str()));
  server.Stop();
  EXPECT_EQ(server.Log().find("GET"), std::string::npos) << server.Log();
}

TEST(UpdateServerTool, BusyPortIsReported) {
  FirmwareDirectory firmware;
  UpdateServerProcess first(firmware.root());
  ASSERT_TRUE(first.ready());
  const RunResult second = RunTool(firmware.dir(), "-r " + firmware.root() + " -p " + std::to_string(first.port()));
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.output.find("update-server: cannot listen on 127.0.0.1:" + std::to_string(first.port())),
            std::string::npos)
      << second.output;
}

TEST(UpdateServerTool, BadIndexStopsItBeforeListening) {
  FirmwareDirectory firmware;
  WriteTextFile(firmware.root() + "/index.txt", "build * 1 1.0.0 a.bird\nbuilds * 2 1.0.0 a.bird\n");
  WriteTextFile(firmware.root() + "/a.bird", "bird");
  UpdateServerProcess server(firmware.root());
  EXPECT_FALSE(server.ready());
  EXPECT_EQ(server.Stop(), 1);
  EXPECT_NE(server.Log().find("update-server: " + firmware.root() + "/index.txt:2: unknown entry 'builds'"),
            std::string::npos)
      << server.Log();
}

TEST(UpdateServerTool, CommandLine) {
  TempDir dir;
  const RunResult help = RunTool(dir, "--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output.rfind("Usage: update-server -r DIR [options]\n", 0), 0u);
  EXPECT_NE(help.output.find("DIR/index.txt"), std::string::npos);

  const std::pair<const char*, const char*> bad[] = {
      {"", "the firmware directory (-r DIR) is required"},
      {"-r x -p 70000", "port '70000' is not a number from 0 to 65535"},
      {"-r x -p", "option -p needs a value"},
      {"-r x --tls-cert c", "--tls-cert and --tls-key go together"},
      {"-r x -P lab", "the request path must start with /"},
      {"-r x --frobnicate 1", "unknown option --frobnicate"},
  };
  for (const auto& b : bad) {
    const RunResult result = RunTool(dir, b.first);
    EXPECT_EQ(result.exitCode, 2) << b.first;
    EXPECT_EQ(result.output.rfind(std::string("update-server: ") + b.second + "\n", 0), 0u) << result.output;
  }
}

}  // namespace
