#include "Netns.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProgram.h"

bool NetnsIsInside() {
  const char* inside = getenv("NETNS_RUN_INSIDE");
  return inside && strcmp(inside, "1") == 0;
}

int NetnsRerunCurrentTest() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const std::string runner = PROJECT_SOURCE_DIR "/tests/support/netns-run";
  const std::string self = SelfPath();
  if (self.empty()) return -1;
  std::vector<std::string> command = ChildCommand({self, filter, "--gtest_brief=1"});
  command.insert(command.begin(), runner);
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool NetnsCanChooseMulticastInterface() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct in_addr loopback;
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  const bool chosen = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) == 0;
  close(fd);
  return chosen;
}
