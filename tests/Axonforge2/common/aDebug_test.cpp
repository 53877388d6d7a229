#include <gtest/gtest.h>

#include "FdCapture.h"
#include "aDebug.h"

TEST(aDebug, PrintsOnlyWhenEnabledForTheMask) {
  FdCapture capture(1, FdCapture::ToFile);
  aDebug_Printf(0x1, "off %d\n", 1);  // switched off by default
  aAxonforgeDebuggingEnable = 1;
  aAxonforgeDebuggingLevel = 0x40;
  aDebug_Printf(0x1, "wrong mask\n");
  aDebug_Printf(0x40, "shown %s\n", "here");
  EXPECT_TRUE(aDebug_IsOn(0x41));
  aAxonforgeDebuggingEnable = 0;
  aAxonforgeDebuggingLevel = 0;
  EXPECT_FALSE(aDebug_IsOn(0x40));
  EXPECT_EQ(capture.Finish(), "shown here\n");
}
