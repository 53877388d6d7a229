#include "RunProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "ChildProgram.h"

extern char** environ;

namespace {

// 64 bits: a 32-bit time_t times 1000 overflows after 24 days of uptime.
int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads both pipes until they close or the deadline passes; false on time-out.
bool Collect(int outFd, int errFd, ProcessResult& result, int64_t deadline) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

std::string sName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Runs argv with standard output on outWrite (read back through outRead) and standard error on
// a pipe. Both descriptors are closed here.
ProcessResult sRun(const std::vector<std::string>& program, int timeoutMs, int outRead, int outWrite,
                   const std::vector<std::string>& extraEnvironment) {
  ProcessResult result;
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outRead);
    close(outWrite);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  const std::vector<std::string> argv = ChildCommand(program);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment = EnvironmentWith(extraEnvironment);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outWrite);
  close(errPipe[1]);
  if (spawned == 0) {
    result.timedOut = !Collect(outRead, errPipe[0], result, NowMs() + timeoutMs);
    if (result.timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  close(outRead);
  close(errPipe[0]);
  return result;
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extraEnvironment) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& extra : extraEnvironment) replaced |= sName(extra) == sName(*entry);
    if (!replaced) result.push_back(*entry);
  }
  result.insert(result.end(), extraEnvironment.begin(), extraEnvironment.end());
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs,
                         const std::vector<std::string>& extraEnvironment) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return ProcessResult();
  return sRun(argv, timeoutMs, outPipe[0], outPipe[1], extraEnvironment);
}

ProcessResult RunProcessOnTerminal(const std::vector<std::string>& argv, int timeoutMs) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return ProcessResult();
  // Raw, so that the bytes read back are exactly those written (no "\r\n" for "\n").
  struct termios raw;
  if (tcgetattr(slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  // Once the child has exited and every slave descriptor is closed, the master reads EIO: the end.
  return sRun(argv, timeoutMs, master, slave, {});
}
