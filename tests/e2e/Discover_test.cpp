// The discover command end to end: the updater program lists modules that the device simulator
// presents on simulated USB, on TCP inside a private network namespace, and behind a router.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "DevSimProcess.h"
#include "FileInspection.h"
#include "Netns.h"
#include "TempDir.h"
#include "UpdaterProcess.h"

namespace {

const char kUsbHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)\n";
const char kNetworkHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";
// The namespace's own address (tests/support/netns-run), where devsim's TCP listeners answer.
const char kNamespaceAddress[] = "[10.231.0.1]";

// A router at address 4 with three modules on its bus, at the bus ends and in between.
const std::vector<std::string> kRouterWithBus = {
    "--module", "serial=0xD272031D,model=15,address=4,build=700,version=2.15.1",
    "--module", "serial=0x2181F0EE,model=18,address=2,build=701,version=1.3.7,behind=0xD272031D",
    "--module", "serial=0x0A0B0C0D,model=26,address=8,build=702,version=2.16.0,behind=0xD272031D",
    "--module", "serial=0x00C0FFEE,model=13,address=252,build=703,version=3.0.4,behind=0xD272031D"};
// The listing lines of the three modules (the router's address is 4 however it is reached).
const char kBusLine2[] = "    2181F0EE  02       04      AF-MTM-Relay   1.3.7 (701)";
const char kBusLine8[] = "    0A0B0C0D  08       04      AF-MTM-Load    2.16.0 (702)";
const char kBusLine252[] = "    00C0FFEE  FC       04      AF-MTM-IO      3.0.4 (703)";

std::vector<std::string> With(std::vector<std::string> base, const std::string& transport) {
  base[1] += "," + transport;
  return base;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The bus addresses the scan probed, from the updater's DEBUG_Updater log.
std::vector<int> ProbedAddresses(const std::string& log) {
  std::vector<int> addresses;
  static const std::regex probe("Searching Address 0x([0-9a-f]{2})");
  for (std::sregex_iterator it(log.begin(), log.end(), probe), end; it != end; ++it)
    addresses.push_back(std::stoi((*it)[1].str(), nullptr, 16));
  return addresses;
}

// Holds a simulated USB device's claim lock, as a second program using the device does.
class UsbClaim {
 public:
  UsbClaim(const std::string& usbDir, const std::string& serial)
      : fd_(open((usbDir + "/" + serial + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    held_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~UsbClaim() {
    if (fd_ >= 0) close(fd_);
  }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

TEST(Discover, ListsUsbModulesAndFlagsOneThatAnotherProgramHolds) {
  DevSimProcess sim({"--module", "serial=0x40F5849A,model=19,address=6,build=1234,version=2.15.3,usb",
                     "--module", "serial=0x0BADBEEF,model=17,address=2,build=99,version=1.3.7,usb"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir store;

  ProcessResult r = RunUpdater(store.path(), {"-D"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Contains(r.out, std::string("Searching for Axonforge devices\nDiscovered Devices: (USB)\n") + kUsbHeader))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "    40F5849A  06       06      AF-USBHub3p    2.15.3 (1234)\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "    0BADBEEF  02       02      AF-USBHub2x4   1.3.7 (99)\n")) << r.out;

  UsbClaim claim(sim.usbDir(), "0BADBEEF");
  ASSERT_TRUE(claim.held());
  r = RunUpdater(store.path(), {"-D", "-t", "USB"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "    40F5849A  06       06      AF-USBHub3p    2.15.3 (1234)\n")) << r.out;
  static const std::regex busyLine(
      "\n    0BADBEEF  \\[Error \\([1-9][0-9]*\\): Is someone else connected to this device\\?\\]\n");
  EXPECT_TRUE(std::regex_search(r.out, busyLine)) << r.out;
  // Discovery writes nothing to the store.
  EXPECT_EQ(DirectoryNames(store / "updater"), std::vector<std::string>{});
}

TEST(Discover, RouterScanOverUsbListsTheBusAndSkipsTheRoutersOwnAddress) {
  DevSimProcess sim(With(kRouterWithBus, "usb"));
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir store;

  ProcessResult r = RunUpdater(store.path(), {"-X", "1", "-D", "-t", "USB", "-r", "D272031D"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, std::string("Searching for Axonforge Network devices connected to D272031D\n"
                                          "Discovered Devices: (USB)\n") +
                                  kUsbHeader + kBusLine2 + "\n" + kBusLine8 + "\n" + kBusLine252 + "\n"))
      << r.out;

  std::vector<int> expected;
  for (int address = 2; address <= 252; address += 2)
    if (address != 4) expected.push_back(address);
  EXPECT_EQ(ProbedAddresses(r.err), expected);
  EXPECT_EQ(expected.size(), 125u);

  // A router that another program holds cannot be scanned: the error, an empty list, exit 1.
  UsbClaim claim(sim.usbDir(), "D272031D");
  ASSERT_TRUE(claim.held());
  r = RunUpdater(store.path(), {"-D", "-t", "USB", "-r", "D272031D"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("^Error [1-9][0-9]* on connectFromSpec\n$"))) << r.err;
  EXPECT_TRUE(Contains(r.out, "Discovered Devices: (USB)\n    No devices found.\n")) << r.out;
}

TEST(Discover, UnknownRouterListsNoDevicesAndSucceeds) {
  DevSimProcess sim({"--module", "serial=0x40F5849A,model=19,usb"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir store;
  ProcessResult r = RunUpdater(store.path(), {"-D", "-t", "USB", "-r", "12345678"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.substr(r.out.find("Searching")),
            "Searching for Axonforge Network devices connected to 12345678\n"
            "Discovered Devices: (USB)\n"
            "    No devices found.\n");
  EXPECT_EQ(r.err, "");
}

TEST(Discover, NetworkModulesShowTheirAddress) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  DevSimProcess sim({"--discovery", "--bind", "0.0.0.0", "--module",
                     "serial=0x1234ABCD,model=5,address=10,build=55,version=2.15.0,tcp", "--module",
                     "serial=0x40F5849A,model=19,address=6,build=1234,version=2.15.3,usb"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir store;

  ProcessResult r = RunUpdater(store.path(), {"-D", "-t", "TCP"}, sim.childEnvironment());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find("Searching")),
            std::string("Searching for Axonforge devices\nDiscovered Devices: (TCPIP)\n") + kNetworkHeader +
                "    1234ABCD  0A       0A      AF-NetStem     2.15.0 (55) " + kNamespaceAddress + "\n")
      << r.out;
}

TEST(Discover, RouterScanOverTcpFindsTheRoutersTransportByItself) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  std::vector<std::string> args = {"--discovery", "--bind", "0.0.0.0"};
  const std::vector<std::string> modules = With(kRouterWithBus, "tcp");
  args.insert(args.end(), modules.begin(), modules.end());
  DevSimProcess sim(args);
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir store;
  const std::string network = std::string(" ") + kNamespaceAddress + "\n";

  for (const std::vector<std::string>& args : {std::vector<std::string>{"-D", "-t", "TCP", "-r", "D272031D"},
                                               std::vector<std::string>{"-D", "-r", "D272031D"}}) {
    ProcessResult r = RunUpdater(store.path(), args, sim.childEnvironment());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Without -t the router is looked for on USB, then found on TCP/IP; the list keeps the
    // transport it was asked for.
    const char* heading = args.size() == 5 ? "Discovered Devices: (TCPIP)\n" : "Discovered Devices: (Unknown)\n";
    EXPECT_TRUE(Contains(r.out, std::string(heading) + kNetworkHeader + kBusLine2 + network + kBusLine8 + network +
                                    kBusLine252 + network))
        << r.out;
  }
}

}  // namespace
