#include "BackgroundProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "ChildProgram.h"

extern char** environ;

bool BackgroundProcess::Start(std::vector<std::string> program, const std::string& logFile) {
  std::vector<std::string> argv = ChildCommand(std::move(program));
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const bool redirected =
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0;
  if (!redirected || posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid_ > 0;
}

bool BackgroundProcess::WaitUntil(const std::function<bool()>& isReady, int polls) {
  for (int i = 0; i < polls && pid_ > 0; ++i) {
    if (isReady()) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) Reaped(status);
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int BackgroundProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) Reaped(status);
    pid_ = -1;
  }
  return exitStatus_;
}

void BackgroundProcess::Reaped(int status) {
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
}
