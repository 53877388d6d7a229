#include "DevSimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "UsbSimBus.h"

extern char** environ;

namespace {

constexpr int kReadyPolls = 3000;  // 10 ms each: a sanitizer build starts slowly
constexpr auto kReadyPoll = std::chrono::milliseconds(10);

std::vector<std::string> sLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line != "ready") lines.push_back(line);
  return lines;
}

}  // namespace

std::string DevSimProcess::Binary() { return PROJECT_BINARY_DIR "/tools/devsim/devsim"; }

DevSimProcess::DevSimProcess(const std::vector<std::string>& args)
    : usbDir_(dir_ / "usb"), readyFile_(dir_ / "ready"), logFile_(dir_ / "devsim.log") {
  mkdir(usbDir_.c_str(), 0755);
  std::vector<std::string> command = {Binary(), "--usb-dir", usbDir_, "--ready-file", readyFile_};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pid_ < 0) return;

  // devsim writes the ready file whole (by renaming it into place) once every endpoint is open.
  for (int i = 0; i < kReadyPolls; ++i) {
    if (access(readyFile_.c_str(), F_OK) == 0) {
      endpoints_ = sLines(ReadTextFile(readyFile_));
      ready_ = true;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(kReadyPoll);
  }
}

DevSimProcess::~DevSimProcess() { Stop(); }

uint16_t DevSimProcess::tcpPort(uint32_t serial) const {
  const std::string prefix = "tcp " + SerialText(serial) + " ";
  for (const std::string& line : endpoints_) {
    if (line.rfind(prefix, 0) != 0) continue;
    const size_t colon = line.rfind(':');
    if (colon != std::string::npos) return static_cast<uint16_t>(std::stoul(line.substr(colon + 1)));
  }
  return 0;
}

std::vector<std::string> DevSimProcess::childEnvironment() const { return UsbSimChildEnvironment(usbDir_); }

std::string DevSimProcess::Log() const { return ReadTextFile(logFile_); }

int DevSimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return exitStatus_;
}
