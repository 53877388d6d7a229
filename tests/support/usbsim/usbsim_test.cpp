// The stand-in preloaded into a program that links the real libusb, as the updater does.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "UsbSimBus.h"

namespace {

// Runs the probe with extra environment entries and returns what it printed.
std::string runProbe(const std::vector<std::string>& environment) {
  int out[2];
  if (pipe(out) != 0) return "";
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    const char* probe = PROJECT_BINARY_DIR "/tests/support/usbsim/usbsim-probe";
    execl(probe, probe, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return text;
}

TEST(UsbSimPreload, AnUnmodifiedProgramSeesTheSimulatedDevices) {
  UsbSimBus bus;
  bus.plug(0x1234ABCD, 17);
  bus.list("12345678", 0x1111, 0x0002);
  bus.plug(0x00C0FFEE, 21);
  EXPECT_EQ(runProbe(bus.childEnvironment()), "1234ABCD 17\n00C0FFEE 21\nfound 2\n");
}

}  // namespace
