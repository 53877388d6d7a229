#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TempDir.h"
#include "aLogger.h"

namespace {

using std::chrono::milliseconds;

// What the callback saw, shared through a global because the callback only gets the
// logger's parameter.
std::atomic<int> gCalls{0};
std::atomic<uint32_t> gParameter{0};

void countingWriter(aFile* file, uint32_t parameter) {
  gParameter = parameter;
  aFile_Printf(file, "call %d\n", gCalls.fetch_add(1));
  std::this_thread::sleep_for(milliseconds(1));
}

bool waitForCalls(int atLeast) {
  for (int i = 0; i < 2000 && gCalls < atLeast; ++i) std::this_thread::sleep_for(milliseconds(1));
  return gCalls >= atLeast;
}

class Logger : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls = 0;
    gParameter = 0;
  }
  TempDir dir;
};

}  // namespace

TEST_F(Logger, RefusesAMissingCallbackOrAnUnopenablePath) {
  EXPECT_EQ(aLogger_Create(1, countingWriter, (dir / "missing/dir/log.txt").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, (dir / "log.txt").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
}

TEST_F(Logger, RunsTheCallbackUntilDisabledAndAppendsToTheFile) {
  const std::string path = dir / "log.txt";
  WriteTextFile(path, "earlier\n");
  aLogger* logger = aLogger_Create(42, countingWriter, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(gCalls, 0);  // nothing runs before enable

  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
  ASSERT_TRUE(waitForCalls(3));
  EXPECT_EQ(gParameter, 42u);
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  const int stoppedAt = gCalls;
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(gCalls, stoppedAt);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running

  // Unbuffered: everything written is in the file already, after what was there.
  const std::string text = ReadTextFile(path);
  EXPECT_EQ(text.rfind("earlier\ncall 0\ncall 1\n", 0), 0u) << text;
  EXPECT_NE(text.find("call " + std::to_string(stoppedAt - 1) + "\n"), std::string::npos);

  ASSERT_EQ(aLogger_Enable(logger), aErrNone);  // can run again
  ASSERT_TRUE(waitForCalls(stoppedAt + 1));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

namespace {

aLogger* gSelf = nullptr;
std::atomic<int> gSelfDisable{-1}, gSelfDestroy{-1};

// Tries to stop and free its own logger from inside the callback.
void selfStoppingWriter(aFile*, uint32_t) {
  gSelfDisable = aLogger_Disable(gSelf);
  gSelfDestroy = aLogger_Destroy(&gSelf);
  std::this_thread::sleep_for(milliseconds(1));
}

}  // namespace

TEST_F(Logger, CallbackCannotStopOrFreeItsOwnThread) {
  gSelf = aLogger_Create(0, selfStoppingWriter, (dir / "self.txt").c_str());
  ASSERT_NE(gSelf, nullptr);
  aLogger* logger = gSelf;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  for (int i = 0; i < 2000 && gSelfDestroy < 0; ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(gSelfDisable, aErrNone);
  EXPECT_EQ(gSelfDestroy, aErrBusy);
  EXPECT_EQ(gSelf, logger);  // not freed under its own feet
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}
