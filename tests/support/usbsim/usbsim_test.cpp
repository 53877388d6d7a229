// The stand-in preloaded into a program that links the real libusb, as the updater does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunProcess.h"
#include "UsbSimBus.h"

namespace {

// Runs the probe with extra environment entries and returns what it printed.
std::string runProbe(const std::vector<std::string>& environment) {
  return RunProcess({PROJECT_BINARY_DIR "/tests/support/usbsim/usbsim-probe"}, 30000, environment).out;
}

TEST(UsbSimPreload, AnUnmodifiedProgramSeesTheSimulatedDevices) {
  UsbSimBus bus;
  bus.plug(0x1234ABCD, 17);
  bus.list("12345678", 0x1111, 0x0002);
  bus.plug(0x00C0FFEE, 21);
  EXPECT_EQ(runProbe(bus.childEnvironment()), "1234ABCD 17\n00C0FFEE 21\nfound 2\n");
}

}  // namespace
