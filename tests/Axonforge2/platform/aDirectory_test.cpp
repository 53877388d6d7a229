#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "FileInspection.h"
#include "TempDir.h"
#include "aDirectory.h"

namespace {

// Restores the process umask when a test changed it.
struct ScopedUmask {
  explicit ScopedUmask(mode_t mask) : old(umask(mask)) {}
  ~ScopedUmask() { umask(old); }
  mode_t old;
};

TEST(BuildPath, JoinsEveryPartWithOneSeparatorAndElidesNothing) {
  EXPECT_EQ(BuildPath("/a", "b", "c", nullptr), "/a/b/c");
  EXPECT_EQ(BuildPath("/a/", "b", nullptr), "/a//b");
  EXPECT_EQ(BuildPath("home", nullptr), "home");
  EXPECT_EQ(BuildPath("", "x", nullptr), "/x");
}

TEST(aDirectoryBuildPath, InsertsSeparatorsOnlyWhereMissing) {
  char dst[64];
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof dst, "/a", "b", "c", nullptr), aErrNone);
  EXPECT_STREQ(dst, "/a/b/c");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof dst, "/a/", "/b/", "c", nullptr), aErrNone);
  EXPECT_STREQ(dst, "/a//b/c");  // both sides had one: nothing inserted, nothing removed
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof dst, "/a/", "b", nullptr), aErrNone);
  EXPECT_STREQ(dst, "/a/b");
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof dst, "dir", "/file"), aErrNone);
  EXPECT_STREQ(dst, "dir/file");
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof dst, "", "file"), aErrNone);
  EXPECT_STREQ(dst, "file");  // an empty start does not turn a relative path into an absolute one
}

TEST(aDirectoryBuildPath, LimitsPartsAndRejectsAliasedOrMissingBuffers) {
  char dst[128];
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof dst, "r", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
            aErrNone);
  EXPECT_STREQ(dst, "r/1/2/3/4/5/6/7/8/9/10");
  EXPECT_EQ(
      aDirectory_BuildPath(dst, sizeof dst, "r", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", nullptr),
      aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", "b", nullptr), aErrParam);
  strcpy(dst, "base");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof dst, dst, "b", nullptr), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof dst, "a", dst + 2), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof dst, "a", nullptr), aErrParam);
}

TEST(aDirectoryBuildPath, ReportsOverrunWithoutWritingPastTheBuffer) {
  char guard[16];
  memset(guard, 'G', sizeof guard);
  char* dst = guard + 4;  // 8 usable bytes, guards on both sides
  EXPECT_EQ(aDirectory_JoinPath(dst, 8, "abc", "def"), aErrNone);  // "abc/def" + null fills exactly 8
  EXPECT_STREQ(dst, "abc/def");
  EXPECT_EQ(aDirectory_JoinPath(dst, 8, "abc", "defg"), aErrOverrun);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(aDirectory_JoinPath(dst, 0, "a", "b"), aErrOverrun);
  for (int i : {0, 1, 2, 3, 12, 13, 14, 15}) EXPECT_EQ(guard[i], 'G') << i;
}

TEST(aDirectoryEnsure, CreatesEveryMissingLevelWithTheExactModeAndAcceptsExisting) {
  TempDir tmp;
  ScopedUmask strict(077);  // the requested mode wins over the umask
  std::string deep = tmp / "a/b/c";
  EXPECT_FALSE(aDirectory_Exists(deep.c_str()));
  ASSERT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
  for (const char* level : {"a", "a/b", "a/b/c"}) EXPECT_EQ(PermissionBits(tmp / level), 0755) << level;
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_EQ(aDirectory_Ensure((deep + "/").c_str(), 0700), aErrNone);
  EXPECT_EQ(PermissionBits(deep), 0755);  // an existing directory keeps its mode
}

TEST(aDirectoryEnsure, FailsWhenAFileStandsInTheWay) {
  TempDir tmp;
  WriteTextFile(tmp / "file", "x");
  EXPECT_EQ(aDirectory_Ensure((tmp / "file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure((tmp / "file/sub").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

struct Listing {
  std::map<std::string, std::pair<uint32_t, bool>> entries;  // path -> size, is-directory
  size_t stopAfter = 1000;
};

bool Collect(const aDirectoryListData* entry, void* context) {
  Listing* listing = static_cast<Listing*>(context);
  listing->entries[entry->path] = {entry->size, entry->isDirectory};
  return listing->entries.size() < listing->stopAfter;
}

TEST(aDirectoryList, ReportsEveryEntryWithPathSizeAndKind) {
  TempDir tmp;
  WriteTextFile(tmp / "five", "12345");
  ASSERT_EQ(aDirectory_Ensure((tmp / "sub").c_str(), 0755), aErrNone);
  Listing listing;
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &listing), aErrNone);
  ASSERT_EQ(listing.entries.size(), 4u);  // ".", "..", "five", "sub"
  EXPECT_EQ(listing.entries[tmp / "five"], std::make_pair(5u, false));
  EXPECT_TRUE(listing.entries[tmp / "sub"].second);
  EXPECT_TRUE(listing.entries.count(tmp / "."));
  EXPECT_TRUE(listing.entries.count(tmp / ".."));

  Listing trailing;  // a listed path with a trailing separator does not double it
  ASSERT_EQ(aDirectory_List((tmp.path() + "/").c_str(), Collect, &trailing), aErrNone);
  EXPECT_TRUE(trailing.entries.count(tmp / "five"));
}

TEST(aDirectoryList, StopsWhenTheCallbackSaysSoAndReportsMissingDirectories) {
  TempDir tmp;
  for (const char* name : {"1", "2", "3", "4"}) WriteTextFile(tmp / name, "");
  Listing listing;
  listing.stopAfter = 2;
  ASSERT_EQ(aDirectory_List(tmp.path().c_str(), Collect, &listing), aErrNone);
  EXPECT_EQ(listing.entries.size(), 2u);
  EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), Collect, &listing), aErrNotFound);
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), nullptr, &listing), aErrParam);
}

TEST(aDirectoryDelete, RemovesOnlyEmptyDirectories) {
  TempDir tmp;
  std::string dir = tmp / "d";
  ASSERT_EQ(aDirectory_Ensure(dir.c_str(), 0755), aErrNone);
  WriteTextFile(dir + "/f", "x");
  EXPECT_EQ(aDirectory_Delete(dir.c_str()), aErrUnknown);
  EXPECT_TRUE(aDirectory_Exists(dir.c_str()));
  ASSERT_EQ(unlink((dir + "/f").c_str()), 0);
  EXPECT_EQ(aDirectory_Delete(dir.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(dir.c_str()));
}

TEST(aDirectoryDeleteTree, RemovesNestedContentButNeverFollowsLinks) {
  TempDir tmp;
  std::string tree = tmp / "tree";
  std::string outside = tmp / "outside";
  ASSERT_EQ(aDirectory_Ensure((tree + "/x/y").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure(outside.c_str(), 0755), aErrNone);
  WriteTextFile(tree + "/x/y/deep", "1");
  WriteTextFile(tree + "/top", "2");
  WriteTextFile(outside + "/keep", "3");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/x/link").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(tree.c_str()));
  EXPECT_EQ(ReadTextFile(outside + "/keep"), "3");
  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNotFound);
}

TEST(aDirectoryProcess, CurrentDirectoryExecutableAndHome) {
  char buffer[aDIR_MAX_PATH + 1];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  char expected[aDIR_MAX_PATH + 1];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(aDirectory_CWD(buffer, 1), aErrParam);

  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  std::string exe = buffer;
  EXPECT_EQ(exe.substr(exe.rfind('/') + 1), "test_Axonforge2_platform");
  char small[6];
  EXPECT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrOverrun);
  EXPECT_EQ(std::string(small), exe.substr(0, 5));

  ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_STREQ(buffer, pw->pw_dir);
  EXPECT_EQ(aDirectory_GetHomeDirectory(small, 1), aErrOverrun);
  EXPECT_STREQ(small, "");
}

}  // namespace
