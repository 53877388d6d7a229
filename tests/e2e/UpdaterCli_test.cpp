#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProgram.h"
#include "FileInspection.h"
#include "RunProcess.h"
#include "TempDir.h"

namespace {

const char kUpdater[] = PROJECT_BINARY_DIR "/app/updater";
const char kShortUsageStart[] = "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n";

ProcessResult Updater(std::vector<std::string> args) {
  args.insert(args.begin(), kUpdater);
  return RunProcess(args);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// Version line and ownership notice: the start of every run that shows usage.
void ExpectBanner(const std::string& out) {
  EXPECT_EQ(out.rfind("Updater (Version: 2.11.2 ", 0), 0u) << out;
  EXPECT_EQ(Count(out, "\n"), 2u) << out;
  EXPECT_NE(out.find("\n(Copyright"), std::string::npos) << out;
}

TEST(UpdaterCli, NoArgumentsShowVersionNoticeAndShortUsage) {
  TempDir tmp;
  ProcessResult r = Updater({});
  EXPECT_EQ(r.exitCode, 0);
  ExpectBanner(r.out);
  EXPECT_EQ(r.err.rfind(kShortUsageStart, 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("Parameters to commands"), std::string::npos);
  // A parameter alone is no command: usage, and no directory is made.
  r = Updater({"-i", tmp.path()});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(IsDirectory(tmp / "updater"));
}

TEST(UpdaterCli, HelpShowsBlocksABAndDAndWithALogMaskAlsoC) {
  ProcessResult help = Updater({"-h"});
  EXPECT_EQ(help.exitCode, 0);
  ExpectBanner(help.out);
  EXPECT_EQ(help.err.rfind(kShortUsageStart, 0), 0u);
  EXPECT_NE(help.err.find("  Parameters to commands:\n"), std::string::npos);
  EXPECT_NE(help.err.find(" Sample usage:\n"), std::string::npos);
  EXPECT_EQ(help.err.find("  Extended Parameters:\n"), std::string::npos);

  ProcessResult extended = Updater({"-X", "1", "-h"});
  EXPECT_EQ(extended.exitCode, 0);
  EXPECT_NE(extended.err.find("  Extended Parameters:\n"), std::string::npos);
  EXPECT_GT(extended.err.size(), help.err.size());

  ProcessResult late = Updater({"--help", "-X", "1"});  // parsing stops at the help option
  EXPECT_EQ(late.err, help.err);
}

TEST(UpdaterCli, InvalidSerialNumberFailsBeforeAnyDirectoryIsMade) {
  TempDir tmp;
  ProcessResult r = Updater({"-i", tmp.path(), "-d", "40F5849G", "-D"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind(std::string("Invalid serial number obtained from argument [40F5849G]\n") + kShortUsageStart, 0),
            0u)
      << r.err;
  ExpectBanner(r.out);
  EXPECT_FALSE(IsDirectory(tmp / "updater"));
}

TEST(UpdaterCli, CheckCreatesTheStorageDirectoryWithMode0755) {
  TempDir tmp;
  std::string root = tmp / "deep/er";
  ProcessResult r = Updater({"-i", root, "-C"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(IsDirectory(root + "/updater"));
  EXPECT_EQ(PermissionBits(root + "/updater"), 0755);
  EXPECT_EQ(Count(r.out, "\n"), 1u) << r.out;  // the version line only
  EXPECT_EQ(r.out.rfind("Updater (Version: ", 0), 0u);
  EXPECT_EQ(r.err, "");
  // Running again on the existing directory is just as fine.
  EXPECT_EQ(Updater({"-i", root, "-C"}).exitCode, 0);
}

TEST(UpdaterCli, StorageDirectoryThatCannotBeMadeFails) {
  TempDir tmp;
  std::string file = tmp / "file";
  WriteTextFile(file, "in the way");
  ProcessResult r = Updater({"-i", file, "-C"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");

  std::string tooLong = tmp / std::string(300, 'n');  // longer than a file name may be
  r = Updater({"-i", tooLong, "-I"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Could not find updater directory at " + tooLong + "/updater\n");
}

TEST(UpdaterCli, TransportNamesAreCheckedCaseSensitively) {
  TempDir tmp;
  ProcessResult r = Updater({"-i", tmp.path(), "-t", "tcp", "-D"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n", 0), 0u)
      << r.err;
  EXPECT_FALSE(IsDirectory(tmp / "updater"));
  // TCPX reads as TCP/IP and is accepted (shown with a command that talks to nobody).
  r = Updater({"-i", tmp.path(), "-t", "TCPX", "-C"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(UpdaterCli, LogLinesGoToStandardErrorUnderTheirPackage) {
  TempDir tmp;
  ProcessResult r = Updater({"-X", "0x10001", "-i", tmp.path(), "-d", "0x40F5849A", "-C"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err,
            "Discarding '0x' serial number prefix\n"
            "\nApplication parameters:[updater]\n"
            "\t[" + std::string(kUpdater) + "]\n\t[-X]\n\t[0x10001]\n\t[-i]\n\t[" + tmp.path() +
                "]\n\t[-d]\n\t[0x40F5849A]\n\t[-C]\n");
}

// Without -i the store lives in the home directory from the password database. A private mount
// namespace lays a temporary directory over that home, so the machine's own is never touched.
TEST(UpdaterCli, DefaultStorageIsTessaronUpdaterInTheHomeDirectory) {
  if (RunProcess({"/usr/bin/unshare", "-m", "/bin/true"}).exitCode != 0)
    GTEST_SKIP() << "cannot create a private mount namespace here (needs root or user namespaces)";
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  TempDir fakeHome;
  std::string script = "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\" -C";
  std::vector<std::string> command = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script,
                                      "sh", fakeHome.path(), pw->pw_dir};
  for (const std::string& word : ChildCommand({kUpdater})) command.push_back(word);
  ProcessResult r = RunProcess(command);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(IsDirectory(fakeHome / ".tessaron/updater"));
  EXPECT_EQ(PermissionBits(fakeHome / ".tessaron/updater"), 0755);
}

// A mistake on the command line fails it before anything runs: the error, the banner and the short
// usage, exit 1, and no storage directory is made. Inside a private network namespace, so that a
// regression that ran the update anyway could not look for the device on the network.
TEST(UpdaterCli, MistakesOnTheCommandLineFailBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const std::vector<Case> cases = {
      {{"--hepl"}, "Unrecognised option: --hepl\n"},
      {{"-D", "-Q"}, "Unrecognised option: -Q\n"},
      {{"-U", "-d", "40F5849A", "-build", "1200"}, "Unrecognised option: -build\n"},
      {{"-U", "-d", "40F5849A", "-f"}, "Option -f needs a value\n"},
      {{"-D=1"}, "Unrecognised option: -D=1\n"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    std::vector<std::string> args = {kUpdater, "-i", tmp / "store", "-u", "http://127.0.0.1:9/cgi/u"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args = ChildCommand(args);
    args.insert(args.begin(), PROJECT_SOURCE_DIR "/tests/support/netns-run");
    ProcessResult r = RunProcess(args);
    if (r.exitCode == 77) GTEST_SKIP() << "network namespaces are not available here";
    EXPECT_EQ(r.exitCode, 1) << c.error;
    EXPECT_EQ(r.err.rfind(std::string(c.error) + kShortUsageStart, 0), 0u) << r.err;
    ExpectBanner(r.out);
    EXPECT_FALSE(IsDirectory(tmp / "store")) << c.error;
  }
}

}  // namespace
