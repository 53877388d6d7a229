// Shared links end to end: a Module opened over the simulated USB bus in networking mode is
// served by a link server; Modules of this process, other processes and a process in another
// network namespace (another host on the same LAN) find it by discovery and talk to it. All of
// it inside private network namespaces.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "DevSim.h"
#include "DevSimConfig.h"
#include "Module.h"
#include "Netns.h"
#include "Polling.h"
#include "SystemClass.h"
#include "TempDir.h"
#include "aLink.h"

namespace {

using polling::Eventually;
using Tessaron::Axonforge::aWeaveConfig;
using Tessaron::Axonforge::kLoopbackInterface;
using Tessaron::Axonforge::LinkStreams;
using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint8_t kModel = 17;
constexpr uint8_t kAddress = 6;
constexpr uint8_t kSystem = 3;
constexpr uint8_t kBuildOption = 43;
const char kSerialText[] = "1234ABCD";

// The device simulator with one module on a simulated USB bus that this process sees.
class UsbDevice {
 public:
  UsbDevice() {
    devsim::DevSimConfig config = devsimtest::ConfigFor({"serial=0x1234ABCD,model=17,address=6,usb,hb=2,sample=50"});
    config.usbDir = dir_.path();
    sim_ = std::make_unique<devsim::DevSim>(config);
    std::string error;
    EXPECT_TRUE(sim_->start(&error)) << error;
    setenv("AXONFORGE_USBSIM_DIR", dir_.path().c_str(), 1);
  }
  ~UsbDevice() {
    sim_->stop();
    unsetenv("AXONFORGE_USBSIM_DIR");
  }
  const std::string& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::unique_ptr<devsim::DevSim> sim_;
};

// shared-link-server as a child process, its output in a file.
class Tool {
 public:
  Tool(const std::vector<std::string>& args, const std::string& logFile) : log_(logFile) {
    std::vector<std::string> argv = {PROJECT_BINARY_DIR "/tests/support/shared-link-server/shared-link-server"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv = ChildCommand(argv);
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> raw;
      for (std::string& a : argv) raw.push_back(&a[0]);
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
  }
  ~Tool() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  std::string output() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool waitFor(const std::string& text, int timeoutMs = 15000) {
    return Eventually([&] { return output().find(text) != std::string::npos || exited(); }, timeoutMs) &&
           output().find(text) != std::string::npos;
  }
  // The exit status, 128 + the signal for a killed program, or -1 while it runs past timeoutMs.
  int wait(int timeoutMs = 15000) {
    Eventually([&] { return exited(); }, timeoutMs);
    return status_;
  }
  // The port in "serving <SERIAL> port <PORT> interface <ADDR>".
  uint16_t port() const {
    const std::string text = output();
    const size_t at = text.find(" port ");
    return at == std::string::npos ? 0 : uint16_t(atoi(text.c_str() + at + 6));
  }

 private:
  bool exited() {
    if (status_ >= 0) return true;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

  std::string log_;
  pid_t pid_ = -1;
  int status_ = -1;
};

uint32_t SerialOf(Module& module) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t serial = 0;
  return system.getSerialNumber(&serial) == aErrNone ? serial : 0;
}

TEST(SharedLink, AServedUsbModuleAnswersModulesOfThisAndOfAnotherProcess) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  UsbDevice device;
  TempDir logs;

  // Networking mode (the default config): the USB device goes to a link server, and the
  // Module talks to it through the server like every other client.
  Module served(2, 0);
  ASSERT_EQ(served.connect(USB, kSerial), aErrNone);
  EXPECT_EQ(served.getModuleAddress(), kAddress);
  aWeaveConfig config;
  ASSERT_EQ(served.getConfig(&config), aErrNone);
  EXPECT_NE(config.assignedPort, 0u);
  EXPECT_EQ(config.networkInterface, kLoopbackInterface);
  EXPECT_EQ(SerialOf(served), kSerial);
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u) << "a served device is not opened past its server";

  // Found by the loopback search and reached as a client of its own.
  Module found(0, kModel);
  ASSERT_EQ(found.connect(AWEAVE, kSerial), aErrNone);
  EXPECT_NE(found.getLink()->getLinkId(), served.getLink()->getLinkId());
  EXPECT_EQ(found.getModuleAddress(), kAddress);
  EXPECT_EQ(SerialOf(found), kSerial);

  // Through the served module's link: the server's address and port, one engine link.
  Module through(kAddress, 0);
  ASSERT_EQ(through.connectThroughLinkModule(served), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(through.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, AWEAVE);
  EXPECT_EQ(spec.ipPort, config.assignedPort);
  EXPECT_EQ(through.getLink()->getLinkId(), served.getLink()->getLinkId());

  // Both Links on that engine link register for samples; each receives them.
  std::atomic<int> servedSamples{0}, throughSamples{0};
  auto counter = [](const aPacket*, void* context) -> uint8_t {
    ++*static_cast<std::atomic<int>*>(context);
    return 0;
  };
  ASSERT_EQ(served.getLink()->streams()->registerStreamCallback(kAddress, kSystem, kBuildOption, 0, true, counter,
                                                                 &servedSamples),
            aErrNone);
  ASSERT_EQ(through.getLink()->streams()->registerStreamCallback(kAddress, kSystem, kBuildOption, 0, true, counter,
                                                                  &throughSamples),
            aErrNone);
  EXPECT_TRUE(Eventually([&] { return servedSamples > 2 && throughSamples > 2; }, 5000))
      << servedSamples << " and " << throughSamples << " samples";

  // Another process finds the server the same way and converses through it.
  Tool client({"--client", kSerialText, "--count", "25"}, logs / "client.log");
  EXPECT_EQ(client.wait(), 0) << client.output();
  EXPECT_NE(client.output().find("conversations 25 ok 25"), std::string::npos) << client.output();
  EXPECT_EQ(SerialOf(found), kSerial) << "the other process's client left this one working";
}

TEST(SharedLink, AnInterruptEndsAClientAndAStoppedServerReleasesTheDevice) {
  SKIP_WITHOUT_MULTICAST_INTERFACE();
  RUN_INSIDE_NETNS();
  UsbDevice device;
  TempDir logs;
  Tool server({"--usb-dir", device.dir(), "--serial", kSerialText}, logs / "server.log");
  ASSERT_TRUE(server.waitFor("ready")) << server.output();
  uint16_t port = 0;
  uint32_t address = 0;
  EXPECT_EQ(aLink_CreateServer(kSerial, &port, &address, true), 0u) << "the other server holds the device";

  // SIGINT ends a program with a client link open, although the messaging layer catches it.
  Tool holder({"--client", kSerialText, "--count", "3", "--hold"}, logs / "holder.log");
  ASSERT_TRUE(holder.waitFor("holding")) << holder.output();
  ASSERT_EQ(kill(holder.pid(), SIGINT), 0);
  EXPECT_EQ(holder.wait(), 128 + SIGINT) << holder.output();

  // A client whose server goes away says so instead of waiting out every request.
  uint32_t client = aLink_CreateClient(htonl(INADDR_LOOPBACK), server.port(), 0);
  ASSERT_NE(client, 0u);
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(client) == LINK_RUNNING; }, 5000));

  ASSERT_EQ(kill(server.pid(), SIGINT), 0);
  EXPECT_EQ(server.wait(), 0) << server.output();
  EXPECT_NE(server.output().find("released"), std::string::npos);
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(client) == LINK_IO_ERROR; }, 5000))
      << "status " << aLink_GetStatus(client);
  EXPECT_EQ(aLink_Destroy(&client), aErrNone);
  uint32_t link = aLink_CreateServer(kSerial, &port, &address, true);
  EXPECT_NE(link, 0u) << "the device was not released";
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(SharedLink, AClientOnAnotherHostFindsTheServerByBeacon) {
  RUN_INSIDE_NETNS();
  UsbDevice device;
  TempDir logs;
  // This namespace keeps af0 (10.231.0.1); its peer af1 goes to a second namespace, the
  // client's host, as 10.231.0.2.
  Tool server({"--usb-dir", device.dir(), "--serial", kSerialText, "--network", "--interface", "10.231.0.1"},
              logs / "server.log");
  ASSERT_TRUE(server.waitFor("ready")) << server.output();
  EXPECT_NE(server.output().find("interface 10.231.0.1"), std::string::npos) << server.output();

  const std::string marker = logs / "host-ready";
  const std::string script =
      "touch " + marker + "; while ! ip link show af1 >/dev/null 2>&1; do sleep 0.02; done; "
      "ip link set lo up && ip addr add 10.231.0.2/24 dev af1 && ip link set af1 up && exec " +
      ChildShellCommand({PROJECT_BINARY_DIR "/tests/support/shared-link-server/shared-link-server"}) + " --client " +
      std::string(kSerialText) + " --interface 10.231.0.2 --count 20";
  const std::string log = logs / "remote.log";
  const pid_t remote = fork();
  if (remote == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execlp("unshare", "unshare", "-n", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(Eventually([&] { return access(marker.c_str(), F_OK) == 0; }, 10000));
  const std::string move = "ip link set af1 netns " + std::to_string(remote);
  ASSERT_EQ(system(move.c_str()), 0);
  int status = 0;
  ASSERT_TRUE(Eventually([&] { return waitpid(remote, &status, WNOHANG) == remote; }, 30000));
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("conversations 20 ok 20"), std::string::npos) << text.str();
  ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
  EXPECT_EQ(server.wait(), 0) << server.output();
}

}  // namespace
