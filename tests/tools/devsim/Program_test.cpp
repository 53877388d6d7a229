// The devsim program itself: its help, its ready lines, clean stops, and refusing a taken port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "TempDir.h"
#include "WireClient.h"

extern char** environ;

using namespace devsimtest;

namespace {

const std::string kDevsim = PROJECT_BINARY_DIR "/tools/devsim/devsim";

// One run of the program with its standard output and error captured.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> command = {kDevsim};
    command.insert(command.end(), args.begin(), args.end());
    command = ChildCommand(command);
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // Standard output lines up to and including "ready" (or to the end of output).
  std::vector<std::string> readyLines(int timeoutMs = 5000) {
    std::vector<std::string> lines;
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      size_t nl;
      while ((nl = text.find('\n')) != std::string::npos) {
        lines.push_back(text.substr(0, nl));
        text.erase(0, nl + 1);
        if (lines.back() == "ready") return lines;
      }
      if (!readSome(out_, &text, 50)) break;
    }
    return lines;
  }

  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void signal(int sig) { kill(pid_, sig); }
  std::string output() { return drain(out_); }
  std::string errors() { return drain(err_); }

 private:
  static bool readSome(int fd, std::string* text, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) < 0) return false;
    if (!(p.revents & (POLLIN | POLLHUP))) return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text->append(buffer, static_cast<size_t>(n));
    return true;
  }
  static std::string drain(int fd) {
    std::string text;
    while (readSome(fd, &text, 2000)) {
    }
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

uint16_t PortOf(const std::string& tcpLine) { return static_cast<uint16_t>(std::stoi(tcpLine.substr(tcpLine.rfind(':') + 1))); }

TEST(DevsimProgram, HelpDocumentsEveryOptionModuleKeyAndFault) {
  Program p({"--help"});
  std::string help = p.output();
  EXPECT_EQ(p.wait(), 0);
  for (const char* word :
       {"--module", "--bind", "--usb-dir", "--discovery", "--flash-dir", "--fault", "--ready-file", "--verbose", "--help",
        "serial=", "model=", "address=", "build=", "version=", "behind=", "id=", "features=", "pooled", "hwversion=",
        "ueibytes", "blocksize=", "loadbase=", "ram=", "name=", "tcp[=PORT]", "serialport", "kdev", "usb ",
        "usbvendor=", "usbproduct=", "restart=", "loaderserial", "startloader", "hb=", "sample=", "drop=", "wrongcount", "wrongsum",
        "corrupt=", "close=", "delay=", "refuseprepare=", "noreturn", "hbvalue=", "bytesmax=", "hbmiss="}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(DevsimProgram, BadCommandLineIsRefusedWithStatus2) {
  Program p({"--module", "serial=0x12,address=3"});
  EXPECT_EQ(p.wait(), 2);
  EXPECT_NE(p.errors().find("even"), std::string::npos);
  Program none({});
  EXPECT_EQ(none.wait(), 2);
}

TEST(DevsimProgram, PrintsEndpointsServesAndStopsCleanlyOnSigterm) {
  std::string ready = ::testing::TempDir() + "devsim_ready_" + std::to_string(getpid());
  Program p({"-v", "--ready-file", ready, "--module", "serial=0x1234ABCD,model=17,address=6,tcp=0,hb=0"});
  std::vector<std::string> lines = p.readyLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("tcp 1234ABCD 127.0.0.1:", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "ready");
  std::ifstream file(ready);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str(), lines[0] + "\nready\n");

  WireClient host = WireClient::Tcp(PortOf(lines[0]));
  EXPECT_EQ(host.request(6, {3, 0x48, 0x20}), SimPacket(6, {3, 8, 0, 17}));
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 0);
  EXPECT_TRUE(host.closedByPeer(1000));
  struct stat st;
  EXPECT_NE(stat(ready.c_str(), &st), 0) << "the ready file is removed at exit";
  EXPECT_NE(p.errors().find("host> 06 03 03 48 20"), std::string::npos) << "-v logs the conversation";
}

TEST(DevsimProgram, TextOptionsTakeSeparateOrInlineValues) {
  TempDir usb;
  Program p({"--bind=127.0.0.2", "--usb-dir", usb.path(), "--module", "serial=0x1234ABCD,tcp=0,usb,hb=0"});
  std::vector<std::string> lines = p.readyLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("tcp 1234ABCD 127.0.0.2:", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "usb 1234ABCD " + (usb / "1234ABCD.sock")) << lines[1];

  Program missing({"--module", "serial=1,tcp=0", "--usb-dir"});
  EXPECT_EQ(missing.wait(), 2);
  EXPECT_NE(missing.errors().find("option --usb-dir needs a value"), std::string::npos) << missing.errors();
}

TEST(DevsimProgram, ASecondInstanceOnTheSamePortFailsWithAClearMessage) {
  Program first({"--module", "serial=1,tcp=0,hb=0"});
  std::vector<std::string> lines = first.readyLines();
  ASSERT_FALSE(lines.empty());
  std::string port = std::to_string(PortOf(lines[0]));
  Program second({"--module", "serial=1,tcp=" + port + ",hb=0"});
  EXPECT_EQ(second.wait(), 1);
  std::string message = second.errors();
  EXPECT_NE(message.find("cannot listen on 127.0.0.1:" + port), std::string::npos) << message;
  EXPECT_NE(message.find("in use"), std::string::npos) << message;
  first.signal(SIGINT);
  EXPECT_EQ(first.wait(), 0);
}

}  // namespace
