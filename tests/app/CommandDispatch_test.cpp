#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CommandDispatch.h"
#include "CommandLine.h"
#include "FdCapture.h"
#include "RecordingDisplay.h"

namespace {

using namespace frontend;

// An Updater whose operations only record how they were called and answer what the test says.
class RecordingUpdater : public Updater {
 public:
  explicit RecordingUpdater(UpdaterDisplayInterface& display)
      : Updater("http://127.0.0.1:1/u", "/nowhere", display), shown(display) {}

  void Set_UEIBytes_Load(bool load) override { Record("Set_UEIBytes_Load(" + std::to_string(load) + ")"); }
  std::vector<DeviceInfo> Discover_Devices(linkType type) override {
    Record("Discover_Devices(" + std::to_string(type) + ")");
    return devices;
  }
  std::vector<DeviceInfo> Discover_AFNetwork_Devices(uint32_t router, linkType type) override {
    Record("Discover_AFNetwork_Devices(" + Hex(router) + "," + std::to_string(type) + ")");
    if (routerUnreachable) shown.message(kError, "Error 25 on connectFromSpec");
    return devices;
  }
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird, uint8_t module, uint32_t router,
                       bool overrideModel) override {
    Record("Update_Firmware(" + Hex(serial) + "," + std::to_string(build) + "," + bird + "," +
           std::to_string(module) + "," + Hex(router) + "," + std::to_string(overrideModel) + ")");
    return updateResult;
  }
  using Updater::Download_Firmware;
  uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool overrideModel, bool noCal) override {
    Record("Download_Firmware(" + Hex(serial) + "," + build + "," + std::to_string(overrideModel) + "," +
           std::to_string(noCal) + ")");
    return downloadResult;
  }
  bool Get_BuildList(uint32_t serial, std::map<std::string, std::string>& listed) override {
    Record("Get_BuildList(" + Hex(serial) + ")");
    listed = builds;
    return listResult;
  }
  bool Get_BuildListLocal(uint32_t serial, std::map<std::string, std::string>& listed) override {
    Record("Get_BuildListLocal(" + Hex(serial) + ")");
    listed = builds;
    return listResult;
  }
  bool Get_Fingerprint(Fingerprint& fp, std::string port, unsigned int serial, std::string bird, unsigned int baud,
                       bool reset) override {
    Record("Get_Fingerprint(" + port + "," + Hex(serial) + "," + bird + "," + std::to_string(baud) + "," +
           std::to_string(reset) + ")");
    fp = fingerprint;
    return fingerprintResult;
  }
  bool Recover_Firmware(std::string port, unsigned int build, unsigned int baud, unsigned int serial,
                        std::string bird, bool overrideModel) override {
    Record("Recover_Firmware(" + port + "," + std::to_string(build) + "," + std::to_string(baud) + "," +
           Hex(serial) + "," + bird + "," + std::to_string(overrideModel) + ")");
    return recoverResult;
  }

  std::vector<std::string> calls;
  std::vector<DeviceInfo> devices;
  std::map<std::string, std::string> builds;
  Fingerprint fingerprint{{1, 2, 3, 4}};
  bool fingerprintResult = true;
  uint32_t downloadResult = 0;
  bool updateResult = true;
  bool recoverResult = true;
  bool listResult = true;
  bool routerUnreachable = false;

 private:
  UpdaterDisplayInterface& shown;
  static std::string Hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%08X", v);
    return text;
  }
  void Record(const std::string& call) { calls.push_back(call); }
};

class Dispatch : public ::testing::Test {
 protected:
  // Parses the arguments (they must be acceptable) and runs the commands.
  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "updater");
    RecordingDisplay parseDisplay;
    EXPECT_EQ(_get_params(parseDisplay, static_cast<int>(args.size()), args.data(), params), 0);
    return _run_commands(params, updater, display);
  }
  using Calls = std::vector<std::string>;

  RecordingDisplay display;
  RecordingUpdater updater{display};
  Parameters params;
  std::vector<const char*> args_;
};

TEST_F(Dispatch, FingerprintThenGetThenUpdateWithTheBuildJustFetched) {
  updater.downloadResult = 4321;
  EXPECT_EQ(Run({"-U", "-G", "-N", "-s", "/dev/ttyUSB0", "-d", "40F5849A", "-f", "x.bird", "-m", "0"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Get_Fingerprint(/dev/ttyUSB0,DEADDEAD,x.bird,115200,1)",
                                  "Download_Firmware(40F5849A,,0,0)", "Set_UEIBytes_Load(0)",
                                  "Update_Firmware(40F5849A,4321,x.bird,0,00000000,0)"}));
  EXPECT_EQ(display.Transcript(),
            "[ 00000001 00000002 00000003 00000004 ]\n"
            "Retrieving firmware for device with serial number 40F5849A\n"
            "No build specified\n"
            "Using Latest build\n");
  EXPECT_EQ(params.build, "4321");
}

TEST_F(Dispatch, OnlyTheFirstOfDiscoverUpdateListAndLocalListRuns) {
  EXPECT_EQ(Run({"-L", "-B", "-U", "-D", "-d", "1"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Discover_Devices(1)"}));
  updater.calls.clear();
  EXPECT_EQ(Run({"-L", "-B", "-U", "-d", "1"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Set_UEIBytes_Load(1)", "Update_Firmware(00000001,0,,0,00000000,0)"}));
  updater.calls.clear();
  EXPECT_EQ(Run({"-L", "-B", "-d", "1"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Get_BuildList(00000001)"}));
  updater.calls.clear();
  EXPECT_EQ(Run({"-L", "-d", "1"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Get_BuildListLocal(00000001)"}));
}

TEST_F(Dispatch, CommandsWithoutActionsEndWithSuccess) {
  EXPECT_EQ(Run({"-C", "-I", "-Z", "1"}), 0);
  EXPECT_TRUE(updater.calls.empty());
  EXPECT_TRUE(display.Messages().empty());
}

TEST_F(Dispatch, FingerprintNeedsASerialPortAndStopsEverythingWithout) {
  EXPECT_EQ(Run({"-N", "-G", "-d", "1", "-D"}), 1);
  EXPECT_TRUE(updater.calls.empty());
  EXPECT_EQ(display.Transcript(), "E: Must specify the serial port used for connecting\n");
}

TEST_F(Dispatch, FailedFingerprintIsReportedAndTheSequenceGoesOn) {
  updater.fingerprintResult = false;
  updater.downloadResult = 7;
  EXPECT_EQ(Run({"-N", "-s", "USB", "-o", "9600", "-G", "-d", "1"}), 1);
  EXPECT_EQ(updater.calls, (Calls{"Get_Fingerprint(USB,DEADDEAD,,9600,1)", "Download_Firmware(00000001,,0,0)"}));
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{"Got no response from chip"}));
}

TEST_F(Dispatch, GetNeedsADeviceAndStopsEverythingWithout) {
  EXPECT_EQ(Run({"-G", "-D"}), 1);
  EXPECT_TRUE(updater.calls.empty());
  EXPECT_EQ(display.Transcript(), "E: -G must specify a specific device via -d\nE: --help for usage information\n");
}

TEST_F(Dispatch, GetWithABuildAndOverride) {
  updater.downloadResult = 99528558;
  EXPECT_EQ(Run({"-G", "-d", "40F5849A", "-b", "99528558", "-OVERRIDE"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Download_Firmware(40F5849A,99528558,1,0)"}));
  EXPECT_EQ(display.Transcript(),
            "Retrieving firmware for device with serial number 40F5849A\n"
            "Retrieving firmware build 99528558\n");
}

TEST_F(Dispatch, FailedGetFailsTheRunEvenWhenTheUpdateSucceeds) {
  updater.downloadResult = 0;
  EXPECT_EQ(Run({"-G", "-U", "-d", "1", "-b", "12"}), 1);
  EXPECT_EQ(updater.calls, (Calls{"Download_Firmware(00000001,12,0,0)", "Set_UEIBytes_Load(1)",
                                  "Update_Firmware(00000001,12,,0,00000000,0)"}));
  EXPECT_EQ(params.build, "12");
}

TEST_F(Dispatch, DiscoveryTransportFollowsTheTransportOption) {
  EXPECT_EQ(Run({"-D"}), 0);
  EXPECT_EQ(Run({"-D", "-t", "TCPX"}), 0);
  EXPECT_EQ(Run({"-D", "-t", "USB"}), 0);
  EXPECT_EQ(Run({"-D", "-t", "RECOVER"}), 0);
  EXPECT_EQ(updater.calls, (Calls{"Discover_Devices(1)", "Discover_Devices(2)", "Discover_Devices(1)",
                                  "Discover_Devices(1)"}));
  EXPECT_EQ(display.Infos()[0], "Searching for Axonforge devices");
  EXPECT_EQ(display.Infos()[1], "Discovered Devices: (USB)");
  EXPECT_EQ(display.Infos()[4], "Discovered Devices: (TCPIP)");
}

TEST_F(Dispatch, DiscoveryBehindARouterKeepsAnUnsetTransport) {
  EXPECT_EQ(Run({"-D", "-r", "D272031D"}), 0);
  EXPECT_EQ(Run({"-D", "-r", "D272031D", "-t", "TCP"}), 0);
  EXPECT_EQ(updater.calls,
            (Calls{"Discover_AFNetwork_Devices(D272031D,0)", "Discover_AFNetwork_Devices(D272031D,2)"}));
  EXPECT_EQ(display.Transcript(),
            "Searching for Axonforge Network devices connected to D272031D\n"
            "Discovered Devices: (Unknown)\n"
            "    No devices found.\n"
            "Searching for Axonforge Network devices connected to D272031D\n"
            "Discovered Devices: (TCPIP)\n"
            "    No devices found.\n");
  // A search that showed an error could not do all that was asked.
  updater.routerUnreachable = true;
  EXPECT_EQ(Run({"-D", "-r", "D272031D"}), 1);
}

TEST_F(Dispatch, UpdateNeedsADeviceUnlessRecovering) {
  EXPECT_EQ(Run({"-U"}), 1);
  EXPECT_EQ(updater.calls, (Calls{"Set_UEIBytes_Load(1)"}));
  EXPECT_EQ(display.Errors(), (std::vector<std::string>{"Must specify the specific device to be updated"}));
}

TEST_F(Dispatch, UpdateResultBecomesTheExitStatus) {
  updater.updateResult = false;
  EXPECT_EQ(Run({"-U", "-d", "2181F0EE", "-r", "D272031D", "-OVERRIDE", "-b", "77"}), 1);
  EXPECT_EQ(updater.calls.back(), "Update_Firmware(2181F0EE,77,,0,D272031D,1)");
}

TEST_F(Dispatch, RecoveryTransportRunsTheRecoveryWithOrWithoutADevice) {
  EXPECT_EQ(Run({"-U", "-t", "RECOVER", "-s", "/dev/ttyS0", "-o", "57600", "-b", "abc", "-f", "r.bird"}), 0);
  updater.recoverResult = false;
  EXPECT_EQ(Run({"-U", "-t", "RECOVER", "-s", "USB", "-d", "40F5849A", "-b", "15"}), 1);
  EXPECT_EQ(updater.calls, (Calls{"Set_UEIBytes_Load(1)", "Recover_Firmware(/dev/ttyS0,0,57600,00000000,r.bird,0)",
                                  "Set_UEIBytes_Load(1)", "Recover_Firmware(USB,15,115200,40F5849A,,0)"}));
}

TEST_F(Dispatch, ListingBuildsNeedsADeviceAndShowsTheShortUsageWithout) {
  for (const char* option : {"-B", "-L"}) {
    RecordingDisplay fresh;
    FdCapture err(STDERR_FILENO, FdCapture::ToFile);
    args_ = {"updater", option};
    ASSERT_EQ(_get_params(fresh, 2, args_.data(), params), 0);
    EXPECT_EQ(_run_commands(params, updater, fresh), 1);
    std::string usage = err.Finish();
    EXPECT_EQ(usage.rfind("\nApplication Usage:\n", 0), 0u) << usage;
    EXPECT_EQ(usage.find("Parameters to commands"), std::string::npos);
    std::string what = std::string(option) == "-B" ? "List Builds" : "List Local Builds";
    EXPECT_EQ(fresh.Transcript(), "E: Error must supply a serial number for the " + what + " command\n");
  }
  EXPECT_TRUE(updater.calls.empty());
}

TEST_F(Dispatch, ListedBuildsAreShownAndAListThatCouldNotBeAskedForFails) {
  updater.builds = {{"1200", "2.10.0"}};
  EXPECT_EQ(Run({"-B", "-d", "40F5849A"}), 0);
  EXPECT_EQ(display.Transcript(),
            "Build List for device [40F5849A]:\n\n"
            "Build          \tVersion        \n"
            "1200           \t2.10.0         \n");
  updater.builds.clear();
  EXPECT_EQ(Run({"-L", "-d", "40F5849A"}), 0) << "an empty list is a result";
  updater.listResult = false;
  EXPECT_EQ(Run({"-B", "-d", "40F5849A"}), 1);
  EXPECT_EQ(Run({"-L", "-d", "40F5849A"}), 1);
}

}  // namespace
