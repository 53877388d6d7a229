// The fault matrix: the updater program against a misbehaving device (devsim's faults), a
// misbehaving update server (update-server's faults), a store it cannot write and damaged
// BIRD files. One runner checks every row the same way: the updater ends in bounded time,
// not by a signal, with the row's exit status and a message that names the failure; the device
// has the new firmware only when the update succeeded; the store is byte for byte the old one,
// or the old one with the complete new record. tests/e2e/FAULTS.md is this table in prose.
// Every row runs inside a private network namespace (a device that USB does not show is looked
// for on the network), and store rows in a private mount namespace with a small tmpfs.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BirdRecipe.h"
#include "FileInspection.h"
#include "FirmwareFixture.h"
#include "Netns.h"
#include "TempDir.h"
#include "UpdateScene.h"
#include "UpdateServerProcess.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;
const char kSerialText[] = "1234ABCD";
constexpr uint32_t kModel = 17;
// The build the store holds and records as the last download; the server also offers 1300.
const char kStoredBuild[] = "1200.bird";
const std::string kHub = "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,restart=300";

enum class Command {
  UpdateFile,    // -U -f FILE
  UpdateChosen,  // -U: the build is chosen through the server and the store
  Get,           // -G -b 1300
};
enum class Mount { Plain, ReadOnly, Full };  // the file system the store is on
enum class After { Old, New };               // what the store, and the device, hold afterwards
// A server that does not listen: the connection is refused.
const char kRefused[] = "refused";

struct Fault {
  const char* name;
  Command command;
  std::vector<std::string> device;  // devsim --fault
  std::vector<std::string> server;  // update-server --fault, or {kRefused}
  Mount mount;
  bool overTcp;  // the module on TCP only: found through network discovery
  bool loader;   // the image carries a loader
  bool cutEveryKiB;  // the image, cut at every 1 KiB boundary in turn (one run each)
  int exitCode;
  const char* message;  // part of the output that names the failure
  After store;
  After flash;
  int boundSeconds;  // longer is a hang
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

BirdRecipe Image(bool loader) {
  BirdRecipe recipe;
  recipe.model = kModel;
  recipe.build = 1234;
  recipe.version = "2.16.1";
  recipe.generic = true;
  recipe.firmwareSize = 6000;
  recipe.blockSize = 4096;  // two firmware blocks
  if (loader) recipe.loaderSize = 3000;
  return recipe;
}

// A tmpfs over a directory for the life of the object, in this process's own mount namespace.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& dir) : dir_(dir) {
    std::filesystem::create_directories(dir);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool makeReadOnly() { return mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=256k") == 0; }
  // Fills the rest with files of its own, so that no further byte fits.
  void fill() {
    std::ofstream filler(dir_ + "/filler", std::ios::binary);
    const std::string chunk(4096, 'x');
    while (filler.write(chunk.data(), chunk.size())) filler.flush();
    std::ofstream last(dir_ + "/filler-tail", std::ios::binary);
    while (last.put('x')) last.flush();
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

bool PrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

class FaultMatrix : public ::testing::TestWithParam<Fault> {};

TEST_P(FaultMatrix, EndsAsItsRowSays) {
  const Fault& row = GetParam();
  if (row.overTcp) SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  if (row.mount != Mount::Plain) {
    ASSERT_TRUE(PrivateMountNamespace()) << "a private mount namespace";
  }

  std::vector<std::string> simArgs;
  for (const std::string& fault : row.device) simArgs.insert(simArgs.end(), {"--fault", fault});
  if (row.overTcp) simArgs.insert(simArgs.end(), {"--discovery", "--bind", "0.0.0.0"});
  UpdateScene scene({kHub + (row.overTcp ? ",tcp=0" : ",usb")}, simArgs);
  ASSERT_TRUE(scene.ready()) << scene.sim().Log();

  // The server offers builds 1200 and 1300; the store holds 1200 as its last download.
  FirmwareFixture firmware(scene.work().path(), kSerial, kModel, {{1200, "2.15.9"}, {1300, "2.17.0"}});
  std::unique_ptr<SmallFileSystem> fileSystem;
  if (row.mount != Mount::Plain) {
    fileSystem = std::make_unique<SmallFileSystem>(scene.store());
    ASSERT_TRUE(fileSystem->mounted());
  }
  const std::string device = scene.store() + "/updater/" + kSerialText;
  std::filesystem::create_directories(device);
  WriteTextFile(device + "/" + kStoredBuild, firmware.FileBytes(1200));
  WriteTextFile(scene.settingsPath(kSerialText),
                std::string("LAST_DOWNLOAD_DATE=Tue Dec  8 10:00:00 2026\nLATEST_DOWNLOAD=") + kStoredBuild + "\n");
  if (row.mount == Mount::Full) fileSystem->fill();
  if (row.mount == Mount::ReadOnly) {
    ASSERT_TRUE(fileSystem->makeReadOnly());
  }

  std::vector<std::string> serverArgs;
  for (const std::string& fault : row.server) serverArgs.insert(serverArgs.end(), {"--fault", fault});
  std::unique_ptr<UpdateServerProcess> server;
  if (row.server.empty() || row.server.front() != kRefused) {
    server = std::make_unique<UpdateServerProcess>(firmware.root(), serverArgs);
    ASSERT_TRUE(server->ready()) << server->Log();
  }
  BirdRecipe recipe = Image(row.loader);
  if (row.cutEveryKiB) recipe.firmwareSize = 40000;  // a file of several KiB
  const std::string image = scene.image(recipe);
  std::vector<std::string> images = {image};
  if (row.cutEveryKiB) {
    images.clear();
    const std::string whole = ReadTextFile(image);
    for (size_t cut = 1024; cut < whole.size(); cut += 1024) {
      images.push_back(image + "." + std::to_string(cut));
      WriteTextFile(images.back(), whole.substr(0, cut));
    }
    ASSERT_GE(images.size(), 4u);
  }
  for (const std::string& file : images) {
    SCOPED_TRACE(file);
    std::vector<std::string> args;
    switch (row.command) {
      case Command::UpdateFile:
        args = {"-U", "-d", kSerialText, "-f", file};
        break;
      case Command::UpdateChosen:
        args = {"-U", "-d", kSerialText};
        break;
      case Command::Get:
        args = {"-G", "-d", kSerialText, "-b", "1300"};
        break;
    }
    if (server) args.insert(args.end(), {"-u", server->Url()});

    const auto before = TreeSnapshot(scene.store());
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = scene.updater(args, row.boundSeconds * 1000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("fault %-36s exit %d after %5.1f s\n", row.name, r.exitCode, seconds);

    ASSERT_FALSE(r.timedOut) << "still running after " << row.boundSeconds << " s\n" << r.out << r.err;
    EXPECT_LT(r.exitCode, 128) << "ended by a signal";
    EXPECT_EQ(r.exitCode, row.exitCode) << r.out << r.err << scene.sim().Log();
    EXPECT_NE((r.out + r.err).find(row.message), std::string::npos) << r.out << r.err;

    EXPECT_EQ(scene.flashWritten(kSerialText), row.flash == After::New);
    if (row.flash == After::New) {
      const std::string flashed = row.command == Command::UpdateFile ? file : device + "/" + kStoredBuild;
      EXPECT_EQ(scene.flash(kSerialText), ExpectedFlash(flashed, kSerial));
    }
    auto after = TreeSnapshot(scene.store());
    if (row.store == After::Old) {
      EXPECT_EQ(after, before);
      continue;
    }
    // The old store and the complete record of the transfer: the settings keep every entry and
    // gain the transfer's two; nothing else changes.
    const std::string recorded = row.command == Command::UpdateFile ? file : kStoredBuild;
    EXPECT_EQ(Setting(scene.settingsPath(kSerialText), "LATEST_TRANSFER"), recorded);
    EXPECT_NE(Setting(scene.settingsPath(kSerialText), "LAST_TRANSFER_DATE"), "");
    EXPECT_EQ(Setting(scene.settingsPath(kSerialText), "LATEST_DOWNLOAD"), kStoredBuild);
    const std::string settings = "updater/" + std::string(kSerialText) + "/.settings";
    after.erase(settings);
    auto unchanged = before;
    unchanged.erase(settings);
    EXPECT_EQ(after, unchanged);
  }
}

// name, command, device faults, server faults, mount, over TCP, loader, cut every KiB,
// exit status, message, store, device flash, bound in seconds.
const Fault kFaults[] = {
    // The device, during an update from a file.
    {"LostDataReplyIsRetried", Command::UpdateFile, {"drop=data:3"}, {}, Mount::Plain, false, false, false, 0,
     "  Retry 1", After::New, After::New, 60},
    {"WrongFirmwareSumIsRetried", Command::UpdateFile, {"wrongsum"}, {}, Mount::Plain, false, false, false, 0,
     "  Retry 1", After::New, After::New, 60},
    {"CorruptedByteMidBlockIsRetried", Command::UpdateFile, {"corrupt=40"}, {}, Mount::Plain, false, false, false, 0,
     "  Retry 1", After::New, After::New, 60},
    {"GarbageAnswers", Command::UpdateFile,
     {"corrupt=30", "corrupt=45", "corrupt=60", "corrupt=75", "corrupt=90", "corrupt=105", "corrupt=120",
      "corrupt=135", "corrupt=150", "corrupt=165"},
     {}, Mount::Plain, false, false, false, 1, "Update failed at firmware block 1 of 2 after 5 attempts",
     After::Old, After::Old, 60},
    {"LateAnswers", Command::UpdateFile, {"delay=5000"}, {}, Mount::Plain, false, false, false, 1,
     "Failed to connect to module [1234ABCD]", After::Old, After::Old, 60},
    {"ConnectionDroppedMidFirmware", Command::UpdateFile, {"close=60"}, {}, Mount::Plain, false, false, false, 1,
     "Update failed at the prepare of firmware block 1 of 2: the link to the device was lost", After::Old,
     After::Old, 60},
    {"ConnectionDroppedMidFirmwareOverTcpIsRetried", Command::UpdateFile, {"close=60"}, {}, Mount::Plain, true,
     false, false, 0, "  Retry 1", After::New, After::New, 60},
    {"ConnectionDroppedMidLoader", Command::UpdateFile, {"close=40"}, {}, Mount::Plain, false, true, false, 1,
     "Update failed at loader block 1 of 1", After::Old, After::Old, 60},
    // The server, while a build is downloaded.
    {"ServerAnswers500", Command::Get, {}, {"status=500@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: the server answered with HTTP status 500", After::Old, After::Old, 60},
    {"ServerAnswersAnEmptyBody", Command::Get, {}, {"empty@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: the server's answer was empty", After::Old, After::Old, 60},
    {"ServerSendsTruncatedBase64", Command::Get, {}, {"truncate@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: the file is damaged: its compressed body does not inflate", After::Old, After::Old, 60},
    {"ServerSendsGarbageBase64", Command::Get, {}, {"garbage@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: the content is not base64 text", After::Old, After::Old, 60},
    {"ServerCutsTheConnection", Command::Get, {}, {"cut@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: Transferred a partial file", After::Old, After::Old, 60},
    {"ServerStalls", Command::Get, {}, {"stall@bird"}, Mount::Plain, false, false, false, 1,
     "Cause: Timeout was reached", After::Old, After::Old, 100},
    {"ServerRefusesTheConnection", Command::Get, {}, {kRefused}, Mount::Plain, false, false, false, 1,
     "Couldn't connect to server", After::Old, After::Old, 60},
    // The server, asked for the current build by an update: the update goes on with the store's.
    {"UpdateServerAnswers500", Command::UpdateChosen, {}, {"status=500@qu"}, Mount::Plain, false, false, false, 0,
     "could not be asked for the current build (the server answered with HTTP status 500)", After::New,
     After::New, 60},
    {"UpdateServerAnswersGarbage", Command::UpdateChosen, {}, {"garbage@qu"}, Mount::Plain, false, false, false, 0,
     "Updating with the Latest Download", After::New, After::New, 60},
    // The store.
    {"GetIntoAReadOnlyStore", Command::Get, {}, {}, Mount::ReadOnly, false, false, false, 1,
     "could not be written: Read-only file system", After::Old, After::Old, 60},
    {"GetIntoAFullStore", Command::Get, {}, {}, Mount::Full, false, false, false, 1,
     "could not be written: No space left on device", After::Old, After::Old, 60},
    {"UpdateWithAReadOnlyStore", Command::UpdateFile, {}, {}, Mount::ReadOnly, false, false, false, 1,
     "was updated, but the store could not record the transfer", After::Old, After::New, 60},
    {"UpdateWithAFullStore", Command::UpdateFile, {}, {}, Mount::Full, false, false, false, 1,
     "was updated, but the store could not record the transfer", After::Old, After::New, 60},
    // The BIRD file.
    {"BirdFileCutAtEveryKiB", Command::UpdateFile, {}, {}, Mount::Plain, false, false, true, 1,
     "Failed to load bird file\nCause: the file is damaged", After::Old, After::Old, 60},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

}  // namespace
