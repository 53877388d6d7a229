#include "ChildProcess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

const uid_t kNobody = 65534;

bool sDropPrivileges() {
  if (geteuid() != 0) return true;
  struct passwd* nobody = getpwnam("nobody");
  uid_t uid = nobody ? nobody->pw_uid : kNobody;
  gid_t gid = nobody ? nobody->pw_gid : kNobody;
  return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

void sWriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

pid_t StartChild(const std::function<void()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

std::string RunInChild(const std::function<std::string()>& body, bool unprivileged) {
  int fds[2];
  if (pipe(fds) != 0) return "child failed: no pipe";
  pid_t pid = StartChild([&] {
    close(fds[0]);
    if (unprivileged && !sDropPrivileges()) _exit(3);
    sWriteAll(fds[1], body());
    close(fds[1]);
  });
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return "child failed: no fork";
  }
  std::string output;
  char buffer[512];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: status " + std::to_string(status);
  return output;
}

bool CanDropPrivileges() {
  return RunInChild([] { return std::string(geteuid() != 0 ? "yes" : "no"); }, true) == "yes";
}
