#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "aMutex.h"

TEST(aMutex, NameLengthLimit) {
  const std::string longest(aMUTEX_MAX_NAME, 'm');
  EXPECT_EQ(aMutex_Create((longest + "x").c_str()), nullptr);
  aMutex* m = aMutex_Create(longest.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), longest);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
  m = aMutex_Create(nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(aMutex_Identifier(m), "");
  aMutex_Destroy(&m);
}

TEST(aMutex, TryLockSeesAnotherThreadsLock) {
  aMutex* m = aMutex_Create("shared");
  ASSERT_EQ(aMutex_Lock(m), aErrNone);
  aErr fromOther = aErrNone;
  std::thread([&] { fromOther = aMutex_TryLock(m); }).join();
  EXPECT_EQ(fromOther, aErrBusy);
  // A held mutex is not freed under its holder.
  EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  std::thread([&] {
    fromOther = aMutex_TryLock(m);
    if (fromOther == aErrNone) aMutex_Unlock(m);
  }).join();
  EXPECT_EQ(fromOther, aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(aMutex, ExcludesConcurrentIncrements) {
  aMutex* m = aMutex_Create("counter");
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      aMutex_Lock(m);
      ++counter;
      aMutex_Unlock(m);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  aMutex_Destroy(&m);
}

TEST(aMutex, NullHandles) {
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
}
