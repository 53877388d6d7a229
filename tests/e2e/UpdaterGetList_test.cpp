#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DevSimProcess.h"
#include "FileInspection.h"
#include "FirmwareFixture.h"
#include "KeyValueStore.h"
#include "LoopbackServer.h"
#include "Netns.h"
#include "RunProcess.h"
#include "TempDir.h"
#include "UpdaterProcess.h"
#include "UpdateProtocolServer.h"
#include "UpdateServerProcess.h"

namespace {

const char kSerial[] = "40F5849A";

// The device's builds: build numbers do not follow the versions, so the listing's order shows.
class GetListCli : public ::testing::Test {
 protected:
  GetListCli()
      : firmware_(tmp_.path(), 0x40F5849A, 19, {{1200, "2.10.0"}, {1300, "2.11.2"}, {1500, "2.9.7"}}),
        home_(tmp_ / "home"),
        closedServer_("http://127.0.0.1:" + std::to_string(LoopbackServer::UnusedPort()) + "/cgi/u") {}

  ProcessResult Run(const std::string& url, std::vector<std::string> args,
                    const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), {"-u", url});
    return RunUpdater(home_, args, environment);
  }
  ProcessResult RunOnTerminal(const std::string& url, std::vector<std::string> args) {
    args.insert(args.begin(), {UpdaterBinary(), "-i", home_, "-u", url});
    return RunProcessOnTerminal(args);
  }
  std::string StorePath(const std::string& name = "") const {
    return home_ + "/updater/" + kSerial + (name.empty() ? "" : "/" + name);
  }

  TempDir tmp_;
  FirmwareFixture firmware_;
  std::string home_;
  std::string closedServer_;
};

// -u takes HOST:PORT as its usage says; a list that could not be asked for fails with its cause.
TEST_F(GetListCli, ListsTheServersBuildsNewestVersionFirst) {
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();
  ProcessResult r = Run("127.0.0.1:" + std::to_string(server.port()), {"-B", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string listing =
      "Build List for device [40F5849A]:\n\n"
      "Build          \tVersion        \n"
      "1300           \t2.11.2         \n"
      "1200           \t2.10.0         \n"
      "1500           \t2.9.7          \n";
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), listing) << r.out;

  ProcessResult down = Run(closedServer_, {"-B", "-d", kSerial});
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_EQ(down.err, "Server request failed for " + closedServer_ + "\nCause: Couldn't connect to server\n");
  EXPECT_NE(down.out.find("\nNo builds found for device [40F5849A]\n"), std::string::npos) << down.out;
}

TEST_F(GetListCli, GetStoresTheServedFileAndLocalListReadsItsVersion) {
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();

  ProcessResult latest = Run(server.Url(), {"-G", "-d", kSerial});
  EXPECT_EQ(latest.exitCode, 0) << latest.err;
  EXPECT_NE(latest.out.find("Retrieving firmware for device with serial number 40F5849A\n"
                            "No build specified\nUsing Latest build\nRetrieving build 1500\n"
                            "Validating build 1500 with server\nBuild 1500 is valid\n"),
            std::string::npos)
      << latest.out;
  // Output that is not a terminal gets no spinner.
  EXPECT_EQ(latest.out.find('\r'), std::string::npos);
  EXPECT_EQ(latest.out.find("Downloading"), std::string::npos);
  EXPECT_EQ(ReadTextFile(StorePath("1500.bird")), firmware_.FileBytes(1500));
  EXPECT_NE(latest.out.find("\nStored build 1500 as " + StorePath("1500.bird") + "\n"), std::string::npos)
      << latest.out;

  ProcessResult named = Run(server.Url(), {"-G", "-d", kSerial, "-b", "1300"});
  EXPECT_EQ(named.exitCode, 0) << named.err;
  EXPECT_NE(named.out.find("Retrieving firmware build 1300\n"), std::string::npos) << named.out;
  EXPECT_EQ(ReadTextFile(StorePath("1300.bird")), firmware_.FileBytes(1300));
  KeyValueStore settings;
  settings.Load(StorePath(".settings").c_str());
  EXPECT_EQ(settings.GetString("LATEST_DOWNLOAD"), "1300.bird");
  EXPECT_FALSE(settings.GetString("LAST_DOWNLOAD_DATE").empty());

  ProcessResult local = Run(closedServer_, {"-L", "-d", kSerial});
  EXPECT_EQ(local.exitCode, 0) << local.err;
  EXPECT_NE(local.out.find("Build List for device [40F5849A]:\n\n"
                           "Build          \tVersion        \n"
                           "1300           \t2.11.2         \n"
                           "1500           \t2.9.7          \n"),
            std::string::npos)
      << local.out;
}

// A device or build the server does not know leaves the store as it was: no device directory.
TEST_F(GetListCli, GetOfABuildOrDeviceTheServerDoesNotKnowFailsAndCreatesNothing) {
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();

  ProcessResult refused = Run(server.Url(), {"-G", "-d", kSerial, "-b", "1250"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.err, "No valid build 1250\n");

  // Overridden, the server is asked anyway, and has no such file.
  ProcessResult forced = Run(server.Url(), {"-G", "-d", kSerial, "-b", "1250", "-OVERRIDE"});
  EXPECT_EQ(forced.exitCode, 1);
  EXPECT_NE(forced.out.find("Override specified, skipping validation of build 1250\n"), std::string::npos);
  EXPECT_EQ(forced.err.rfind("Download failed\nCause: the server refused: ", 0), 0u) << forced.err;
  EXPECT_NE(forced.err.find("\nFailed to retrieve a valid BIRD file\n"), std::string::npos) << forced.err;

  ProcessResult unknown = Run(server.Url(), {"-G", "-d", "33333333"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err.rfind("No build information for device\nCause: the server refused: ", 0), 0u) << unknown.err;
  EXPECT_EQ(DirectoryNames(home_ + "/updater"), std::vector<std::string>{});
}

// Content that decodes but is not a whole BIRD file (a body cut short) is refused like content
// that does not decode: nothing stored, nothing recorded, exit 1; the store is left byte for byte.
TEST_F(GetListCli, GetRefusesADownloadThatIsNotAWholeBirdFile) {
  std::filesystem::create_directories(StorePath());
  WriteTextFile(StorePath(".settings"), "LATEST_DOWNLOAD=1200.bird\n");
  WriteTextFile(StorePath("1200.bird"), firmware_.FileBytes(1200));
  const auto before = TreeSnapshot(home_);
  auto serve = firmware_.Handler();
  UpdateProtocolServer server(firmware_.Handler({{"bird", [serve](const std::map<std::string, std::string>& query) {
                                                   UpdateProtocolServer::Reply reply = serve(query);
                                                   // Cut the base64 line at a multiple of four: it still decodes.
                                                   const size_t line = reply.body.find('\n') + 1;
                                                   reply.body = reply.body.substr(0, line + (reply.body.size() - line) / 8 * 4);
                                                   return reply;
                                                 }}}));
  ProcessResult r = Run(server.Url(), {"-G", "-d", kSerial, "-b", "1300"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Failed to retrieve a valid BIRD file\nCause: the file is damaged: its compressed body does not inflate\n");
  EXPECT_EQ(TreeSnapshot(home_), before);
}

TEST_F(GetListCli, SpinnerAnimatesOnATerminal) {
  auto serve = firmware_.Handler();
  UpdateProtocolServer server(firmware_.Handler({{"bird", [serve](const std::map<std::string, std::string>& query) {
                                                   std::this_thread::sleep_for(std::chrono::milliseconds(450));
                                                   return serve(query);
                                                 }}}));
  ProcessResult r = RunOnTerminal(server.Url(), {"-G", "-d", kSerial});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // A fresh process starts at the first frame and advances one frame per 100 ms.
  size_t first = r.out.find("\r (Downloading) .      \r");
  size_t second = r.out.find("\r (Downloading) ..      \r");
  size_t third = r.out.find("\r (Downloading) ...      \r");
  ASSERT_NE(first, std::string::npos) << r.out;
  ASSERT_NE(second, std::string::npos) << r.out;
  ASSERT_NE(third, std::string::npos) << r.out;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  // The line is blanked when the download ends.
  EXPECT_NE(r.out.find("\r" + std::string(88, ' ') + "\r", third), std::string::npos);
  EXPECT_EQ(ReadTextFile(StorePath("1500.bird")), firmware_.FileBytes(1500));
}

// An update may look for the device on the network, so it runs inside a private namespace.
TEST_F(GetListCli, GetThenUpdateInstallsTheBuildJustFetched) {
  RUN_INSIDE_NETNS();
  const std::string flashDir = tmp_ / "flash";
  ASSERT_EQ(mkdir(flashDir.c_str(), 0755), 0);
  DevSimProcess sim({"--flash-dir", flashDir, "--module",
                     "serial=0x40F5849A,model=19,address=6,build=1000,version=2.0.0,restart=300,usb"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  UpdateServerProcess server(firmware_.root());
  ASSERT_TRUE(server.ready()) << server.Log();

  // Not the newest build: the update must take the one fetched, not look for the latest.
  ProcessResult r = Run(server.Url(), {"-G", "-U", "-d", kSerial, "-b", "1200"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err << sim.Log();
  EXPECT_NE(r.out.find("Updating firmware with build: 1200\n"), std::string::npos) << r.out;
  EXPECT_EQ(ReadTextFile(StorePath("1200.bird")), firmware_.FileBytes(1200));

  // devsim writes the flash image once the module has rebooted into it; then it runs build 1200.
  const std::string flash = flashDir + "/" + kSerial + ".bin";
  for (int i = 0; i < 300 && !IsRegularFile(flash); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(ReadTextFile(flash).find(std::string("AFVER:1200:2.10.0") + '\0'), std::string::npos);
  ProcessResult listed = Run(closedServer_, {"-D"}, sim.childEnvironment());
  EXPECT_NE(listed.out.find("    40F5849A  06       06      AF-USBHub3p    2.10.0 (1200)\n"), std::string::npos)
      << listed.out;
}

}  // namespace
