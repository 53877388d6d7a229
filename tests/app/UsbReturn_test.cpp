// Waiting for a restarting USB device to be listed again, on the simulated bus.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "UsbReturn.h"
#include "UsbSimBus.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;

TEST(UsbReturn, EndsWhenTheDeviceIsListedAgainAndNotBefore) {
  UsbSimBus bus;
  bus.plug(kSerial);
  EXPECT_TRUE(AwaitUsbDevice(kSerial, 2000, false)) << "listed already";
  // A device that never left does not count as having come back.
  EXPECT_FALSE(AwaitUsbDevice(kSerial, 100, true));
  EXPECT_FALSE(AwaitUsbDevice(0x0BADF00D, 100, false));

  bus.unplug(kSerial);
  auto wait = std::async(std::launch::async, [] { return AwaitUsbDevice(kSerial, 60000, true); });
  EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout) << "still missing";
  bus.plug(kSerial);
  EXPECT_TRUE(wait.get());
}

}  // namespace
