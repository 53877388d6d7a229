#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "AppText.h"
#include "AppVersion.h"
#include "FdCapture.h"
#include "RecordingDisplay.h"
#include "aVersion.h"

namespace {

using namespace frontend;

// The usage text as the user sees it, block by block.
const char kBlockA[] = R"(
Application Usage:
Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]
    [-d serial_num]
    [-t transport] [-r router_serial]
    [-s serial_port] [-o baud_rate]

  Axonforge Update and Maintenance Application
    -H -h or --help for full usage information.

)";
const char kBlockB[] = R"(  Parameters to commands:
     -i <tessaron_directory>  - The Tessaron directory used for storage of 
                                firmware files. [Default: ~/.tessaron ].
     -b <build number>        - Build version of the firmware to transfer.
                                [Default: latest version available].
     -d <device>              - Device serial number of the device to access.
     -t <transport type>      - communications method [USB,TCP,RECOVER].
     -f <bird file>           - Firmware file to be transferred to device.
     -r <router serial>       - indirect connection through router device
     -s <serial port>         - name of serial port to use for recovery
     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,
                                19200, 38400, 57600, 115200, 230400)
  Commands:
     -B                       - list the Builds available for given device.

     -L                       - list the local Builds available for given device.

     -D                       - Discover devices that are currently connected.

     -G                       - Get build file from the Tessaron server and
                                store on local machine for download to device.
                                Must specify a specific device ["-d" option].
                                Default is to obtain the latest build for the
                                given device, override with "-b" option.

     -U                       - Update the firmware on device specified.
                                Must specify a specific device ["-d" option].
                                Default is to download the latest build for the
                                given device, override with "-b" option or
                                specify specific BIRD file using "-f" option.
     -H or -h                 - Display extended usage information.
     --json                   - Results as JSON on standard output, one document
                                per line; messages go to standard error.

)";
const char kBlockCHead[] = R"(  Extended Parameters:
     -e                       - echoing of bytes enabled during recovery.

     -m                       - Attemps to use UEIBytes for faster loading
     -l 'log message'         - message to place in device history log
     -k <filename>            - log messages written into given filename
                                Default:[APP.log]
     -u <host:port>           - The hostname and port of the update server
)";
// Then a line of 32 blanks, "Default: ", the default server host and port, and what -u makes of
// HOST:PORT.
const char kBlockCTail[] = R"(  Extended Commands:
     -I                       - View stored device information.
                                Must either use DISCOVER command ["-D"] or
                                specify a specific device ["-d" option].

     -OVERRIDE                - Override the model checks for BIRD firmware files.
                                This option should only be used when authorized by
                                Tessaron development engineers.

     -N                       - Get fingerprint from a device, requires -s

     -X <BIT_MASK>            - Bitmask for Logging
                                DEBUG_Updater       0x00000001
                                DEBUG_History       0x00000002
                                DEBUG_Attributes    0x00000004
                                DEBUG_BirdFile      0x00000008
                                DEBUG_Network       0x00000010
                                DEBUG_ServerComm    0x00000020

                                DEBUG_Network       0x00000100
                                DEBUG_Network_SR    0x00000200
                                DEBUG_Network_FIRM  0x00000400

                                DEBUG_NXPSerial     0x00001000
                                DEBUG_NXPSerial_E   0x00002000
                                DEBUG_NXPSerial_SR  0x00004000

                                DEBUG_APP           0x00010000

                                DEBUG_iMXSerial     0x10000000

     -C                       - Check the given BIRDFILE

)";
const char kBlockD[] = R"( Sample usage:

-D                             Discover all devices connected by either USB or TCPIP.
                               Records the device information into the settings for that device.

-D -t USB                      Discover all the devices connected by USB. Records the
                               device information into the settings for that device.

-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)

-G -d 40F5849A                 Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific device directory.

-U -d 40F5849A                 Update the firmware on the specific device.
                               Without other options, this command will try to locate
                               the latest firmware version to be used for updating the device.

-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.
                               Downloads the firmware file into the updater's specific
                               device directory with the build number as the filename.

-G -U -d 40F5849A              Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific
                               device directory. After download, update the firmware
                               using the latest release.

-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface
                               in communicating with the device to install the latest firmware.

 Sample usage for network discovery and updates:

-D -r D272031D                 Discover all devices connected to the I2C Axonforge network
                               of the given routing device D272031D.

-G -U -d 2181F0EE -r D272031D
                               Get and Update to the latest firmware for device 2181F0EE
                               indirectly through routing device D272031D.

)";

std::string BlockC() {
  return std::string(kBlockCHead) + std::string(32, ' ') + "Default: updates.axonforge.invalid:80 (HOST:PORT means http://HOST:PORT/cgi/u)\n" + kBlockCTail;
}

std::string Usage(bool extended, bool full) {
  FdCapture err(STDERR_FILENO, FdCapture::ToFile);
  _display_usage(extended, full);
  return err.Finish();
}

TEST(AppText, ShortUsageIsBlockAOnly) { EXPECT_EQ(Usage(false, false), kBlockA); }

TEST(AppText, ExtendedAloneAddsNothingToTheShortUsage) { EXPECT_EQ(Usage(true, false), kBlockA); }

TEST(AppText, FullUsageIsBlocksABAndD) {
  EXPECT_EQ(Usage(false, true), std::string(kBlockA) + kBlockB + kBlockD);
}

TEST(AppText, ExtendedFullUsageIsBlocksAToD) {
  EXPECT_EQ(Usage(true, true), std::string(kBlockA) + kBlockB + BlockC() + kBlockD);
}

TEST(AppText, VersionLineAndOwnershipNotice) {
  RecordingDisplay display;
  _display_app_version(display);
  _display_copyright(display);
  std::vector<std::string> infos = display.Infos();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_TRUE(display.Errors().empty());
  // "Updater (Version: 2.11.2 Mmm d yyyy)": the build date with its month, day and year.
  char month[4] = "";
  int day = 0, year = 0, consumed = 0;
  ASSERT_EQ(sscanf(infos[0].c_str(), "Updater (Version: 2.11.2 %3s %d %4d)%n", month, &day, &year, &consumed), 3)
      << infos[0];
  EXPECT_EQ(static_cast<size_t>(consumed), infos[0].size()) << infos[0];
  EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(month), std::string::npos) << month;
  EXPECT_TRUE(day >= 1 && day <= 31 && year >= 2000) << infos[0];
  EXPECT_EQ(infos[0].find("  "), std::string::npos) << infos[0];
  EXPECT_EQ(infos[1].front(), '(');
  EXPECT_EQ(infos[1].back(), ')');
  EXPECT_NE(infos[1].find("Tessaron"), std::string::npos) << infos[1];
}

TEST(AppText, ApplicationAndLibraryReportTheSameVersion) {
  EXPECT_EQ(UPDATER_VERSION_MAJOR, aVersion_GetMajor());
  EXPECT_EQ(UPDATER_VERSION_MINOR, aVersion_GetMinor());
  EXPECT_EQ(UPDATER_VERSION_PATCH, aVersion_GetPatch());
}

TEST(AppText, FingerprintShowsFourZeroPaddedWords) {
  RecordingDisplay display;
  _display_fingerprint(display, Fingerprint{{0x1, 0xDEADBEEF, 0x00ABCDEF, 0}});
  EXPECT_EQ(display.Transcript(), "[ 00000001 DEADBEEF 00ABCDEF 00000000 ]\n");
}

}  // namespace
