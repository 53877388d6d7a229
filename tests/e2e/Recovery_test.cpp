// Recovery and the fingerprint command end to end: the updater program against the LPC17xx and
// i.MX boot-ROM simulators, with recovery images served by tools/update-server. A recovery that
// does not find an LPC part goes on to modules on USB, so every recovery runs inside a private
// network namespace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "BirdRecipe.h"
#include "FileInspection.h"
#include "ImxBootRomProcess.h"
#include "LpcSimProcess.h"
#include "Netns.h"
#include "TempDir.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcess.h"

namespace {

const BirdMaskKey kLpcFingerprint = {0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC};
const std::vector<std::string> kLpcSim = {"--erase-ms", "0", "--program-ms", "0", "--device-id",
                                          "0x0A0B0C0D,0x11223344,0x55667788,0x99AABBCC"};
const char kFix[] = "fix 0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n";
const char kDeviceSerial[] = "40F5849A";
// The identifier words the i.MX recovery loader reports for subindex 0 to 3; the fingerprint
// holds them in the opposite order.
const char kLoaderModule[] = "serial=0xDEADDEAD,usb,startloader,model=17,restart=300,id=A1A2A3A4:B1B2B3B4:C1C2C3C4:D1D2D3D4";
const char kImxFix[] = "fix D1D2D3D4 C1C2C3C4 B1B2B3B4 A1A2A3A4 40F5849A 1300\n";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

BirdRecipe DeviceImage(size_t size, bool masked) {
  BirdRecipe recipe;
  recipe.model = 17;
  recipe.build = 1300;
  recipe.version = "2.11.2";
  recipe.serial = 0x40F5849A;
  recipe.firmwareSize = size;
  recipe.blockSize = 4096;
  if (masked) recipe.maskKey = kLpcFingerprint;
  return recipe;
}

// A pseudo-terminal on which nothing ever answers.
class SilentPort {
 public:
  SilentPort() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~SilentPort() {
    if (master_ >= 0) close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  int master_;
  std::string path_;
};

// A work directory with a store, BIRD files and a firmware directory for the update server.
class RecoveryScene {
 public:
  RecoveryScene() { std::filesystem::create_directories(work_ / "store/updater"); }

  std::string store() const { return work_ / "store"; }
  std::string file(const std::string& name) const { return work_ / name; }
  std::string image(const BirdRecipe& recipe, const std::string& name) {
    std::string error;
    EXPECT_TRUE(WriteBirdFile(recipe, file(name), &error)) << error;
    return file(name);
  }
  // Serves the given images (name -> recipe) with an index.
  std::string firmware(const std::string& index, const std::vector<std::pair<std::string, BirdRecipe>>& images) {
    const std::string root = work_ / ("firmware" + std::to_string(++roots_));
    std::filesystem::create_directories(root);
    for (const auto& named : images) image(named.second, "firmware" + std::to_string(roots_) + "/" + named.first);
    WriteTextFile(root + "/index.txt", index);
    return root;
  }
  ProcessResult updater(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
    return RunUpdater(store(), args, environment);
  }

 private:
  TempDir work_;
  int roots_ = 0;
};

// The flash holds image and is erased (0xFF) everywhere else.
void ExpectFlash(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "the programmed image";
  EXPECT_EQ(std::count(flash.begin() + static_cast<long>(image.size()), flash.end(), 0xFF),
            static_cast<long>(flash.size() - image.size()))
      << "flash beyond the image stays erased";
}

}  // namespace

TEST(Recovery, FingerprintOfAnLpcPartAndOfPortsWhereNothingAnswers) {
  RecoveryScene scene;
  LpcSimProcess lpc(kLpcSim);
  ASSERT_TRUE(lpc.ready()) << lpc.Log();
  ProcessResult r = scene.updater({"-N", "-s", lpc.port(), "-o", "57600"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\n[ 0A0B0C0D 11223344 55667788 99AABBCC ]\n")) << r.out;
  EXPECT_TRUE(Contains(lpc.Log(), "[N] -> 0")) << lpc.Log();

  SilentPort silent;
  ASSERT_FALSE(silent.path().empty());
  const auto store = TreeSnapshot(scene.store());
  r = scene.updater({"-X", "0x10000", "-N", "-s", silent.path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Could not communicate with device over serial port")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Got no response from chip\n")) << r.err;
  EXPECT_FALSE(Contains(r.out, "[ ")) << r.out;

  r = scene.updater({"-N", "-s", silent.path(), "-f", scene.file("loader.bird")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Add serial number or remove the bird filename to use a default recovery image.\n"))
      << r.err;
  EXPECT_EQ(TreeSnapshot(scene.store()), store);
}

// The server maps the fingerprint to the device and build; the masked image is downloaded,
// unmasked and programmed. Its last block (4 image bytes) ends the image and is not programmed.
TEST(Recovery, LpcPartGetsTheRecoveryImageTheServerNamesForItsFingerprint) {
  RUN_INSIDE_NETNS();
  RecoveryScene scene;
  const BirdRecipe recipe = DeviceImage(8196, true);
  const std::string build = "build 40F5849A 1300 2.11.2 recovery.bird\n";

  UpdateServerProcess unaware(scene.firmware(build, {{"recovery.bird", recipe}}));
  ASSERT_TRUE(unaware.ready()) << unaware.Log();
  LpcSimProcess first(kLpcSim);
  ASSERT_TRUE(first.ready()) << first.Log();
  const auto store = TreeSnapshot(scene.store());
  ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", first.port(), "-u", unaware.Url()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Failed to retrieve recovery information from Tessaron server\n")) << r.err;
  EXPECT_TRUE(Contains(r.out, "Update time: ")) << r.out;
  EXPECT_TRUE(Contains(unaware.Log(), "fp=0A0B0C0D%2011223344%2055667788%2099AABBCC")) << unaware.Log();
  EXPECT_FALSE(Contains(first.Log(), "[E 0 29]")) << "nothing erased";
  EXPECT_EQ(TreeSnapshot(scene.store()), store);

  UpdateServerProcess server(scene.firmware(build + kFix, {{"recovery.bird", recipe}}));
  ASSERT_TRUE(server.ready()) << server.Log();
  LpcSimProcess lpc(kLpcSim);
  ASSERT_TRUE(lpc.ready()) << lpc.Log();
  r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-u", server.Url()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Recovering firmware with build: 1300\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Transferring firmware block 1 of 2, 4096 bytes\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Transferring firmware block 2 of 2, 4096 bytes\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Transferred 2 blocks, 8192 total bytes\nRebooting Device\nUpdate time: ")) << r.out;
  EXPECT_TRUE(IsRegularFile(scene.store() + "/updater/" + kDeviceSerial + "/1300.bird"));
  const std::string log = lpc.Log();
  EXPECT_TRUE(Contains(log, "user code started at 0x00000000")) << log;
  ASSERT_EQ(lpc.Stop(), 0);
  std::vector<uint8_t> plain = RecipeFirmware(recipe);
  plain.resize(8192);
  ExpectFlash(lpc.Flash(), plain);
}

// From a file: a last chunk that is no copy length is staged with erased bytes; a generic image is
// refused before anything is erased; a part that stops answering mid-transfer fails the recovery.
TEST(Recovery, LpcPartFromAFileIsPaddedRefusedOrFailsWithoutTouchingTheStore) {
  RUN_INSIDE_NETNS();
  RecoveryScene scene;
  const BirdRecipe recipe = DeviceImage(6002, true);
  const std::string masked = scene.image(recipe, "masked.bird");
  const auto store = TreeSnapshot(scene.store());
  {
    LpcSimProcess lpc(kLpcSim);
    ASSERT_TRUE(lpc.ready()) << lpc.Log();
    ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-f", masked});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Transferring firmware block 2 of 2, 1906 bytes\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Transferred 2 blocks, 6002 total bytes\n")) << r.out;
    EXPECT_TRUE(Contains(lpc.Log(), "[C 4096 268439552 4096] -> 0")) << lpc.Log();
    ASSERT_EQ(lpc.Stop(), 0);
    ExpectFlash(lpc.Flash(), RecipeFirmware(recipe));
  }
  {
    BirdRecipe generic = DeviceImage(6002, false);
    generic.generic = true;
    LpcSimProcess lpc(kLpcSim);
    ASSERT_TRUE(lpc.ready()) << lpc.Log();
    ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-f", scene.image(generic, "g.bird")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "Updater does not support offline recovery\n")) << r.err;
    EXPECT_FALSE(Contains(lpc.Log(), "[E 0 29]")) << lpc.Log();
  }
  {
    std::vector<std::string> stopping = kLpcSim;
    stopping.insert(stopping.end(), {"--silent-after-copies", "1"});
    LpcSimProcess lpc(stopping);
    ASSERT_TRUE(lpc.ready()) << lpc.Log();
    ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-f", masked});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "Recovery Error transfering data to device ==> [")) << r.err;
    EXPECT_FALSE(Contains(r.out, "Rebooting Device")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Update time: ")) << r.out;
    ASSERT_EQ(lpc.Stop(), 0);
    std::vector<uint8_t> plain = RecipeFirmware(recipe);
    plain.resize(4096);
    ExpectFlash(lpc.Flash(), plain);
  }
  EXPECT_EQ(TreeSnapshot(scene.store()), store);
}

// Over the serial line: the default recovery image (under DEADDEAD) brings the loader, without a
// start block, so the ROM jumps to 0x20000400; the loader's identifier words are the fingerprint;
// the device's image is transferred to the loader module, which then runs it.
TEST(Recovery, ImxOverTheSerialLineLoadsTheLoaderAndTransfersTheFirmware) {
  RUN_INSIDE_NETNS();
  RecoveryScene scene;
  BirdRecipe loader;
  loader.model = 17;
  loader.build = 7;
  loader.serial = 0xDEADDEAD;
  loader.firmwareSize = 1024;
  loader.loaderSize = 2500;
  loader.blockSize = 1024;  // three loader blocks, at 0x20000000, 0x20000400 and 0x20000800
  BirdRecipe device = DeviceImage(6000, false);
  UpdateServerProcess server(scene.firmware(std::string("build DEADDEAD 7 1.0.0 loader.bird\n"
                                                        "build 40F5849A 1300 2.11.2 device.bird\n") +
                                                kImxFix,
                                            {{"loader.bird", loader}, {"device.bird", device}}));
  ASSERT_TRUE(server.ready()) << server.Log();
  ImxBootRomProcess rom({"-v", "--loader-module", kLoaderModule});
  ASSERT_TRUE(rom.ready()) << rom.Log();

  ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", rom.tty(), "-u", server.Url()}, rom.childEnvironment());
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err << rom.Log();
  const std::vector<uint8_t> ram = rom.ram(0x20000000, 0, 2500);
  EXPECT_EQ(ram, RecipeLoader(loader));
  const std::string log = rom.Log();
  EXPECT_TRUE(Contains(log, "WRITE_FILE 0x20000800 count 452")) << log;
  EXPECT_TRUE(Contains(log, "JUMP_ADDRESS 0x20000400")) << log;
  EXPECT_TRUE(Contains(server.Log(), "fp=D1D2D3D4%20C1C2C3C4%20B1B2B3B4%20A1A2A3A4")) << server.Log();
  EXPECT_TRUE(Contains(r.out, "Recovering firmware with build: 1300\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Transferred 2 blocks, 6008 total bytes\n")) << r.out;

  r = scene.updater({"-D"}, rom.childEnvironment());
  EXPECT_TRUE(Contains(r.out, "DEADDEAD") && Contains(r.out, "2.11.2 (1300)")) << r.out << r.err;
}

// Over USB (the boot ROM's HID interface): a given file and serial number, a loader start block;
// a loader that never answers on USB fails the fingerprint.
TEST(Recovery, ImxOverUsbWithAGivenFileAndALoaderThatNeverAnswers) {
  RUN_INSIDE_NETNS();
  RecoveryScene scene;
  BirdRecipe recipe = DeviceImage(5000, false);
  recipe.loaderSize = 1500;
  recipe.loaderAddress = 0x20200000;
  recipe.loaderStart = 0x20200100;
  const std::string image = scene.image(recipe, "device.bird");
  const auto store = TreeSnapshot(scene.store());
  {
    ImxBootRomProcess rom({"-v", "--loader-module", kLoaderModule});
    ASSERT_TRUE(rom.ready()) << rom.Log();
    ProcessResult r =
        scene.updater({"-U", "-t", "RECOVER", "-s", "USB", "-d", kDeviceSerial, "-f", image}, rom.childEnvironment());
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err << rom.Log();
    EXPECT_EQ(rom.ram(0x20200000, 0, 1500), RecipeLoader(recipe));
    EXPECT_TRUE(Contains(rom.Log(), "JUMP_ADDRESS 0x20200100")) << rom.Log();
    EXPECT_TRUE(Contains(r.out, "Recovering from Birdfile: " + image)) << r.out;
    r = scene.updater({"-D"}, rom.childEnvironment());
    EXPECT_TRUE(Contains(r.out, "2.11.2 (1300)")) << r.out << r.err;
  }
  {
    ImxBootRomProcess rom({"--loader-module", "serial=0x11111111,usb,startloader"});
    ASSERT_TRUE(rom.ready()) << rom.Log();
    ProcessResult r = scene.updater({"-X", "0x10000", "-U", "-t", "RECOVER", "-s", "USB", "-d", kDeviceSerial, "-f", image},
                                    rom.childEnvironment());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "Could not connect to device.\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Could not get Device Identifier\n")) << r.err;
  }
  EXPECT_EQ(TreeSnapshot(scene.store()), store);
}
