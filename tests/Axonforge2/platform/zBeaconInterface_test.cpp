// The process-wide beacon interface name and its lock.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "zBeaconInterface.h"

namespace {

// True when another thread can take the lock (and give it back) within a short time.
bool lockIsFree() {
  auto other = std::async(std::launch::async, [] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
  return other.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready;
}

TEST(BeaconInterface, UnacceptableNamesAreRefusedWithoutLocking) {
  for (const char* name : {"eth0", "1.2.3", "10.0.0.256", "localhost"}) {
    EXPECT_FALSE(zBeaconInterface_setAndLock(name)) << name;
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock(name)) << name;
  }
  EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
  EXPECT_TRUE(lockIsFree());
}

TEST(BeaconInterface, SelectionHoldsTheLockUntilReleased) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("10.1.2.3"));
  EXPECT_STREQ(zBeaconInterface_get(), "10.1.2.3");
  auto waiter = std::async(std::launch::async, [] {
    const std::string name = zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
    return name;
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  zBeaconInterface_unlock();
  EXPECT_EQ(waiter.get(), "10.1.2.3");
  for (const char* name : {"", "*"}) {
    ASSERT_TRUE(zBeaconInterface_setAndLock(name)) << name;
    EXPECT_STREQ(zBeaconInterface_get(), name);
    zBeaconInterface_unlock();
  }
}

TEST(BeaconInterface, BackupKeepsThePreviousNameForRestoring) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("192.168.7.1"));
  zBeaconInterface_unlock();
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.231.0.1"));
  EXPECT_STREQ(zBeaconInterface_get(), "10.231.0.1");
  EXPECT_STREQ(zBeaconInterface_getBackup(), "192.168.7.1");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_STREQ(zBeaconInterface_get(), "192.168.7.1");
  EXPECT_TRUE(lockIsFree());
  EXPECT_STREQ(zBeaconInterface_getBackupAndLock(), "192.168.7.1");
  zBeaconInterface_unlock();
}

}  // namespace
