#include "UpdaterStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "BirdWriter.h"
#include "ChildProcess.h"
#include "FileInspection.h"
#include "Log.h"
#include "TempDir.h"
#include "TimeText.h"

namespace {

std::string ConstructionError(const std::string& path) {
  try {
    UpdaterStore store(path.c_str());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

std::vector<std::string> SortedNames(const std::vector<UpdaterStoreItem>& items) {
  std::vector<std::string> names;
  for (const UpdaterStoreItem& item : items) names.push_back(item.Name());
  std::sort(names.begin(), names.end());
  return names;
}

// Collects what the store writes to the log while the object lives.
class LogCapture {
 public:
  LogCapture() : file(open_memstream(&buffer, &size)) {
    Log::SetOutput(file);
    Log::ActivatePackage(DEBUG_Updater);
  }
  ~LogCapture() {
    Log::DeactivatePackage(DEBUG_Updater);
    Log::SetOutput(nullptr);
    std::fclose(file);
    std::free(buffer);
  }
  std::string Text() {
    std::fflush(file);
    return std::string(buffer, size);
  }

 private:
  char* buffer = nullptr;
  size_t size = 0;
  FILE* file;
};

TEST(UpdaterStoreLayout, ConstructorCreatesMissingLevelsWithMode0755) {
  TempDir dir;
  std::string base = dir / "root/.tessaron/updater";
  UpdaterStore store(base.c_str());
  EXPECT_STREQ(base.c_str(), store.BasePath());
  EXPECT_TRUE(IsDirectory(base));
  EXPECT_EQ(0755, PermissionBits(base));
  EXPECT_EQ(0755, PermissionBits(dir / "root"));
  UpdaterStore again(base.c_str());
  EXPECT_TRUE(DirectoryNames(base).empty()) << "opening the store writes nothing into it";
}

TEST(UpdaterStoreLayout, FileInTheWayAndUncreatableDirectoryAreExceptions) {
  TempDir dir;
  WriteTextFile(dir / "plain", "x");
  EXPECT_EQ("UpdaterStore: " + (dir / "plain") + " exists and is a file", ConstructionError(dir / "plain"));
  EXPECT_EQ("UpdaterStore: Could not create directory " + (dir / "plain/updater") + " error " +
                std::to_string(aErrPermission),
            ConstructionError(dir / "plain/updater"));
  EXPECT_TRUE(IsRegularFile(dir / "plain"));
  EXPECT_EQ("UpdaterStore: no base directory given", ConstructionError(""));
}

TEST(UpdaterStoreLayout, AddDeviceCreatesTheSerialDirectoryWithFreshSettings) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem item = store.AddDevice(0x1A2Bu);
  EXPECT_EQ(dir.path(), item.BasePath());
  EXPECT_EQ("00001A2B", item.Name());
  EXPECT_EQ(STORE_ITEM_DIRECTORY, item.Kind());
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(0755, PermissionBits(dir / "00001A2B"));
  EXPECT_EQ(std::vector<std::string>{".settings"}, DirectoryNames(dir / "00001A2B"));
  std::string settings = ReadTextFile(dir / "00001A2B/.settings");
  EXPECT_EQ("CREATED_TIME=" + SettingsLineValue(settings, "CREATED_TIME") + "\nUPDATED_TIME=" +
                SettingsLineValue(settings, "UPDATED_TIME") + "\n",
            settings);
  EXPECT_TRUE(LooksLikeTimeText(SettingsLineValue(settings, "CREATED_TIME")));
  EXPECT_NE(nullptr, item.Settings()[KeyValueStore::KEY_CREATED_TIME]);

  item.Settings().Add("LATEST_DOWNLOAD", "1234.bird");
  ASSERT_EQ(aErrNone, item.Settings().Save());
  UpdaterStoreItem reopened = store.AddDevice(0x1A2Bu);
  EXPECT_EQ(1234, reopened.Settings().GetInt("LATEST_DOWNLOAD", 0)) << "existing settings are kept";
  EXPECT_EQ("FFFFFFFF", store.AddDevice(0xFFFFFFFFu).Name());
}

TEST(UpdaterStoreLayout, AddDeviceRefusesFilesInTheWayAndNamesThatLeaveTheStore) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  WriteTextFile(dir / "00000001", "not a directory");
  try {
    store.AddDevice(1u);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: " + (dir / "00000001") + " exists and is a file", std::string(e.what()));
  }
  for (const char* name : {"", "..", "../escape", "a/b"}) EXPECT_THROW(store.AddDevice(name), std::runtime_error) << name;
  EXPECT_THROW(store.AddDevice(static_cast<const char*>(nullptr)), std::runtime_error);
  EXPECT_EQ(std::vector<std::string>{"00000001"}, DirectoryNames(dir.path()));
}

TEST(UpdaterStoreLayout, ReadOnlyDirectoriesRefuseNewEntries) {
  TempDir dir;
  if (!CanDropPrivileges()) GTEST_SKIP() << "running as root without a way to drop privileges; skipped";
  chmod(dir.path().c_str(), 0755);
  std::string base = dir / "updater";
  UpdaterStore(base.c_str()).AddDevice(7u);
  chmod(base.c_str(), 0555);
  chmod((base + "/00000007").c_str(), 0555);
  std::string result = RunInChild(
      [&] {
        std::string seen;
        UpdaterStore store(base.c_str());
        try {
          store.AddDevice(8u);
        } catch (const std::runtime_error& e) {
          seen += std::string(e.what()) + "\n";
        }
        UpdaterStoreItem device;
        store.FindDevice(7u, &device);
        const unsigned char data[] = {1, 2, 3};
        seen += std::to_string(device.WriteFile("1.bird", data, sizeof data)) + "\n";
        seen += std::to_string(device.Settings().Save()) + "\n";
        return seen;
      },
      true);
  chmod(base.c_str(), 0755);
  chmod((base + "/00000007").c_str(), 0755);
  EXPECT_EQ("UpdaterStore: Could not create directory " + base + "/00000008 error " + std::to_string(aErrPermission) +
                "\n" + std::to_string(aErrNotFound) + "\n" + std::to_string(aErrPermission) + "\n",
            result);
  EXPECT_EQ(std::vector<std::string>{"00000007"}, DirectoryNames(base));
  EXPECT_EQ(std::vector<std::string>{".settings"}, DirectoryNames(base + "/00000007"));
}

TEST(UpdaterStoreFind, EmptyStoreFindsNothingAndLeavesTheItemAlone) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x1A2Bu, &item));
  EXPECT_EQ(STORE_ITEM_NONE, item.Kind());
  EXPECT_FALSE(item.IsValid());
  EXPECT_FALSE(store.FindDevice(".", &item));
  EXPECT_FALSE(store.FindDevice("..", &item));
  EXPECT_FALSE(store.FindDevice(static_cast<const char*>(nullptr), &item));
  EXPECT_EQ(STORE_ITEM_NONE, item.Kind());
}

TEST(UpdaterStoreFind, FoundDeviceComesWithItsSettings) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem added = store.AddDevice(0x40F5849Au);
  added.Settings().Add("LATEST_TRANSFER", "77.bird");
  ASSERT_EQ(aErrNone, added.Settings().Save());
  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x40F5849Au, &found));
  EXPECT_EQ(dir.path(), found.BasePath());
  EXPECT_EQ("40F5849A", found.Name());
  EXPECT_EQ(STORE_ITEM_DIRECTORY, found.Kind());
  EXPECT_EQ(77, found.Settings().GetInt("LATEST_TRANSFER", 0));
  EXPECT_TRUE(store.FindDevice(0x40F5849Au, nullptr));
}

TEST(UpdaterStoreFind, MatchesTheEntryNameNotTextElsewhereInThePath) {
  TempDir dir;
  // The store's own path contains the searched serial; another device's name contains it too.
  std::string base = dir / "backup-00001A2B/updater";
  UpdaterStore store(base.c_str());
  store.AddDevice("100001A2B");
  store.AddDevice(0xFFFFu);
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x1A2Bu, &item));
  EXPECT_FALSE(store.FindDevice("0000", &item));
  EXPECT_TRUE(store.FindDevice(0xFFFFu, &item));
  EXPECT_EQ("0000FFFF", item.Name());

  UpdaterStoreItem device = store.AddDevice(0x1u);
  const unsigned char byte = 0;
  ASSERT_EQ(aErrNone, device.WriteFile("1123.bird", &byte, 1));
  EXPECT_FALSE(device.FileExists("123.bird"));
  EXPECT_TRUE(device.FileExists("1123.bird"));
  EXPECT_TRUE(device.FileExists(".settings"));
  EXPECT_FALSE(device.FileExists(".."));
  EXPECT_FALSE(UpdaterStoreItem().FileExists("1123.bird"));
}

TEST(UpdaterStoreFind, LocalBuildsListEveryVisibleEntryOnly) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0xABCDu);
  const unsigned char data[] = {'b', 'i', 'r', 'd'};
  ASSERT_EQ(aErrNone, device.WriteFile("1234.bird", data, sizeof data));
  ASSERT_EQ(aErrNone, device.WriteFile("987.bird", data, sizeof data));
  WriteTextFile(dir / "0000ABCD/.1234.bird.tmp99-0", "unfinished");

  std::vector<UpdaterStoreItem> items(1);  // results are appended
  EXPECT_TRUE(store.FindLocalBuilds(0xABCDu, items));
  ASSERT_EQ(3u, items.size());
  items.erase(items.begin());
  EXPECT_EQ((std::vector<std::string>{"1234.bird", "987.bird"}), SortedNames(items));
  for (const UpdaterStoreItem& item : items) {
    EXPECT_EQ(dir / "0000ABCD", item.BasePath());
    EXPECT_EQ(STORE_ITEM_FILE, item.Kind());
    EXPECT_TRUE(IsRegularFile(item.Path()));
  }
  EXPECT_EQ((std::vector<std::string>{".1234.bird.tmp99-0", ".settings", "1234.bird", "987.bird"}),
            DirectoryNames(dir / "0000ABCD"))
      << "listing writes nothing into the store";

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x5u, none));
  EXPECT_TRUE(none.empty());
}

TEST(UpdaterStoreWrite, WriteFileReplacesTheWholeFile) {
  TempDir dir;
  UpdaterStoreItem device = UpdaterStore(dir.path().c_str()).AddDevice(2u);
  std::string long_data(5000, 'L');
  ASSERT_EQ(aErrNone, device.WriteFile("5.bird", reinterpret_cast<const unsigned char*>(long_data.data()),
                                       static_cast<unsigned int>(long_data.size())));
  const unsigned char shorter[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(aErrNone, device.WriteFile("5.bird", shorter, sizeof shorter));
  EXPECT_EQ(std::string("\x00\x01\x02\xFF", 4), ReadTextFile(dir / "00000002/5.bird"));
  ASSERT_EQ(aErrNone, device.WriteFile("empty.bird", shorter, 0));
  EXPECT_TRUE(IsRegularFile(dir / "00000002/empty.bird"));
}

TEST(UpdaterStoreWrite, BadArgumentsWriteNothing) {
  TempDir dir;
  UpdaterStoreItem device = UpdaterStore(dir.path().c_str()).AddDevice(3u);
  const unsigned char data[] = {1};
  EXPECT_EQ(aErrNotFound, device.WriteFile("6.bird", nullptr, 10));
  for (const char* name : {"", ".", "..", "../6.bird", "sub/6.bird"})
    EXPECT_EQ(aErrParam, device.WriteFile(name, data, 1)) << name;
  EXPECT_EQ(aErrParam, device.WriteFile(nullptr, data, 1));
  EXPECT_EQ(aErrNotFound, UpdaterStoreItem().WriteFile("6.bird", data, 1));
  EXPECT_EQ(std::vector<std::string>{"00000003"}, DirectoryNames(dir.path()));
  EXPECT_EQ(std::vector<std::string>{".settings"}, DirectoryNames(dir / "00000003"));

  UpdaterStoreItem gone(dir.path().c_str(), "00000004", STORE_ITEM_DIRECTORY);  // directory never made
  EXPECT_EQ(aErrNotFound, gone.WriteFile("6.bird", data, 1));
}

// Stands in for a full disk: the child may not grow any file beyond a few bytes.
TEST(UpdaterStoreWrite, FailedWriteKeepsThePreviousFile) {
  TempDir dir;
  UpdaterStoreItem device = UpdaterStore(dir.path().c_str()).AddDevice(4u);
  const unsigned char old[] = {'o', 'l', 'd'};
  ASSERT_EQ(aErrNone, device.WriteFile("8.bird", old, sizeof old));
  std::string result = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<unsigned char> big(4096, 0xAB);
    return std::to_string(device.WriteFile("8.bird", big.data(), static_cast<unsigned int>(big.size())));
  });
  EXPECT_EQ(std::to_string(aErrIO), result);
  EXPECT_EQ("old", ReadTextFile(dir / "00000004/8.bird"));
  EXPECT_EQ((std::vector<std::string>{".settings", "8.bird"}), DirectoryNames(dir / "00000004"));
}

std::string BirdReadError(const UpdaterStoreItem& item, const char* file) {
  try {
    item.ReadBirdFile(file);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

aErr StoreBytes(UpdaterStoreItem& item, const char* file, const std::vector<uint8_t>& bytes) {
  return item.WriteFile(file, bytes.data(), static_cast<unsigned int>(bytes.size()));
}

TEST(UpdaterStoreBird, StoredBuildReadsBack) {
  TempDir dir;
  UpdaterStoreItem device = UpdaterStore(dir.path().c_str()).AddDevice(0x1A2Bu);
  BirdWriter writer;
  writer.AddInfo({1234, "2.15.3", 0x1A2B, "AF-USBHub2x4"}).AddFirmware(0x8000000, std::vector<uint8_t>(3000, 0x5A));
  ASSERT_EQ(aErrNone, StoreBytes(device, "1234.bird", writer.FileBytes()));
  BirdFile bird = device.ReadBirdFile("1234.bird");
  EXPECT_EQ(dir / "00001A2B/1234.bird", bird.path);
  EXPECT_EQ(1234u, bird.GetBuild());
  ASSERT_EQ(1u, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size());
  EXPECT_EQ(3004u, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].length);
}

TEST(UpdaterStoreBird, UnusableFilesAreExceptions) {
  TempDir dir;
  UpdaterStoreItem device = UpdaterStore(dir.path().c_str()).AddDevice(0x1A2Bu);
  std::string folder = dir / "00001A2B/";
  std::vector<uint8_t> bytes = BirdWriter().AddFirmware(0, {1, 2, 3, 4}).FileBytes();
  bytes[0] = 'B';
  ASSERT_EQ(aErrNone, StoreBytes(device, "1.bird", bytes));
  EXPECT_EQ("Invalid bird " + folder + "1.bird", BirdReadError(device, "1.bird"));
  EXPECT_EQ("Invalid bird " + folder + "2.bird", BirdReadError(device, "2.bird"));
  EXPECT_EQ("Invalid bird " + folder + "../00001A2B/2.bird", BirdReadError(device, "../00001A2B/2.bird"));

  std::vector<uint8_t> truncated = BirdWriter().AddFirmware(0, std::vector<uint8_t>(500, 7)).FileBytes();
  truncated.resize(truncated.size() / 2);  // signature intact, zlib stream cut short
  ASSERT_EQ(aErrNone, StoreBytes(device, "3.bird", truncated));
  EXPECT_EQ("Failed to load bird data", BirdReadError(device, "3.bird"));

  // An item of no device must not look for the file at the root of the file system.
  EXPECT_EQ("Invalid bird //3.bird", BirdReadError(UpdaterStoreItem(), "3.bird"));
}

TEST(UpdaterStoreLog, DirectoryAndSearchLinesUseTheStorePackage) {
  TempDir dir;
  LogCapture capture;
  std::string base = dir / "updater";
  UpdaterStore store(base.c_str());
  UpdaterStore again(base.c_str());
  store.AddDevice(0x10u);
  store.FindDevice(0x10u, nullptr);
  store.FindDevice(0x11u, nullptr);
  std::string text = capture.Text();
  EXPECT_NE(std::string::npos, text.find("UpdaterStore: Created directory [" + base + "].\n"));
  EXPECT_NE(std::string::npos, text.find("UpdaterStore: [" + base + "] already exists.\n"));
  EXPECT_NE(std::string::npos, text.find("_find_item([" + base + "/00000010], 1, "));
  EXPECT_NE(std::string::npos, text.find(" searching for 00000010\n"));
  EXPECT_NE(std::string::npos, text.find("UpdaterStore: FindDevice Found 00000010.\n"));
  EXPECT_NE(std::string::npos, text.find("UpdaterStore: FindDevice Not Found 00000011.\n"));
}

}  // namespace
