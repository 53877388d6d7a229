// The update command end to end: the updater program updates modules of the device simulator
// over simulated USB, over TCP and through a router, with images made by the BIRD recipe. Every
// update runs inside a private network namespace: a device that USB does not know is looked for
// on the network.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BirdFile.h"
#include "BirdRecipe.h"
#include "BirdWriter.h"
#include "DevSimProcess.h"
#include "FileInspection.h"
#include "KeyValueStore.h"
#include "Netns.h"
#include "Polling.h"
#include "TempDir.h"
#include "UpdateScene.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcess.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
const char kSerialText[] = "1234ABCD";
constexpr uint32_t kNewBuild = 1234;
// A hub (model 17) running build 100; it restarts quickly so that tests stay short.
const std::string kHub = "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,restart=300";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

BirdRecipe HubImage() {
  BirdRecipe recipe;
  recipe.model = 17;
  recipe.build = kNewBuild;
  recipe.version = "2.16.1";
  recipe.generic = true;
  recipe.firmwareSize = 6000;
  recipe.blockSize = 4096;  // two firmware blocks
  return recipe;
}

// Runs the update and checks what every successful update must leave behind.
void ExpectUpdated(UpdateScene& scene, const std::vector<std::string>& args, const std::string& imagePath,
                   const std::string& recorded) {
  ProcessResult r = scene.updater(args);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Update time: ")) << r.out;
  EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(imagePath, kSerial));
  EXPECT_EQ(Setting(scene.settingsPath(kSerialText), "LATEST_TRANSFER"), recorded);
  EXPECT_NE(Setting(scene.settingsPath(kSerialText), "LAST_TRANSFER_DATE"), "");
}

}  // namespace

TEST(Update, GenericImageOverUsbIsPatchedWrittenAndRunsAfterTheReboot) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());

  ExpectUpdated(scene, {"-U", "-d", kSerialText, "-f", image}, image, image);
  const std::vector<uint8_t> flash = scene.flash(kSerialText);
  ASSERT_GT(flash.size(), 0x104u);
  EXPECT_EQ(flash[0x100], 0xCD) << "the serial number word, little-endian";
  EXPECT_EQ(flash[0x103], 0x12);

  ProcessResult r = scene.updater({"-D"});
  EXPECT_TRUE(Contains(r.out, "    1234ABCD  06       06      AF-USBHub2x4   2.16.1 (1234)\n")) << r.out << r.err;
}

TEST(Update, OverTcpTheDeviceIsFoundOnTheNetwork) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",tcp=0"}, {"--discovery", "--bind", "0.0.0.0"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());
  ExpectUpdated(scene, {"-U", "-d", kSerialText, "-f", image}, image, image);
}

TEST(Update, LoaderInTheFileIsStartedAndTheDeviceIsFoundAgainUnderItsLoaderSerial) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb,loaderserial"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  BirdRecipe recipe = HubImage();
  recipe.loaderSize = 3000;
  const std::string image = scene.image(recipe);

  ProcessResult r = scene.updater({"-X", "0x500", "-U", "-d", kSerialText, "-f", image});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Transferring loader block 1 of 1, 3004 bytes\nTransferred 1 blocks, 3004 total bytes\n"
                              "Starting Load on Device\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.err, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5\n")) << r.err;
  EXPECT_TRUE(Contains(r.err, "NETWORK: Reconnected to device\n")) << r.err;
  EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(image, kSerial));
}

TEST(Update, UeiBytesCarryTheBlocksWhenTheDeviceOffersThemAndMIsOn) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb,ueibytes,pooled"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());

  ProcessResult r = scene.updater({"-X", "0x400", "-m", "1", "-U", "-d", kSerialText, "-f", image});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "val_UPGRADE_DATA_UEI")) << r.err;
  EXPECT_FALSE(Contains(r.err, "val_UPGRADE_DATA,")) << "no raw data packets";
  EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(image, kSerial));

  r = scene.updater({"-X", "0x400", "-m", "0", "-U", "-d", kSerialText, "-f", image});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_FALSE(Contains(r.err, "val_UPGRADE_DATA_UEI")) << "without -m the device gets data packets";
}

// Device blocks of 4096 and 8192 bytes are UEI bytes values of more than 128 chunks, whose
// sequence numbers pass 0 again in the middle. Heartbeats come every 300 ms and alternate
// v = 0 and v = 1; a host that answered one of them wrongly would lose its link.
TEST(Update, LargeDeviceBlocksTravelIntactAsUeiBytesPooledOrNot) {
  RUN_INSIDE_NETNS();
  BirdRecipe recipe = HubImage();
  recipe.firmwareSize = 20000;
  recipe.blockSize = 16384;  // firmware blocks of 16384 and 3616 bytes
  for (const std::string device : {"blocksize=4096", "blocksize=8192", "blocksize=4096,pooled", "blocksize=8192,pooled"}) {
    SCOPED_TRACE(device);
    UpdateScene scene({kHub + ",usb,ueibytes,hb=3," + device}, {"--fault", "hbmiss=2"});
    ASSERT_TRUE(scene.ready()) << scene.sim().Log();
    const std::string image = scene.image(recipe);

    ProcessResult r = scene.updater({"-X", "0x400", "-m", "1", "-U", "-d", kSerialText, "-f", image});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err << scene.sim().Log();
    const std::string blockSize = device.substr(device.find('=') + 1, 4);
    EXPECT_TRUE(Contains(r.err, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, " + blockSize + "}")) << r.err;
    EXPECT_FALSE(Contains(r.out, "Retry")) << r.out;
    EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(image, kSerial));
    EXPECT_EQ(scene.sim().Stop(), 0);
    EXPECT_TRUE(Contains(scene.sim().Log(), " answered, 0 wrong, ")) << scene.sim().Log();
  }
}

TEST(Update, ThroughARouterTheModuleIsFoundOnTheBusAndUpdated) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({"serial=0x0000A001,model=5,address=2,usb,restart=300",
                     "serial=0x1234ABCD,model=17,address=8,build=100,version=2.15.3,behind=0x0000A001,restart=300"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());
  ExpectUpdated(scene, {"-U", "-d", kSerialText, "-r", "A001", "-f", image}, image, image);
}

TEST(Update, TheStoreSuppliesTheLatestDownloadAndTheTransferIsRecordedByBuild) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string deviceDir = scene.store() + "/updater/" + kSerialText;
  std::filesystem::create_directories(deviceDir);
  const std::string image = scene.image(HubImage(), "store/updater/1234ABCD/1234.bird");
  WriteTextFile(deviceDir + "/.settings", "LATEST_DOWNLOAD=1234.bird\n");

  ProcessResult r = scene.updater({"-U", "-d", kSerialText});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Updating with the Latest Download\nUpdating firmware with build: 1234\n")) << r.out;
  EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(image, kSerial));
  EXPECT_EQ(Setting(scene.settingsPath(kSerialText), "LATEST_TRANSFER"), "1234.bird");
}

TEST(Update, AnEmptyStoreDoesNotUpdateToANewerBuildTheServerKnows) {
  RUN_INSIDE_NETNS();
  TempDir firmware;
  BirdRecipe newer = HubImage();
  newer.build = 1300;
  ASSERT_TRUE(WriteBirdFile(newer, firmware / "1300.bird"));
  WriteTextFile(firmware / "index.txt", "build 1234ABCD 1300 2.17.0 1300.bird\n");
  UpdateServerProcess server(firmware.path());
  ASSERT_TRUE(server.ready());
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();

  ProcessResult r = scene.updater({"-U", "-d", kSerialText, "-u", server.Url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.out, "New firmware is available.  Updater will proceed if valid firmware is found locally.\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.err, "Could not find valid build for this device.\n")) << r.err;
  EXPECT_FALSE(scene.flashWritten(kSerialText));
}

// Failures: exit 1, nothing recorded, the device keeps its firmware.
TEST(Update, ImagesForAnotherModelOrDeviceAreRefusedUnlessOverridden) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  BirdRecipe otherModel = HubImage();
  otherModel.model = 19;
  const std::string wrongModel = scene.image(otherModel, "model.bird");
  BirdRecipe otherDevice = HubImage();
  otherDevice.generic = false;
  otherDevice.serial = 0x0BADBEEF;
  const std::string wrongDevice = scene.image(otherDevice, "device.bird");

  ProcessResult r = scene.updater({"-U", "-d", kSerialText, "-f", wrongModel});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "Connected device model and Bird file model do not match [AF-USBHub2x4] (0)\n"
            "Cause: the file is for model AF-USBHub3p, the device is model AF-USBHub2x4\n"
            "Birdfile failed validation\n");
  r = scene.updater({"-U", "-d", kSerialText, "-f", wrongDevice});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Birdfile failed validation\n");
  EXPECT_FALSE(scene.flashWritten(kSerialText));
  EXPECT_FALSE(IsRegularFile(scene.settingsPath(kSerialText)));

  ExpectUpdated(scene, {"-U", "-d", kSerialText, "-OVERRIDE", "-f", wrongModel}, wrongModel, wrongModel);
}

// A file that is missing, empty, a directory, not a BIRD file, or whose last block runs past the
// end of its data is refused before anything is sent, with the cause on its own line.
TEST(Update, FilesThatDoNotLoadWhollyAreRefusedWithTheirCause) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string dir = scene.image(HubImage()) + ".d";
  std::filesystem::create_directories(dir);
  const std::string empty = dir + "/empty.bird", text = dir + "/text.bird", cut = dir + "/cut.bird";
  WriteTextFile(empty, "");
  WriteTextFile(text, "these are not the bytes of a firmware file");
  std::vector<uint8_t> data = MakeBirdWriter(HubImage()).ImageData();
  data.erase(data.end() - 104, data.end() - 4);  // the last block loses 100 bytes, the checksum stays
  const std::vector<uint8_t> cutFile = BirdWriter::FileFromImageData(data);
  WriteTextFile(cut, std::string(cutFile.begin(), cutFile.end()));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir + "/none.bird", "the file " + dir + "/none.bird does not exist\n"},
      {empty, "the file is empty\n"},
      {dir, dir + " is a directory, not a file\n"},
      {text, "not a BIRD file (it does not begin with \"bird\")\n"},
      {cut, "the file is damaged: block 4 (1908 bytes) runs past the end of the data\n"},
  };
  std::filesystem::create_directories(scene.store() + "/updater");
  const auto store = TreeSnapshot(scene.store());
  for (const auto& c : cases) {
    ProcessResult r = scene.updater({"-U", "-d", kSerialText, "-f", c.first});
    EXPECT_EQ(r.exitCode, 1) << c.first;
    EXPECT_EQ(r.err, "Failed to load bird file\nCause: " + c.second);
  }
  EXPECT_EQ(TreeSnapshot(scene.store()), store);
  EXPECT_FALSE(scene.flashWritten(kSerialText));
}

// With the server unreachable the update falls back to the last download and says so, and that
// it is older than what the device runs; after the reboot the device's build is read back.
TEST(Update, AFallbackToAnOlderStoredBuildIsSaidAndTheNewBuildIsReadBack) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({"serial=0x1234ABCD,model=17,address=6,build=1400,version=2.17.0,restart=300,usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  std::filesystem::create_directories(scene.store() + "/updater/" + kSerialText);
  BirdRecipe older = HubImage();
  older.build = 1200;
  scene.image(older, "store/updater/1234ABCD/1200.bird");
  WriteTextFile(scene.settingsPath(kSerialText), "LATEST_DOWNLOAD=1200.bird\n");

  ProcessResult r = scene.updater({"-U", "-d", kSerialText});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "The update server could not be asked for the current build (Couldn't connect to "
                              "server): using a stored build\nUpdating with the Latest Download\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Build 1200 is older than build 1400 that the device runs: this update is a downgrade\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\nDevice 1234ABCD is running build 1200\nUpdate time: ")) << r.out;
  EXPECT_EQ(Setting(scene.settingsPath(kSerialText), "LATEST_TRANSFER"), "1200.bird");
}

// A device that comes back after the reboot running another build than the image's has not been
// updated: an error, exit 1, and nothing recorded.
TEST(Update, ADeviceThatRunsAnotherBuildAfterTheRebootFails) {
  RUN_INSIDE_NETNS();
  BirdRecipe unmarked = HubImage();
  unmarked.versionMarker = false;  // the simulator keeps running build 100
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(unmarked);
  ProcessResult r = scene.updater({"-U", "-d", kSerialText, "-f", image});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Device 1234ABCD is running build 100, not build 1234\n");
  EXPECT_FALSE(IsRegularFile(scene.settingsPath(kSerialText)));
}

// A device that is gone after its reboot into the new firmware has not been updated. The
// simulator logs the reboot as it begins and keeps the module away for 3 s; it is stopped then,
// while the updater waits for the device to come back.
TEST(Update, ADeviceThatDoesNotComeBackAfterTheRebootFails) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({"serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,restart=3000,usb"}, {"-v"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());
  ProcessResult r;
  std::thread update([&] { r = scene.updater({"-U", "-d", kSerialText, "-f", image}); });
  const bool rebooting =
      polling::Eventually([&] { return Contains(scene.sim().Log(), "reboots into its new image"); }, 60000);
  scene.sim().Stop();
  update.join();
  ASSERT_TRUE(rebooting) << scene.sim().Log();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Device 1234ABCD did not come back after the reboot\n");
  EXPECT_FALSE(IsRegularFile(scene.settingsPath(kSerialText)));
}

TEST(Update, AnAbsentDeviceIsReported) {
  RUN_INSIDE_NETNS();
  UpdateScene scene({kHub + ",usb"});
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();
  const std::string image = scene.image(HubImage());
  ProcessResult r = scene.updater({"-U", "-d", "0BADBEEF", "-f", image});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Failed to connect to module [0BADBEEF]\n");
}

// Each failure ends with one error line that names the step and its cause; the store is left
// byte for byte and the device keeps its firmware.
TEST(Update, TransferFailuresEndTheUpdateWithoutRecordingIt) {
  RUN_INSIDE_NETNS();
  const std::string settings = "LATEST_TRANSFER=1000.bird\n";
  struct Case {
    std::vector<std::string> faults;
    bool loader;
    const char* why;
    const char* error;  // the start of the error output
  };
  const std::vector<Case> cases = {
      {{"drop=data:1", "drop=data:2", "drop=data:3", "drop=data:4", "drop=data:5"}, false, "a block failing 5 times",
       "Update failed at firmware block 1 of 2 after 5 attempts: the device did not answer a data packet\n"},
      {{"wrongsum"}, true, "a loader block whose sum does not match",
       "Update failed at loader block 1 of 1: sum mismatch: sent "},
      {{"refuseprepare=2"}, false, "a refused prepare",
       "Update failed at the prepare of firmware block 1 of 2: the device refused the prepare (status 2)\n"},
      {{"drop=init"}, false, "a lost reply to the upgrade init",
       "Update failed at the upgrade init: the device did not answer the upgrade init\n"},
      {{"drop=uei:1"}, false, "a serial number read that is not answered",
       "Could not read the serial number of device [1234ABCD]\nCause: aErrTimeout\n"},
      {{"noreturn"}, false, "a device that is gone after the loader start",
       "Update failed at the prepare of firmware block 1 of 2: the link to the device was lost (the prepare not sent)\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra;
    for (const std::string& fault : c.faults) {
      extra.push_back("--fault");
      extra.push_back(fault);
    }
    UpdateScene scene({kHub + ",usb"}, extra);
    ASSERT_TRUE(scene.ready()) << scene.sim().Log();
    std::filesystem::create_directories(scene.store() + "/updater/" + kSerialText);
    WriteTextFile(scene.settingsPath(kSerialText), settings);
    BirdRecipe recipe = HubImage();
    if (c.loader) recipe.loaderSize = 100;
    const std::string image = scene.image(recipe);
    const auto store = TreeSnapshot(scene.store());

    ProcessResult r = scene.updater({"-U", "-d", kSerialText, "-f", image});
    EXPECT_EQ(r.exitCode, 1) << c.why;
    // One error line (the log's own lines may come before it).
    const size_t at = r.err.find(c.error);
    EXPECT_NE(at, std::string::npos) << c.why << "\n" << r.err;
    const std::string rest = at == std::string::npos ? "" : r.err.substr(at + std::string(c.error).size());
    EXPECT_LE(std::count(rest.begin(), rest.end(), '\n'), 1) << c.why << "\n" << r.err;
    EXPECT_FALSE(Contains(r.err, "Birdfile failed validation")) << c.why;
    EXPECT_FALSE(Contains(r.out, "Update time")) << c.why;
    EXPECT_EQ(TreeSnapshot(scene.store()), store) << c.why;
    EXPECT_FALSE(scene.flashWritten(kSerialText)) << c.why;
    if (c.loader) {
      EXPECT_FALSE(Contains(r.out, "Starting Load on Device")) << "a loader with a bad block is never started";
    }
  }
}
