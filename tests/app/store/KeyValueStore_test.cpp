#include "KeyValueStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>


#include "ChildProcess.h"
#include "FileInspection.h"
#include "TempDir.h"
#include "TimeText.h"

namespace {

// Loads `contents` written to a scratch file.
KeyValueStore LoadText(const TempDir& dir, const std::string& contents) {
  WriteTextFile(dir / "settings", contents);
  KeyValueStore store;
  EXPECT_EQ(aErrNone, store.Load((dir / "settings").c_str()));
  return store;
}

TEST(KeyValueStoreSyntax, WhitespaceCommentsAndEqualsSignsInValues) {
  TempDir dir;
  KeyValueStore store = LoadText(dir,
                                 "   BUILD =   12345   \n"
                                 "#COMMENT=1\n"
                                 "x\n"
                                 "URL=a=b\n"
                                 "\tNAME\t=\tinner  spaces kept\t\r\n"
                                 "EMPTY=\n"
                                 "  # not a comment = after blanks\n");
  EXPECT_STREQ("12345", store["BUILD"]);
  EXPECT_STREQ("a=b", store["URL"]);
  EXPECT_STREQ("inner  spaces kept", store["NAME"]);
  EXPECT_STREQ("", store["EMPTY"]);
  EXPECT_EQ(nullptr, store["#COMMENT"]);
  EXPECT_EQ(nullptr, store["x"]);
  // Only a number sign in the very first column makes a comment.
  EXPECT_STREQ("after blanks", store["# not a comment"]);
  EXPECT_EQ(5u, store.Count());
  EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStoreSyntax, LaterLinesReplaceEarlierOnesAndLinesWithoutEqualsAreSkipped) {
  TempDir dir;
  KeyValueStore store = LoadText(dir, "A=1\nJUST SOME TEXT\nA=2\nB=3");
  EXPECT_STREQ("2", store["A"]);
  EXPECT_STREQ("3", store["B"]) << "a last line without newline still counts";
  EXPECT_EQ(nullptr, store["JUST SOME TEXT"]);
  EXPECT_EQ(2u, store.Count());
}

TEST(KeyValueStoreSyntax, TooLongLineEndsReadingButKeepsEarlierEntries) {
  TempDir dir;
  std::string longest(2046, 'v');  // with its newline this still fits the line buffer
  longest.replace(0, 5, "FITS=");
  std::string tooLong(2047, 'w');
  tooLong.replace(0, 5, "LONG=");
  KeyValueStore store = LoadText(dir, "BEFORE=1\n" + longest + "\n" + tooLong + "\nAFTER=2\n");
  EXPECT_STREQ("1", store["BEFORE"]);
  ASSERT_NE(nullptr, store["FITS"]);
  EXPECT_EQ(2041u, std::string(store["FITS"]).size());
  EXPECT_EQ(nullptr, store["LONG"]);
  EXPECT_EQ(nullptr, store["AFTER"]);
}

TEST(KeyValueStoreSyntax, NulByteInsideALineIsNotReadPast) {
  TempDir dir;
  KeyValueStore store = LoadText(dir, std::string("A=x\0y\nB=2\n", 10));
  EXPECT_STREQ("2", store["B"]);
  ASSERT_NE(nullptr, store["A"]);
  EXPECT_EQ('x', store["A"][0]);
}

TEST(KeyValueStoreSyntax, SaveWritesSortedPlainLinesThatReadBackTheSame) {
  TempDir dir;
  KeyValueStore store;
  store.Add("ZETA", "last");
  store.Add("ALPHA", "a = b  c");
  store.Add("MIDDLE", "two\nlines");  // a line break would split the entry
  ASSERT_EQ(aErrNone, store.Save((dir / "s").c_str()));
  std::string text = ReadTextFile(dir / "s");
  std::string stamp = SettingsLineValue(text, "UPDATED_TIME");
  EXPECT_TRUE(LooksLikeTimeText(stamp)) << stamp;
  EXPECT_EQ("ALPHA=a = b  c\nMIDDLE=two lines\nUPDATED_TIME=" + stamp + "\nZETA=last\n", text);

  KeyValueStore reloaded((dir / "s").c_str());
  EXPECT_STREQ("a = b  c", reloaded["ALPHA"]);
  EXPECT_STREQ("two lines", reloaded["MIDDLE"]);
  EXPECT_EQ(4u, reloaded.Count());
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithBothTimeStamps) {
  TempDir dir;
  KeyValueStore store((dir / ".settings").c_str());
  std::string text = ReadTextFile(dir / ".settings");
  std::string created = SettingsLineValue(text, "CREATED_TIME");
  std::string updated = SettingsLineValue(text, "UPDATED_TIME");
  EXPECT_EQ("CREATED_TIME=" + created + "\nUPDATED_TIME=" + updated + "\n", text);
  EXPECT_TRUE(LooksLikeTimeText(created)) << created;
  EXPECT_TRUE(LooksLikeTimeText(updated)) << updated;
  EXPECT_EQ(dir / ".settings", store.FileName());
  EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStoreLoad, UnreadableFileIsReportedAndNeverOverwritten) {
  TempDir dir;
  if (!CanDropPrivileges()) GTEST_SKIP() << "cannot run a child without root's privileges here";
  std::string path = dir / "private";
  WriteTextFile(path, "SECRET=1\n");
  chmod(path.c_str(), 0600);
  chmod(dir.path().c_str(), 0777);  // writable directory: a careless Load could replace the file
  std::string result = RunInChild(
      [&] {
        KeyValueStore store;
        return std::to_string(store.Load(path.c_str())) + " " + std::to_string(store.Count());
      },
      true);
  EXPECT_EQ(std::to_string(aErrPermission) + " 0", result);
  EXPECT_EQ("SECRET=1\n", ReadTextFile(path));
}

TEST(KeyValueStoreLoad, DirectoryInsteadOfFileIsAnError) {
  TempDir dir;
  KeyValueStore store;
  EXPECT_NE(aErrNone, store.Load(dir.path().c_str()));
  EXPECT_TRUE(IsDirectory(dir.path()));
}

TEST(KeyValueStoreGetters, TypedGettersCreateAbsentKeysAsEmptyValues) {
  TempDir dir;
  KeyValueStore store;
  EXPECT_EQ(7, store.GetInt("BUILD", 7));
  EXPECT_STREQ("", store["BUILD"]);
  EXPECT_EQ(0xABu, store.GetHex("HEX", 0xAB));
  EXPECT_TRUE(store.GetBOOL("FLAG", true));
  EXPECT_DOUBLE_EQ(1.5, store.GetDouble("RATIO", 1.5));
  EXPECT_EQ(4u, store.Count());
  ASSERT_EQ(aErrNone, store.Save((dir / "s").c_str()));
  std::string text = ReadTextFile(dir / "s");
  EXPECT_NE(std::string::npos, text.find("BUILD=\n"));
  EXPECT_NE(std::string::npos, text.find("FLAG=\nHEX=\nRATIO=\n"));

  KeyValueStore reloaded((dir / "s").c_str());
  EXPECT_EQ(9, reloaded.GetInt("BUILD", 9)) << "an empty value reads as absent";
  EXPECT_FALSE(reloaded.GetBOOL("FLAG", false));
}

TEST(KeyValueStoreGetters, StringLookupsNeverCreateEntries) {
  KeyValueStore store;
  EXPECT_EQ("", store.GetString("NOPE", nullptr));
  EXPECT_EQ("fallback", store.GetString("NOPE", "fallback"));
  EXPECT_EQ(nullptr, store["NOPE"]);
  store.Add("EMPTY", "");
  EXPECT_EQ("", store.GetString("EMPTY", "fallback")) << "an existing empty value is returned as is";
  EXPECT_EQ(1u, store.Count());
}

TEST(KeyValueStoreGetters, NumbersConvertBothWays) {
  KeyValueStore store;
  store.AddHex("SERIAL", 0x8000000A);
  EXPECT_STREQ("0x8000000A", store["SERIAL"]);
  EXPECT_EQ(0x8000000Au, store.GetHex("SERIAL", 0));
  store.Add("PLAIN_HEX", "1a2b");
  EXPECT_EQ(0x1A2Bu, store.GetHex("PLAIN_HEX", 0));
  store.Add("COUNT", -42);
  EXPECT_STREQ("-42", store["COUNT"]);
  EXPECT_EQ(-42, store.GetInt("COUNT", 0));
  store.Add("RATIO", 2.5);
  EXPECT_STREQ("2.500000", store["RATIO"]);
  EXPECT_DOUBLE_EQ(2.5, store.GetDouble("RATIO", 0));
  store.Add("FILE", "1234.bird");
  EXPECT_EQ(1234, store.GetInt("FILE", 0)) << "leading digits count";
  store.Add("HUGE", "99999999999");
  EXPECT_EQ(INT32_MAX, store.GetInt("HUGE", 0));
}

TEST(KeyValueStoreGetters, NonNumericValuesGiveTheConversionResults) {
  KeyValueStore store;
  store.Add("WORD", "yes");
  store.Add("ZERO", "0");
  store.Add("TWO", "2");
  EXPECT_EQ(0, store.GetInt("WORD", 5));
  EXPECT_FALSE(store.GetBOOL("WORD", true));
  EXPECT_FALSE(store.GetBOOL("ZERO", true));
  EXPECT_TRUE(store.GetBOOL("TWO", false));
  EXPECT_DOUBLE_EQ(0.0, store.GetDouble("WORD", 3.0));
}

TEST(KeyValueStoreDirty, OnlyChangedTextMakesTheStoreDirty) {
  TempDir dir;
  KeyValueStore store((dir / "s").c_str());
  EXPECT_FALSE(store.IsDirty());
  store.Add("K", "v");
  EXPECT_TRUE(store.IsDirty());
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_FALSE(store.IsDirty());
  store.Add("K", "v");
  EXPECT_FALSE(store.IsDirty());
  store.Add("K", 1);
  EXPECT_TRUE(store.IsDirty());
}

TEST(KeyValueStoreDirty, UpdatedStampChangesOnlyWhenSomethingChanged) {
  TempDir dir;
  WriteTextFile(dir / "s", "UPDATED_TIME=long ago\nK=v\n");
  KeyValueStore store((dir / "s").c_str());
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_EQ("K=v\nUPDATED_TIME=long ago\n", ReadTextFile(dir / "s"));
  store.Add("K", "w");
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_TRUE(LooksLikeTimeText(store.GetString("UPDATED_TIME")));
}

TEST(KeyValueStoreDirty, MergeClearAndCopyCarryEverything) {
  TempDir dir;
  KeyValueStore first;
  first.Add("A", "1");
  first.Add("B", "2");
  KeyValueStore second;
  second.Add("B", "3");
  second.Add("C", "4");
  ASSERT_EQ(aErrNone, second.Save((dir / "second").c_str()));
  first.Add(second);
  EXPECT_STREQ("1", first["A"]);
  EXPECT_STREQ("3", first["B"]);
  EXPECT_STREQ("4", first["C"]);

  KeyValueStore copy(first);
  EXPECT_EQ(first.Count(), copy.Count());
  EXPECT_TRUE(copy.IsDirty());
  KeyValueStore assigned;
  assigned = second;
  EXPECT_EQ(dir / "second", assigned.FileName());
  EXPECT_FALSE(assigned.IsDirty());

  second.Clear();
  EXPECT_EQ(0u, second.Count());
  EXPECT_TRUE(second.IsDirty());
  EXPECT_STREQ("4", assigned["C"]) << "a copy is independent";
}

TEST(KeyValueStoreSave, WithoutAnyNameWritesDotSettingsInTheCurrentDirectory) {
  TempDir dir;
  char previous[4096];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  KeyValueStore store;
  store.Add("K", "v");
  aErr result = store.Save();
  ASSERT_EQ(0, chdir(previous));
  EXPECT_EQ(aErrNone, result);
  EXPECT_EQ(".settings", store.FileName());
  EXPECT_TRUE(IsRegularFile(dir / ".settings"));
}

TEST(KeyValueStoreSave, FailureKeepsEntriesAndDirtyState) {
  TempDir dir;
  KeyValueStore store;
  store.Add("K", "v");
  EXPECT_NE(aErrNone, store.Save((dir / "missing/s").c_str()));
  EXPECT_TRUE(store.IsDirty());
  EXPECT_STREQ("v", store["K"]);
  EXPECT_FALSE(IsDirectory(dir / "missing"));
}

TEST(KeyValueStoreSave, KeepsThePermissionBitsOfTheOldFile) {
  TempDir dir;
  WriteTextFile(dir / "s", "K=v\n");
  chmod((dir / "s").c_str(), 0640);
  KeyValueStore store((dir / "s").c_str());
  store.Add("K", "w");
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_EQ(0640, PermissionBits(dir / "s"));
}

TEST(KeyValueStoreSave, SymbolicLinksStayAndDevicesAreNeverReplaced) {
  TempDir dir;
  WriteTextFile(dir / "real", "K=v\n");
  ASSERT_EQ(0, symlink("real", (dir / "link").c_str()));
  KeyValueStore store((dir / "link").c_str());
  store.Add("K", "w");
  ASSERT_EQ(aErrNone, store.Save());
  char target[16] = "";
  EXPECT_EQ(4, readlink((dir / "link").c_str(), target, sizeof target));
  EXPECT_EQ("K=w\n", ReadTextFile(dir / "real").substr(0, 4));

  // A private null device: saving to it must write through it and leave it a device.
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node here (needs root)";
  EXPECT_EQ(aErrNone, store.Save((dir / "null").c_str()));
  struct stat info;
  ASSERT_EQ(0, stat((dir / "null").c_str(), &info));
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_EQ((std::vector<std::string>{"link", "null", "real"}), DirectoryNames(dir.path()));
}

// Stands in for a full disk: the child may not grow any file beyond a few bytes.
TEST(KeyValueStoreDurability, FailedWriteLeavesTheOldFileAndNoLeftovers) {
  TempDir dir;
  std::string path = dir / ".settings";
  WriteTextFile(path, "OLD=1\n");
  std::string result = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    KeyValueStore store(path.c_str());
    store.Add("NEW", std::string(1000, 'n'));
    aErr saved = store.Save();
    return std::to_string(saved) + (store.IsDirty() ? " dirty" : " clean");
  });
  EXPECT_EQ(std::to_string(aErrIO) + " dirty", result);
  EXPECT_EQ("OLD=1\n", ReadTextFile(path));
  EXPECT_EQ(std::vector<std::string>{".settings"}, DirectoryNames(dir.path()));
}

// Whole-file versions the killed child alternates between.
std::string VersionValue(int round) { return std::string(60, round % 2 ? 'B' : 'A') + std::to_string(round % 2); }

void SaveVersion(KeyValueStore& store, const std::string& path, int round) {
  for (int key = 0; key < 300; ++key) store.Add(("KEY" + std::to_string(key)).c_str(), VersionValue(round));
  store.Save(path.c_str());
}

TEST(KeyValueStoreDurability, KillDuringSaveLoopLeavesOneWholeVersion) {
  TempDir dir;
  std::string path = dir / ".settings";
  for (int attempt = 0; attempt < 20; ++attempt) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = StartChild([&] {
      KeyValueStore store;
      SaveVersion(store, path, 0);
      if (write(ready[1], "r", 1) != 1) _exit(2);
      for (int round = 1;; ++round) SaveVersion(store, path, round);
    });
    ASSERT_GT(child, 0);
    char signal_byte;
    ASSERT_EQ(1, read(ready[0], &signal_byte, 1));
    close(ready[0]);
    close(ready[1]);
    usleep(200 + 700 * attempt);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    std::string text = ReadTextFile(path);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ('\n', text.back()) << "truncated file after kill " << attempt;
    KeyValueStore loaded(path.c_str());
    ASSERT_EQ(301u, loaded.Count()) << "attempt " << attempt;
    std::string first = loaded.GetString("KEY0");
    EXPECT_TRUE(first == VersionValue(0) || first == VersionValue(1));
    for (int key = 1; key < 300; ++key)
      ASSERT_EQ(first, loaded.GetString(("KEY" + std::to_string(key)).c_str())) << "mixed versions";
  }
  // A killed save may leave its temporary file, but only under a hidden name.
  for (const std::string& name : DirectoryNames(dir.path())) EXPECT_EQ('.', name[0]) << name;
}

}  // namespace
