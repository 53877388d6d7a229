// The hidapi stand-in preloaded into a program that links the real hidapi, as the updater does.
#include <gtest/gtest.h>

#include "ImxBootRomProcess.h"
#include "RunProcess.h"
#include "UsbSimBus.h"

namespace {

std::string RunProbe(const std::vector<std::string>& environment) {
  return RunProcess({PROJECT_BINARY_DIR "/tests/support/hidsim/hidsim-probe"}, 30000, environment).out;
}

TEST(HidSimPreload, AnUnmodifiedProgramReachesTheSimulatedBootRom) {
  ImxBootRomProcess rom({"--register", "0x401F4410=0x0BADF00D", "--register", "0x401F4420=0x00C0FFEE"});
  ASSERT_TRUE(rom.ready()) << rom.Log();
  EXPECT_EQ(RunProbe(rom.childEnvironment()), "init 0 fingerprint 0 00C0FFEE0BADF00D\n");
  // Without a device directory the stand-in shows no devices at all.
  EXPECT_EQ(RunProbe({"LD_PRELOAD=" + HidSimLibraryPath(), "AXONFORGE_HIDSIM_DIR=",
                      PreloadSanitizerOptions()}),
            "init 6 fingerprint -1 0000000000000000\n");
}

}  // namespace
