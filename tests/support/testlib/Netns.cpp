#include "Netns.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

bool NetnsIsInside() {
  const char* inside = getenv("NETNS_RUN_INSIDE");
  return inside && strcmp(inside, "1") == 0;
}

int NetnsRerunCurrentTest() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const std::string runner = PROJECT_SOURCE_DIR "/tests/support/netns-run";
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = 0;
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execl(runner.c_str(), runner.c_str(), self, filter.c_str(), "--gtest_brief=1", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
