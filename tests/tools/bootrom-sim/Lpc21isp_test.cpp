#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "LpcSimProcess.h"
#include "RunProcess.h"
#include "TempDir.h"

namespace {

const char* const kLpc21isp = "/usr/bin/lpc21isp";

// A firmware image whose first eight vector words already sum to zero, the signature the LPC17xx
// boot loader looks for: lpc21isp then sends it unchanged.
std::vector<uint8_t> Firmware(size_t n) {
  std::vector<uint8_t> image(n);
  uint32_t seed = 99;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    image[i] = static_cast<uint8_t>(seed >> 24);
  }
  uint32_t total = 0;
  for (int w = 0; w < 7; ++w) {
    uint32_t word;
    memcpy(&word, image.data() + 4 * w, 4);
    total += word;
  }
  const uint32_t signature = 0u - total;
  memcpy(image.data() + 28, &signature, 4);
  return image;
}

// lpc21isp, an ISP programmer nobody here wrote, programs the simulated chip.
TEST(Lpc21isp, WritesABinaryIntoTheSimulatedFlash) {
  if (access(kLpc21isp, X_OK) != 0) GTEST_SKIP() << "lpc21isp is not installed (Debian package lpc21isp)";
  LpcSimProcess sim({"--erase-ms", "0", "--program-ms", "0"});
  ASSERT_TRUE(sim.ready()) << sim.Log();
  TempDir dir;
  const std::vector<uint8_t> image = Firmware(70000);  // past the 4 KB sectors into a 32 KB one
  WriteTextFile(dir / "firmware.bin", std::string(image.begin(), image.end()));
  const ProcessResult run =
      RunProcess({kLpc21isp, "-bin", "-donotstart", dir / "firmware.bin", sim.port(), "115200", "14746"}, 120000);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err << sim.Log();
  EXPECT_EQ(sim.Stop(), 0);
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_EQ(flash.size(), 0x80000u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << sim.Log();
  EXPECT_EQ(flash[0x20000], 0xFF);
}

}  // namespace
