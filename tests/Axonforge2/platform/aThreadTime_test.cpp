#include <gtest/gtest.h>

#include <atomic>

#include "aThread.h"
#include "aTime.h"

namespace {

void sSetFlagLater(void* argument) {
  aTime_MSSleep(30);
  static_cast<std::atomic<int>*>(argument)->store(42);
}

}  // namespace

TEST(aThread, DestroyJoinsTheThread) {
  std::atomic<int> flag{0};
  aThread* thread = aThread_Create(sSetFlagLater, &flag);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(flag.load(), 42);  // the function had finished when Destroy returned
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), aErrParam);
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  EXPECT_EQ(aThread_Yield(), aErrNone);
}

TEST(aTime, SleepLastsAtLeastTheTimeAskedEvenPastOneSecond) {
  const uint32_t start = aTime_GetMSTicks();
  EXPECT_EQ(aTime_MSSleep(1050), aErrNone);  // more than one 999999-microsecond step
  const uint32_t elapsed = aTime_GetMSTicks() - start;
  EXPECT_GE(elapsed, 1050u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(aTime, ZeroSleepReturnsAtOnceAndTicksAdvance) {
  const uint32_t start = aTime_GetMSTicks();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_LT(aTime_GetMSTicks() - start, 5u);
  aTime_MSSleep(20);
  const uint32_t elapsed = aTime_GetMSTicks() - start;
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 500u);
}
