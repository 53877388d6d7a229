#include "UpdateServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TempDir.h"

extern char** environ;

namespace {

// Directs the child's stdout and stderr to one file.
bool sRedirectOutput(posix_spawn_file_actions_t* actions, const std::string& path) {
  return posix_spawn_file_actions_addopen(actions, 1, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0 &&
         posix_spawn_file_actions_adddup2(actions, 1, 2) == 0;
}

}  // namespace

std::string UpdateServerProcess::Binary() { return PROJECT_BINARY_DIR "/tools/update-server/update-server"; }

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::vector<std::string>& extraArgs)
    : readyFile_(root + ".ready"), logFile_(root + ".log") {
  unlink(readyFile_.c_str());
  std::vector<std::string> args = {Binary(), "-r", root, "-p", "0", "-w", readyFile_};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (sRedirectOutput(&actions, logFile_) &&
      posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pid_ < 0) return;

  // Wait for the ready file, or for the process to give up.
  for (int i = 0; i < 1000; ++i) {
    const std::string text = ReadTextFile(readyFile_);
    if (!text.empty()) {
      port_ = std::atoi(text.c_str());
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

UpdateServerProcess::~UpdateServerProcess() {
  Stop();
  unlink(readyFile_.c_str());
  unlink(logFile_.c_str());
}

std::string UpdateServerProcess::Url(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::string UpdateServerProcess::Log() const { return ReadTextFile(logFile_); }

int UpdateServerProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return exitStatus_;
}
