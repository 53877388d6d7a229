#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <thread>

#include "BirdWriter.h"
#include "FirmwareFixture.h"
#include "FileInspection.h"
#include "KeyValueStore.h"
#include "LogCapture.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "UpdateProtocolServer.h"
#include "Updater.h"
#include "UpdaterTestSeam.h"

namespace {

const uint32_t kSerial = 0x40F5849A;
const uint32_t kModel = 19;  // AF-USBHub3p
const char kDeviceName[] = "40F5849A";
const char kClosedServer[] = "http://127.0.0.1:1/cgi/u";
using Builds = std::map<std::string, std::string>;
using Query = std::map<std::string, std::string>;

// A store directory and a firmware directory with two builds for the device, 1300 the newest.
class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest()
      : firmware_(tmp_.path(), kSerial, kModel, {{1200, "2.10.0"}, {1300, "2.11.2"}}), store_(tmp_ / "updater") {}

  UpdateProtocolServer::Handler Serve(std::map<std::string, UpdateProtocolServer::Handler> overrides = {}) {
    return firmware_.Handler(std::move(overrides));
  }
  static UpdateProtocolServer::Handler Answer(int status, const std::string& body) {
    return [status, body](const Query&) { return UpdateProtocolServer::Reply{status, body}; };
  }

  std::string DevicePath(const std::string& name = "") const {
    return store_ + "/" + kDeviceName + (name.empty() ? "" : "/" + name);
  }
  std::string Setting(const char* key) const {
    KeyValueStore settings;
    settings.Load(DevicePath(".settings").c_str());
    return settings.GetString(key, "<absent>");
  }

  TempDir tmp_;
  FirmwareFixture firmware_;
  std::string store_;
  RecordingDisplay display_;
};

TEST_F(DownloadTest, StoresTheServedFileAndRecordsTheDownload) {
  UpdateProtocolServer server(Serve());
  Updater updater(server.Url(), store_, display_);

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 1300u);
  EXPECT_EQ(ReadTextFile(DevicePath("1300.bird")), firmware_.FileBytes(1300));
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "1300.bird");
  const std::string firstDate = Setting("LAST_DOWNLOAD_DATE");
  EXPECT_EQ(firstDate.size(), 24u) << firstDate;  // ctime text without its line end
  EXPECT_EQ(display_.Transcript(), "Retrieving build 1300\nValidating build 1300 with server\nBuild 1300 is valid\n"
                                   "Stored build 1300 as " + DevicePath("1300.bird") + "\n");
  EXPECT_GE(display_.SpinnerTurns(), 1);
  EXPECT_EQ(server.Ops(), (std::vector<std::string>{"hi", "qu", "builds", "bird"}));

  // A named build is fetched as it is and becomes the latest download.
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1200", false, false), 1200u);
  EXPECT_EQ(ReadTextFile(DevicePath("1200.bird")), firmware_.FileBytes(1200));
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "1200.bird");
  EXPECT_EQ(DirectoryNames(DevicePath()), (std::vector<std::string>{".settings", "1200.bird", "1300.bird"}));
}

TEST_F(DownloadTest, BuildTheServerDoesNotListIsRefusedUnlessOverridden) {
  UpdateProtocolServer server(Serve());
  Updater updater(server.Url(), store_, display_);

  EXPECT_EQ(updater.Download_Firmware(kSerial, "1250", false, false), 0u);
  EXPECT_EQ(display_.Errors(), (std::vector<std::string>{"No valid build 1250"}));
  EXPECT_EQ(server.Ops().back(), "builds");  // never asked for the file

  // Overridden, the request is made; this server has no such file to give.
  RecordingDisplay overridden;
  Updater forced(server.Url(), store_, overridden);
  EXPECT_EQ(forced.Download_Firmware(kSerial, "1250", true, false), 0u);
  EXPECT_EQ(overridden.Transcript(),
            "Retrieving build 1250\nOverride specified, skipping validation of build 1250\n"
            "E: Download failed\nE: Cause: the server refused: error: no build '1250' for device 40F5849A\n"
            "E: Failed to retrieve a valid BIRD file\n");
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "<absent>");
  EXPECT_FALSE(IsDirectory(DevicePath())) << "a build the server does not have creates nothing";
}

TEST_F(DownloadTest, CallerMistakesFailBeforeAnyRequest) {
  UpdateProtocolServer server(Serve());
  Updater updater(server.Url(), store_, display_);
  for (const char* text : {"12a", "-5", " 12", "4294967296", "99999999999999999999999"})
    EXPECT_EQ(updater.Download_Firmware(kSerial, text, false, false), 0u) << text;
  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display_.Errors(), (std::vector<std::string>{
                                   "Build number '12a' must be an number", "Build number '-5' must be an number",
                                   "Build number ' 12' must be an number",
                                   "Build number '4294967296' must be an number",
                                   "Build number '99999999999999999999999' must be an number",
                                   "Serial Number must be non-zero"}));
  EXPECT_TRUE(server.Ops().empty());
  EXPECT_FALSE(IsDirectory(store_));
}

TEST_F(DownloadTest, UnreachableServerOrUnusableStoreStoresNothing) {
  Updater offline(kClosedServer, store_, display_);
  EXPECT_EQ(offline.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(display_.Transcript(),
            std::string("E: Server request failed for ") + kClosedServer + "\nE: Cause: Couldn't connect to server\n");
  EXPECT_FALSE(IsDirectory(store_));

  UpdateProtocolServer server(Serve());
  WriteTextFile(store_, "a file where the store should be");
  RecordingDisplay blocked;
  Updater updater(server.Url(), store_, blocked);
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(blocked.Errors(), (std::vector<std::string>{"Failed to Create UpdaterStore in: Download_Firmware - "
                                                        "Exception: UpdaterStore: " +
                                                        store_ + " exists and is a file"}));
}

TEST_F(DownloadTest, ContentThatDoesNotDecodeOrCannotBeWrittenIsAFailureAndNotRecorded) {
  UpdateProtocolServer goodServer(Serve());
  Updater good(goodServer.Url(), store_, display_);
  ASSERT_EQ(good.Download_Firmware(kSerial, "1200", false, false), 1200u);
  const std::string date = Setting("LAST_DOWNLOAD_DATE");

  UpdateProtocolServer garbled(
      Serve({{"bird", Answer(200, "ok\nnot base64!\n")}}));
  RecordingDisplay undecoded;
  Updater updater(garbled.Url(), store_, undecoded);
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1300", false, false), 0u);
  EXPECT_EQ(undecoded.Errors(),
            (std::vector<std::string>{"Failed to retrieve a valid BIRD file", "Cause: the content is not base64 text"}));
  EXPECT_FALSE(IsRegularFile(DevicePath("1300.bird")));

  // Valid base64 of bytes that are no BIRD file ("not a bird") is refused the same way.
  UpdateProtocolServer foreign(Serve({{"bird", Answer(200, "ok\nbm90IGEgYmlyZA==\n")}}));
  RecordingDisplay notBird;
  Updater misled(foreign.Url(), store_, notBird);
  EXPECT_EQ(misled.Download_Firmware(kSerial, "1300", false, false), 0u);
  EXPECT_EQ(notBird.Errors(),
            (std::vector<std::string>{"Failed to retrieve a valid BIRD file", "Cause: the content is not a BIRD file"}));
  EXPECT_FALSE(IsRegularFile(DevicePath("1300.bird")));

  // A directory in the file's place makes the write fail.
  ASSERT_EQ(mkdir(DevicePath("1300.bird").c_str(), 0755), 0);
  RecordingDisplay unwritten;
  Updater blocked(goodServer.Url(), store_, unwritten);
  EXPECT_EQ(blocked.Download_Firmware(kSerial, "1300", false, false), 0u);
  ASSERT_EQ(unwritten.Errors().size(), 2u);
  EXPECT_EQ(unwritten.Errors()[0].rfind("Failed to write file with ", 0), 0u) << unwritten.Errors()[0];
  EXPECT_EQ(unwritten.Errors()[1], "Cause: " + DevicePath("1300.bird") + " could not be written: Is a directory");

  // The earlier download is still the one on record.
  EXPECT_EQ(Setting("LATEST_DOWNLOAD"), "1200.bird");
  EXPECT_EQ(Setting("LAST_DOWNLOAD_DATE"), date);
}

TEST_F(DownloadTest, EmptyBuildAnswerOrMissingBuildInformationFails) {
  UpdateProtocolServer empty(Serve({{"bird", Answer(200, "ok\n")},
                                    {"qu", Answer(200, "ok\n")}}));
  Updater updater(empty.Url(), store_, display_);
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1300", false, false), 0u);
  EXPECT_EQ(display_.Errors(), (std::vector<std::string>{"Failed to retrieve a valid BIRD file"}));

  UpdateProtocolServer unknown(Serve({{"qu", Answer(200, "error: no")}}));
  RecordingDisplay refused;
  Updater asked(unknown.Url(), store_, refused);
  EXPECT_EQ(asked.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(refused.Errors(),
            (std::vector<std::string>{"No build information for device", "Cause: the server refused: error: no"}));
  EXPECT_FALSE(IsDirectory(DevicePath())) << "a device the server does not know gets no store entry";
}

TEST_F(DownloadTest, SpinnerTurnsWhileTheDownloadTakesItsTime) {
  auto slow = Serve();
  UpdateProtocolServer server(Serve({{"bird", [slow](const Query& query) {
                                        std::this_thread::sleep_for(std::chrono::milliseconds(450));
                                        return slow(query);
                                      }}}));
  Updater updater(server.Url(), store_, display_);
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 1300u);
  // One turn at the start and one per 100 ms slice without a result.
  EXPECT_GE(display_.SpinnerTurns(), 4);
  EXPECT_EQ(ReadTextFile(DevicePath("1300.bird")), firmware_.FileBytes(1300));
}

TEST_F(DownloadTest, FingerprintNamesTheDeviceAndItsBuild) {
  const std::string knownWords = "0A0B0C0D 11223344 55667788 99AABBCC";
  UpdateProtocolServer server(Serve({{"fix", [knownWords](const Query& query) {
                                        return query.at("fp") == knownWords
                                                   ? UpdateProtocolServer::Reply{200, "ok\n40F5849A\n1300\n"}
                                                   : UpdateProtocolServer::Reply{200, "error: unknown fingerprint\n"};
                                      }}}));
  Updater updater(server.Url(), store_, display_);
  const Fingerprint known = {{0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC}};
  EXPECT_EQ(updater.Download_Firmware(known, "", false), 1300u);
  EXPECT_TRUE(IsRegularFile(DevicePath("1300.bird")));
  EXPECT_EQ(updater.Download_Firmware(known, "1200", false), 1200u);
  EXPECT_TRUE(IsRegularFile(DevicePath("1200.bird")));

  EXPECT_EQ(updater.Download_Firmware(Fingerprint{{1, 2, 3, 4}}, "", false), 0u);
  EXPECT_EQ(display_.Errors(),
            (std::vector<std::string>{"Failed to retrieve recovery information from Tessaron update server"}));
}

TEST_F(DownloadTest, ServerBuildList) {
  UpdateProtocolServer server(Serve());
  Updater updater(server.Url(), store_, display_);
  Builds builds;
  EXPECT_TRUE(updater.Get_BuildList(kSerial, builds));
  EXPECT_EQ(builds, (Builds{{"1200", "2.10.0"}, {"1300", "2.11.2"}}));
  EXPECT_TRUE(display_.Messages().empty());

  // Each failure is a false result with the specified message, then its cause.
  Updater offline(kClosedServer, store_, display_);
  EXPECT_FALSE(offline.Get_BuildList(kSerial, builds));
  EXPECT_TRUE(builds.empty());
  UpdateProtocolServer failing(Serve({{"builds", Answer(404, "")}}));
  Updater refused(failing.Url(), store_, display_);
  EXPECT_FALSE(refused.Get_BuildList(kSerial, builds));
  EXPECT_TRUE(builds.empty());
  EXPECT_EQ(display_.Errors(), (std::vector<std::string>{std::string("Server request failed for ") + kClosedServer,
                                                         "Cause: Couldn't connect to server",
                                                         "Failed to retrieve builds for 40F5849A",
                                                         "Cause: the server answered with HTTP status 404"}));
}

TEST_F(DownloadTest, LocalBuildListReadsVersionsFromTheStoredFiles) {
  Updater updater(kClosedServer, store_, display_);
  Builds builds;
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial, builds));  // no such device yet (the store is made)
  EXPECT_TRUE(builds.empty());

  ASSERT_EQ(mkdir(DevicePath().c_str(), 0755), 0);
  WriteTextFile(DevicePath(".settings"), "LATEST_DOWNLOAD=1300.bird\n");
  WriteTextFile(DevicePath("1300.bird"), firmware_.FileBytes(1300));
  WriteTextFile(DevicePath("1200.bird.bak"), firmware_.FileBytes(1200));
  WriteTextFile(DevicePath("1400.bird"), "bird\x01\x01 passes the signature test, then fails to load");
  WriteTextFile(DevicePath("notes.txt"), "not a BIRD file");

  LogCapture log(DEBUG_Updater);
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial, builds));
  EXPECT_EQ(builds, (Builds{{"1200", "2.10.0"}, {"1300", "2.11.2"}, {"1400", ""}, {"notes.txt", ""}}));
  EXPECT_TRUE(display_.Messages().empty());
  EXPECT_NE(log.Text().find("Found VERSION in birdfile: " + DevicePath("1300.bird") + " - Version: \n"),
            std::string::npos);
  EXPECT_NE(log.Text().find("Could NOT file VERSION in birdfile: " + DevicePath("notes.txt") + "\n"),
            std::string::npos);
}

TEST(BuildText, LeadingDigitsCountAndAnythingElseIsZero) {
  LogCapture log(DEBUG_Updater);
  EXPECT_EQ(UpdaterTestSeam::_build_from_text("1300"), 1300u);
  EXPECT_EQ(UpdaterTestSeam::_build_from_text("1300\r"), 1300u);
  EXPECT_EQ(UpdaterTestSeam::_build_from_text("4294967295"), 4294967295u);
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(UpdaterTestSeam::_build_from_text(""), 0u);
  EXPECT_EQ(UpdaterTestSeam::_build_from_text("abc"), 0u);
  EXPECT_EQ(UpdaterTestSeam::_build_from_text("4294967296"), 0u);
  EXPECT_EQ(log.Text(), "Error: Could not convert  to int.\nError: Could not convert abc to int.\n"
                        "Error: Could not convert 4294967296 to int.\n");
}

}  // namespace
