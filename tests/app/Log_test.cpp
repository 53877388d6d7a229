#include <gtest/gtest.h>

#include <string>

#include "Log.h"
#include "LogCapture.h"

namespace {

// What body logs, with the packages as they are.
std::string Capture(void (*body)()) {
  LogCapture capture(0);
  body();
  return capture.Text();
}

TEST(Log, PackageMaskSelectsLines) {
  Log::DeactivatePackage(0xFFFFFFFF);
  EXPECT_EQ(Capture([] {
              Log::log(0x400, "firm\n");
              Log::log(0, "always\n");
            }),
            "always\n");
  Log::ActivatePackage(0x401);
  Log::DeactivatePackage(0x1);
  EXPECT_EQ(Capture([] {
              Log::log(0x1, "updater\n");
              Log::log(0x400, "firm\n");
              Log::log(0, "zero\n");
            }),
            "firm\nzero\n");
  Log::DeactivatePackage(0xFFFFFFFF);
}

TEST(Log, LongLinesAreCutTo2047Characters) {
  Log::ActivatePackage(DEBUG_Updater);
  std::string text = Capture([] { Log::log(DEBUG_Updater, "%s", std::string(5000, 'x').c_str()); });
  Log::DeactivatePackage(DEBUG_Updater);
  EXPECT_EQ(text.size(), 2047u);
}

}  // namespace
