#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Log.h"
#include "LogCapture.h"
#include "RecordingDisplay.h"

namespace {

using namespace frontend;

class CommandLine : public ::testing::Test {
 protected:
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }

  // Parses "updater" followed by args.
  int Parse(std::vector<const char*> args, const char* argv0 = "updater") {
    args.insert(args.begin(), argv0);
    return _get_params(display, static_cast<int>(args.size()), args.data(), p);
  }

  std::string LogText() { return logCapture.Text(); }

  LogCapture logCapture{0};  // the log goes to a file; the options choose the packages
  RecordingDisplay display;
  Parameters p;
};

TEST_F(CommandLine, DefaultsBeforeAnyOption) {
  ASSERT_EQ(Parse({}, "/usr/local/bin/updater"), 0);
  EXPECT_EQ(p.programName, "updater");
  EXPECT_FALSE(p.commands.IsSet(0xFFFFFFFF));
  EXPECT_EQ(p.serialNumber, 0u);
  EXPECT_EQ(p.routerSerial, 0u);
  EXPECT_EQ(p.transport, 1u);
  EXPECT_FALSE(p.transportGiven);
  EXPECT_EQ(p.baudRate, 115200u);
  EXPECT_TRUE(p.ueiBytesLoad);
  EXPECT_EQ(p.serverUrl, "http://updates.axonforge.invalid/cgi/u");
  EXPECT_EQ(p.logMode, "a+");
  EXPECT_EQ(p.logFile, "Updater.log");
  EXPECT_TRUE(p.storageDir.empty());
  EXPECT_TRUE(p.build.empty());
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(p.homeDir, pw->pw_dir);
  EXPECT_TRUE(display.Messages().empty());

  ASSERT_EQ(Parse({}, "C:\\tools\\Updater.exe"), 0);
  EXPECT_EQ(p.programName, "Updater.exe");
}

TEST_F(CommandLine, EveryOptionReachesItsField) {
  ASSERT_EQ(Parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-OVERRIDE", "-n", "-e", "-Z", "z",
                   "-i", "/store", "-b", "1234", "-d", "40F5849A", "-t", "TCPIP", "-f", "fw.bird", "-r", "D272031D",
                   "-s", "/dev/ttyS1", "-o", "9600", "-l", "note", "-k", "k.log", "-u", "http://127.0.0.1:9/u",
                   "-m", "0"}),
            0);
  for (uint32_t c : {CMD_LIST_BUILDS, CMD_LIST_LOCAL_BUILDS, CMD_DISCOVER, CMD_GET, CMD_INFO, CMD_UPDATE,
                     CMD_FINGERPRINT, CMD_CHECK, CMD_Z})
    EXPECT_TRUE(p.commands.IsSet(c)) << std::hex << c;
  EXPECT_FALSE(p.commands.IsSet(CMD_HELP));
  EXPECT_TRUE(p.overrideModel);
  EXPECT_TRUE(p.optionN);
  EXPECT_TRUE(p.echo);
  EXPECT_EQ(p.storageDir, "/store");
  EXPECT_EQ(p.build, "1234");
  EXPECT_EQ(p.serialNumber, 0x40F5849Au);
  EXPECT_EQ(p.transport, 2u);
  EXPECT_TRUE(p.transportGiven);
  EXPECT_EQ(p.birdFile, "fw.bird");
  EXPECT_EQ(p.routerSerial, 0xD272031Du);
  EXPECT_EQ(p.serialPort, "/dev/ttyS1");
  EXPECT_EQ(p.baudRate, 9600u);
  EXPECT_EQ(p.historyMessage, "note");
  EXPECT_EQ(p.logFile, "k.log");
  EXPECT_EQ(p.serverUrl, "http://127.0.0.1:9/u");
  EXPECT_FALSE(p.ueiBytesLoad);
  EXPECT_TRUE(display.Messages().empty());
}

TEST_F(CommandLine, PrefixesSelectOnlyUniqueEntriesWithEqualHyphens) {
  ASSERT_EQ(Parse({"-OVER"}), 0);
  EXPECT_TRUE(p.overrideModel);
  ASSERT_EQ(Parse({"-O"}), 0);
  EXPECT_TRUE(p.overrideModel);
  ASSERT_EQ(Parse({"--he"}), 0);
  EXPECT_TRUE(p.help);
  EXPECT_TRUE(display.Messages().empty());
  // "-" is a prefix of every single-hyphen entry, "---help" of none, "-he" is no entry's prefix.
  ASSERT_EQ(Parse({"-", "---help", "-he", "-OVERRIDEX", "-help"}), 1);
  EXPECT_FALSE(p.help);
  EXPECT_FALSE(p.overrideModel);
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{"Unrecognised option: -", "Unrecognised option: ---help",
                                                        "Unrecognised option: -he", "Unrecognised option: -OVERRIDEX",
                                                        "Unrecognised option: -help"}));
}

// A skipped option could make an update flash another build than the one asked for: every
// unrecognised, clumped or glued option and every missing value fails the command line.
// Arguments that are not options are still ignored.
TEST_F(CommandLine, UnrecognisedClumpedGluedOptionsAndMissingValuesFail) {
  ASSERT_EQ(Parse({"-DU", "-d40F5849A", "-Q", "stray", "-D", "-x", "-build", "1200", "-d"}), 1);
  EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(p.commands.IsSet(CMD_UPDATE));
  EXPECT_EQ(p.serialNumber, 0u);
  EXPECT_EQ(display.Errors(),
            (std::vector<std::string>{"Unrecognised option: -DU", "Unrecognised option: -d40F5849A",
                                      "Unrecognised option: -Q", "Unrecognised option: -x",
                                      "Unrecognised option: -build", "Option -d needs a value"}));
}

TEST_F(CommandLine, ValuesComeFromTheNextArgumentOrAnEqualsSuffix) {
  ASSERT_EQ(Parse({"-d=40F5849A", "-l=-starts with hyphen", "-f=a=b.bird", "-i="}), 0);
  EXPECT_EQ(p.serialNumber, 0x40F5849Au);
  EXPECT_EQ(p.historyMessage, "-starts with hyphen");
  EXPECT_EQ(p.birdFile, "a=b.bird");
  EXPECT_EQ(p.storageDir, "");

  EXPECT_TRUE(display.Messages().empty());

  // A next argument that begins with a hyphen is no value: the option fails and the argument is
  // read as an option of its own.
  ASSERT_EQ(Parse({"-f", "-D", "-s"}), 1);
  EXPECT_TRUE(p.birdFile.empty());
  EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
  EXPECT_TRUE(p.serialPort.empty());
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{"Option -f needs a value", "Option -s needs a value"}));

  // An option without a value rejects a suffix.
  RecordingDisplay suffixes;
  std::vector<const char*> args = {"updater", "-D=1", "-OVERRIDE=yes", "-h=1", "-Y=1"};
  ASSERT_EQ(_get_params(suffixes, static_cast<int>(args.size()), args.data(), p), 1);
  EXPECT_FALSE(p.commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(p.overrideModel);
  EXPECT_FALSE(p.help);
  EXPECT_EQ(suffixes.Errors(), (std::vector<std::string>{"Unrecognised option: -D=1", "Unrecognised option: -OVERRIDE=yes",
                                                         "Unrecognised option: -h=1", "Unrecognised option: -Y=1"}));
}

TEST_F(CommandLine, ServerUrlIsHostAndPortOrAUrlWithAScheme) {
  ASSERT_EQ(Parse({"-u", "127.0.0.1:8080"}), 0);
  EXPECT_EQ(p.serverUrl, "http://127.0.0.1:8080/cgi/u");
  ASSERT_EQ(Parse({"-u", "updates.example"}), 0);
  EXPECT_EQ(p.serverUrl, "http://updates.example/cgi/u");
  ASSERT_EQ(Parse({"-u", "https://updates.example:8443/other"}), 0);
  EXPECT_EQ(p.serverUrl, "https://updates.example:8443/other");
}

TEST_F(CommandLine, SerialNumbersAreHexWithOptionalPrefix) {
  ASSERT_EQ(Parse({"-d", "0x40f5849a"}), 0);
  EXPECT_EQ(p.serialNumber, 0x40F5849Au);
  ASSERT_EQ(Parse({"-d", "40F5849A", "-r", "0XD272031D"}), 0);
  EXPECT_EQ(p.serialNumber, 0x40F5849Au);
  EXPECT_EQ(p.routerSerial, 0xD272031Du);
  ASSERT_EQ(Parse({"-d", "0F5849A"}), 0);
  EXPECT_EQ(p.serialNumber, 0x0F5849Au);
  EXPECT_TRUE(display.Messages().empty());
}

TEST_F(CommandLine, InvalidSerialNumbersAreAllReportedAndFail) {
  EXPECT_EQ(Parse({"-d", "40F5849G", "-r", "0x0", "-d", "0", "-d", "123456789", "-r", "0x"}), 1);
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{
                                  "Invalid serial number obtained from argument [40F5849G]",
                                  "Invalid router serial number obtained from argument [0]",
                                  "Invalid serial number obtained from argument [0]",
                                  "Invalid serial number obtained from argument [123456789]",
                                  "Invalid router serial number obtained from argument []",
                              }));
}

TEST_F(CommandLine, TransportNamesAreCaseSensitivePrefixes) {
  struct Case {
    const char* name;
    uint32_t transport;
  };
  for (Case c : {Case{"USB", 1}, Case{"USBX", 1}, Case{"TCP", 2}, Case{"TCPIP", 2}, Case{"TCPX", 2},
                 Case{"RECOVER", 0xFF}, Case{"RECOVERY", 0xFF}}) {
    ASSERT_EQ(Parse({"-t", c.name}), 0) << c.name;
    EXPECT_EQ(p.transport, c.transport) << c.name;
    EXPECT_TRUE(p.transportGiven);
  }
  EXPECT_TRUE(display.Messages().empty());
  for (const char* bad : {"tcp", "US", "RECOVE", ""}) {
    RecordingDisplay fresh;
    std::vector<const char*> args = {"updater", "-t", bad};
    EXPECT_EQ(_get_params(fresh, 3, args.data(), p), 1) << bad;
    EXPECT_EQ(p.transport, 0u);
    EXPECT_TRUE(p.transportGiven);
    EXPECT_EQ(fresh.Transcript(), std::string("E: Invalid transport type:[") + bad +
                                      "]\nMust be one of the following: USB, TCPIP, RECOVER\n");
  }
}

TEST_F(CommandLine, NumbersBuildsBaudRatesAndUeiBytes) {
  ASSERT_EQ(Parse({"-b", "abc", "-o", "fast"}), 0);
  EXPECT_EQ(p.build, "0");  // "0" stands for the latest build
  EXPECT_EQ(p.baudRate, 0u);
  ASSERT_EQ(Parse({"-b", "12a", "-o", "230400"}), 0);
  EXPECT_EQ(p.build, "0");
  EXPECT_EQ(p.baudRate, 230400u);
  ASSERT_EQ(Parse({"-b", "007"}), 0);
  EXPECT_EQ(p.build, "7");
  ASSERT_EQ(Parse({"-b", "99999999999"}), 0);
  EXPECT_EQ(p.build, "0");  // beyond 32 bits is no build number either

  for (const char* yes : {"1", "10", "true", "trueish"}) {
    p.ueiBytesLoad = false;
    ASSERT_EQ(Parse({"-m", yes}), 0);
    EXPECT_TRUE(p.ueiBytesLoad) << yes;
  }
  for (const char* no : {"0", "yes", "TRUE", "tru", ""}) {
    ASSERT_EQ(Parse({"-m", no}), 0);
    EXPECT_FALSE(p.ueiBytesLoad) << no;
  }
}

TEST_F(CommandLine, UnhandledCommandFailsWithItsText) {
  EXPECT_EQ(Parse({"-Y", "-D"}), 1);
  EXPECT_EQ(display.Transcript(), "E: Unhandled command: [-Y]\n");
  EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
}

TEST_F(CommandLine, HelpEndsParsingAtOnceWithSuccess) {
  ASSERT_EQ(Parse({"-D", "--help", "-d", "40F5849G", "-Y", "-X", "1"}), 0);
  EXPECT_TRUE(p.help);
  EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
  EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(p.logMaskGiven);
  EXPECT_TRUE(display.Messages().empty());
  ASSERT_EQ(Parse({"-X", "0", "-H"}), 0);
  EXPECT_TRUE(p.logMaskGiven);
  EXPECT_TRUE(p.help);
}

TEST_F(CommandLine, LogMaskIsActivatedAtOnceSoLaterOptionsObeyIt) {
  ASSERT_EQ(Parse({"-d", "0x1234", "-X", "1", "-d", "0x5678", "-r", "0xABCD"}), 0);
  EXPECT_TRUE(p.logMaskGiven);
  EXPECT_EQ(p.logMask, 1u);
  EXPECT_EQ(Log::PackageMask(), 1u);
  EXPECT_EQ(LogText(),
            "Discarding '0x' serial number prefix\n"
            "Discarding '0x' router serial number prefix\n");
  ASSERT_EQ(Parse({"-X", "0x10000"}), 0);
  EXPECT_EQ(p.logMask, 0x10000u);
  EXPECT_EQ(Log::PackageMask(), 0x10001u);
}

TEST_F(CommandLine, LogMaskWithLeftoverCharactersIsReportedButNotFatal) {
  ASSERT_EQ(Parse({"-X", "0x1g"}), 0);
  ASSERT_EQ(Parse({"-X", "12abc"}), 0);
  ASSERT_EQ(Parse({"-X", "0x123456789"}), 0);  // the digit that would overflow is left over
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{
                                  "Invalid format for \"-X\" parameter, unprocessed characters [g]",
                                  "Invalid format for \"-X\" parameter, unprocessed characters [abc]",
                                  "Invalid format for \"-X\" parameter, unprocessed characters [9]",
                              }));
  EXPECT_TRUE(p.logMaskGiven);
  EXPECT_EQ(Log::PackageMask(), 0u);
}

TEST_F(CommandLine, LogsHomeDirectoryAndEveryArgumentUnderTheAppPackage) {
  Log::ActivatePackage(DEBUG_APP);
  ASSERT_EQ(Parse({"-D", "x y"}, "/bin/updater"), 0);
  EXPECT_EQ(LogText(), "Home directory:[" + p.homeDir +
                           "]\n"
                           "\nApplication parameters:[updater]\n"
                           "\t[/bin/updater]\n\t[-D]\n\t[x y]\n");
}

TEST_F(CommandLine, ArgumentsOfAnyLengthAreHandled) {
  std::string longHex(100000, 'A');
  std::string longPath(100000, 'p');
  std::string longOption = "-" + std::string(50000, 'O');
  ASSERT_EQ(Parse({"-i", longPath.c_str(), "-u", longPath.c_str(), longOption.c_str()}), 1);
  EXPECT_EQ(p.storageDir, longPath);
  EXPECT_EQ(Parse({"-d", longHex.c_str()}), 1);
  ASSERT_EQ(display.Errors().size(), 2u);
  EXPECT_EQ(display.Errors()[0].size(), 2047u);  // the messages are cut, the parse is not
  EXPECT_EQ(display.Errors()[0].rfind("Unrecognised option: -OOOO", 0), 0u);
  EXPECT_EQ(display.Errors()[1].size(), 2047u);
  EXPECT_EQ(display.Errors()[1].rfind("Invalid serial number obtained from argument [AAAA", 0), 0u);
}

TEST(CommandLineNumbers, HexAndIntegerReaders) {
  const char* text = "1aF";
  const char* end = nullptr;
  EXPECT_EQ(_get_hex_arg(text, &end), 0x1AFu);
  EXPECT_EQ(end, text + 3);
  EXPECT_EQ(_get_hex_arg(text, nullptr), 0u);
  const char* empty = "";
  end = nullptr;
  EXPECT_EQ(_get_hex_arg(empty, &end), 0u);
  EXPECT_EQ(end, empty);
  const char* bad = "12 ";
  end = bad;
  EXPECT_EQ(_get_hex_arg(bad, &end), 0u);
  EXPECT_EQ(end, bad);
  EXPECT_EQ(_get_hex_arg("FFFFFFFF", &end), 0xFFFFFFFFu);
  EXPECT_EQ(_get_hex_arg("100000000", &end), 0u);
  EXPECT_EQ(_get_hex_arg("-1", &end), 0u);

  EXPECT_EQ(_get_int_arg("4294967295", &end), 4294967295u);
  EXPECT_EQ(_get_int_arg("4294967296", &end), 0u);
  EXPECT_EQ(_get_int_arg("1A", &end), 0u);
  EXPECT_EQ(_get_int_arg("+5", &end), 0u);
  EXPECT_EQ(_get_int_arg("0042", &end), 42u);
}

}  // namespace
