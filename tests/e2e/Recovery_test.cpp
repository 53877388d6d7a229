// Recovery and the fingerprint command end to end: the updater program against the LPC17xx and
// i.MX boot-ROM simulators, with recovery images served by tools/update-server. A recovery that
// finds no LPC part goes on to modules on USB, so recoveries run inside a network namespace.

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
#include "Polling.h"
#include "TempDir.h"
#include "UpdateServerProcess.h"
#include "UpdaterProcess.h"

namespace {

const std::vector<std::string> kLpcSim = {"--erase-ms", "0", "--program-ms", "0", "--device-id",
                                          "0x0A0B0C0D,0x11223344,0x55667788,0x99AABBCC"};
const char kDevice[] = "build 40F5849A 1300 2.11.2 device.bird\n";
const char kLpcFix[] = "fix 0A0B0C0D 11223344 55667788 99AABBCC 40F5849A 1300\n";
// The loader module's identifier words for subindex 0 to 3: the fingerprint holds them reversed.
const char kLoader[] = "serial=0xDEADDEAD,usb,startloader,model=17,restart=300,id=A1A2A3A4:B1B2B3B4:C1C2C3C4:D1D2D3D4";
const char kImxFix[] = "fix D1D2D3D4 C1C2C3C4 B1B2B3B4 A1A2A3A4 40F5849A 1300\n";

void ExpectAll(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
}

BirdRecipe DeviceImage(size_t size, bool masked) {
  BirdRecipe recipe;
  recipe.model = 17;
  recipe.build = 1300;
  recipe.version = "2.11.2";
  recipe.serial = 0x40F5849A;
  recipe.firmwareSize = size;
  recipe.blockSize = 4096;
  if (masked) recipe.maskKey = BirdMaskKey{0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC};
  return recipe;
}

// The first `programmed` bytes of the image are in flash; every other byte is erased.
void ExpectFlash(LpcSimProcess& lpc, const BirdRecipe& recipe, size_t programmed) {
  ASSERT_EQ(lpc.Stop(), 0);
  const std::vector<uint8_t> flash = lpc.Flash(), image = RecipeFirmware(recipe);
  ASSERT_GE(flash.size(), programmed);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<long>(programmed), flash.begin()));
  EXPECT_EQ(std::count(flash.begin() + static_cast<long>(programmed), flash.end(), 0xFF),
            static_cast<long>(flash.size() - programmed));
}

// A work directory: the store, BIRD files, and firmware directories for the update server.
class Scene {
 public:
  Scene() { std::filesystem::create_directories(work_ / "store/updater"); }
  std::string image(const BirdRecipe& recipe, const std::string& name) {
    std::filesystem::create_directories(std::filesystem::path(work_ / name).parent_path());
    EXPECT_TRUE(WriteBirdFile(recipe, work_ / name));
    return work_ / name;
  }
  std::string firmware(const std::string& index, const std::vector<std::pair<std::string, BirdRecipe>>& images) {
    const std::string root = work_ / ("firmware" + std::to_string(++roots_));
    for (const auto& named : images) image(named.second, "firmware" + std::to_string(roots_) + "/" + named.first);
    WriteTextFile(root + "/index.txt", index);
    return root;
  }
  std::map<std::string, std::string> store() const { return TreeSnapshot(work_ / "store"); }
  bool stored(const std::string& name) const { return IsRegularFile(work_ / ("store/updater/" + name)); }
  ProcessResult updater(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
    return RunUpdater(work_ / "store", args, environment);
  }

 private:
  TempDir work_;
  int roots_ = 0;
};

}  // namespace

TEST(Recovery, FingerprintOfAnLpcPartAndOfAPortWhereNothingAnswers) {
  Scene scene;
  LpcSimProcess lpc(kLpcSim);
  ASSERT_TRUE(lpc.ready()) << lpc.Log();
  ProcessResult r = scene.updater({"-N", "-s", lpc.port(), "-o", "57600"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ExpectAll(r.out, {"\n[ 0A0B0C0D 11223344 55667788 99AABBCC ]\n"});

  const int silent = posix_openpt(O_RDWR | O_NOCTTY);  // a terminal nobody answers on
  ASSERT_TRUE(silent >= 0 && grantpt(silent) == 0 && unlockpt(silent) == 0);
  const std::string port = ptsname(silent);
  const auto store = scene.store();
  r = scene.updater({"-X", "0x10000", "-N", "-s", port});
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Could not communicate with device over serial port", "Got no response from chip\n"});
  r = scene.updater({"-N", "-s", port, "-f", "any.bird"});
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Add serial number or remove the bird filename to use a default recovery image.\n"});
  EXPECT_EQ(scene.store(), store);
  close(silent);
}

// The server maps the fingerprint to device and build; the masked image is downloaded, unmasked
// and programmed, but for its last block of 4 image bytes, which ends the image.
TEST(Recovery, LpcPartGetsTheImageTheServerNamesForItsFingerprint) {
  RUN_INSIDE_NETNS();
  Scene scene;
  const BirdRecipe recipe = DeviceImage(8196, true);
  const auto store = scene.store();
  UpdateServerProcess unaware(scene.firmware(kDevice, {{"device.bird", recipe}}));
  LpcSimProcess first(kLpcSim);
  ASSERT_TRUE(unaware.ready() && first.ready()) << first.Log();
  ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", first.port(), "-u", unaware.Url()});
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Failed to retrieve recovery information from Tessaron server\n"});
  ExpectAll(r.out, {"Update time: "});
  ExpectAll(unaware.Log(), {"fp=0A0B0C0D%2011223344%2055667788%2099AABBCC"});
  EXPECT_EQ(scene.store(), store);

  UpdateServerProcess server(scene.firmware(std::string(kDevice) + kLpcFix, {{"device.bird", recipe}}));
  LpcSimProcess lpc(kLpcSim);
  ASSERT_TRUE(server.ready() && lpc.ready()) << lpc.Log();
  r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-u", server.Url()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ExpectAll(r.out, {"Recovering firmware with build: 1300\n", "Transferring firmware block 2 of 2, 4096 bytes\n",
                    "Transferred 2 blocks, 8192 total bytes\nRebooting Device\nUpdate time: "});
  EXPECT_TRUE(scene.stored("40F5849A/1300.bird"));
  ExpectAll(lpc.Log(), {"user code started at 0x00000000"});
  ExpectFlash(lpc, recipe, 8192);
}

// From a file: a last chunk shorter than a copy is staged with erased bytes; a generic image is
// refused before anything is erased; a part that stops answering mid-transfer fails.
TEST(Recovery, LpcPartFromAFileIsPaddedRefusedOrFailsAndTheStoreKeepsWhatItHad) {
  RUN_INSIDE_NETNS();
  Scene scene;
  const BirdRecipe recipe = DeviceImage(6002, true);
  BirdRecipe generic = DeviceImage(6002, false);
  generic.generic = true;
  const std::string masked = scene.image(recipe, "masked.bird"), plain = scene.image(generic, "generic.bird");
  const auto store = scene.store();

  std::vector<std::string> stops = kLpcSim;
  stops.insert(stops.end(), {"--silent-after-copies", "1"});
  LpcSimProcess lpc(kLpcSim), refusing(kLpcSim), stopping(stops);
  ASSERT_TRUE(lpc.ready() && refusing.ready() && stopping.ready()) << lpc.Log();
  ProcessResult r = scene.updater({"-U", "-t", "RECOVER", "-s", lpc.port(), "-f", masked});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  ExpectAll(r.out, {"Transferring firmware block 2 of 2, 1906 bytes\n", "Transferred 2 blocks, 6002 total bytes\n"});
  ExpectAll(lpc.Log(), {"[C 4096 268439552 4096] -> 0"});
  ExpectFlash(lpc, recipe, 6002);

  r = scene.updater({"-U", "-t", "RECOVER", "-s", refusing.port(), "-f", plain});
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Updater does not support offline recovery\n"});
  EXPECT_EQ(refusing.Log().find("[E 0 29]"), std::string::npos) << "nothing erased";

  r = scene.updater({"-U", "-t", "RECOVER", "-s", stopping.port(), "-f", masked});
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Recovery Error transfering data to device ==> ["});
  ExpectAll(r.out, {"Update time: "});
  EXPECT_EQ(r.out.find("Rebooting Device"), std::string::npos) << r.out;
  ExpectFlash(stopping, recipe, 4096);
  EXPECT_EQ(scene.store(), store);
}

// The i.MX path over the serial line and over USB (the ROM's HID interface): the loader blocks go
// to the addresses they carry and the ROM jumps to the start block's address, 0x20000400 without
// one; the loader module's identifier words are the fingerprint; it gets the device's firmware and
// then runs that build. A loader that never answers on USB fails the fingerprint.
TEST(Recovery, ImxGetsTheLoaderThroughTheBootRomAndTheFirmwareThroughTheLoader) {
  RUN_INSIDE_NETNS();
  Scene scene;
  BirdRecipe loader = DeviceImage(1024, false);
  loader.serial = 0xDEADDEAD;
  loader.loaderSize = 2500;
  loader.blockSize = 1024;  // loader blocks at 0x20000000, 0x20000400 and 0x20000800
  BirdRecipe device = DeviceImage(5000, false);
  device.loaderSize = 1500;
  device.loaderAddress = 0x20200000;
  device.loaderStart = 0x20200100;
  UpdateServerProcess server(scene.firmware(std::string("build DEADDEAD 7 1.0.0 loader.bird\n") + kDevice + kImxFix,
                                            {{"loader.bird", loader}, {"device.bird", device}}));
  ASSERT_TRUE(server.ready()) << server.Log();
  const auto runs = [&](const std::vector<std::string>& args, ImxBootRomProcess& rom) {
    ProcessResult r = scene.updater(args, rom.childEnvironment());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << rom.Log();
    ExpectAll(r.out, {"Transferred 2 blocks, 5008 total bytes\n"});
    // The recovery ends with the reboot request: the module is listed once it has restarted.
    std::string listing;
    polling::Eventually(
        [&] {
          listing = scene.updater({"-D"}, rom.childEnvironment()).out;
          return listing.find("    DEADDEAD  ") != std::string::npos;
        },
        10000);
    ExpectAll(listing, {"    DEADDEAD  ", " 2.11.2 (1300)\n"});
  };
  {
    ImxBootRomProcess rom({"-v", "--loader-module", kLoader});
    ASSERT_TRUE(rom.ready()) << rom.Log();
    runs({"-U", "-t", "RECOVER", "-s", rom.tty(), "-u", server.Url()}, rom);
    EXPECT_EQ(rom.ram(0x20000000, 0, 2500), RecipeLoader(loader));
    ExpectAll(rom.Log(), {"WRITE_FILE 0x20000800 count 452", "JUMP_ADDRESS 0x20000400"});
    ExpectAll(server.Log(), {"fp=D1D2D3D4%20C1C2C3C4%20B1B2B3B4%20A1A2A3A4"});
  }
  const std::string file = scene.image(device, "device.bird");
  const auto store = scene.store();
  {
    ImxBootRomProcess rom({"-v", "--loader-module", kLoader});
    ASSERT_TRUE(rom.ready()) << rom.Log();
    runs({"-U", "-t", "RECOVER", "-s", "USB", "-d", "40F5849A", "-f", file}, rom);
    EXPECT_EQ(rom.ram(0x20200000, 0, 1500), RecipeLoader(device));
    ExpectAll(rom.Log(), {"JUMP_ADDRESS 0x20200100"});
  }
  ImxBootRomProcess rom({"--loader-module", "serial=0x11111111,usb,startloader"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  ProcessResult r = scene.updater({"-X", "0x10000", "-U", "-t", "RECOVER", "-s", "USB", "-d", "40F5849A", "-f", file},
                                  rom.childEnvironment());
  EXPECT_EQ(r.exitCode, 1);
  ExpectAll(r.err, {"Could not connect to device.\n", "Could not get Device Identifier\n"});
  EXPECT_EQ(scene.store(), store);
}
