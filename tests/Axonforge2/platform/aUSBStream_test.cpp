// The USB stream as the link engine uses it: through the libusb stand-in (scripted peers and the
// device simulator) and through the kernel driver's node.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "KernelDriverNode.h"
#include "UsbModuleSim.h"
#include "UsbSimBus.h"
#include "aUSBStream.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;

struct Stream {
  aStream* stream = nullptr;
  ~Stream() {
    if (stream) aStream_Destroy(&stream);
  }
};

aErr writeAll(aStream* stream, const std::string& bytes) {
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Reads n bytes, retrying while the stream is merely not ready yet.
std::string readAll(aStream* stream, size_t n) {
  std::string bytes(n, '\0');
  for (int attempt = 0; attempt < 5; ++attempt)
    if (aStream_Read(stream, reinterpret_cast<uint8_t*>(&bytes[0]), n) == aErrNone) return bytes;
  return "";
}

std::string pattern(size_t n) {
  std::string bytes(n, 0);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 13 + 5);
  return bytes;
}

TEST(USBStream, OpensBySerialNumberAndMovesBlocksBothWays) {
  UsbSimBus bus;
  bus.plug(0x0000BEEF, 17, 0x24ff, true);
  bus.plug(kSerial, 17, 0x24ff, true);  // echoes what it receives
  Stream s;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  ASSERT_NE(s.stream, nullptr);
  bus.enableTrace();
  const std::string block = pattern(1024);
  ASSERT_EQ(writeAll(s.stream, block), aErrNone);
  EXPECT_EQ(bus.trace(), (std::vector<std::string>{"out 1234ABCD 511", "out 1234ABCD 511", "out 1234ABCD 2"}));
  EXPECT_EQ(readAll(s.stream, block.size()), block);
  ASSERT_EQ(writeAll(s.stream, "\x42"), aErrNone);  // a single byte goes through put
  EXPECT_EQ(readAll(s.stream, 1), "\x42");
}

TEST(USBStream, OpenFailuresLeaveNoStream) {
  UsbSimBus bus;
  bus.plug(kSerial);
  aStream* stream = reinterpret_cast<aStream*>(0x1);
  EXPECT_EQ(aStream_CreateUSB(0x0000CAFE, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
  bus.setFaults("* claim access\n");
  EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrPermission);
  EXPECT_EQ(stream, nullptr);
}

TEST(USBStream, DeviceIsExclusiveUntilItsStreamIsDestroyed) {
  UsbSimBus bus;
  UsbSimDevice& device = bus.plug(kSerial);
  Stream first;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &first.stream), aErrNone);
  aStream* second = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrBusy);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(aStream_Destroy(&first.stream), aErrNone);
  EXPECT_TRUE(device.waitConnected(false));
  Stream third;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &third.stream), aErrNone);
}

TEST(USBStream, ReadWithoutDataIsNotReadyAfterAboutASecond) {
  UsbSimBus bus;
  bus.plug(kSerial);
  Stream s;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  uint8_t byte;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

// An interrupt ends a read that waits for a byte (or, sent before it, the next read) with "not
// ready", and loses nothing the device sends afterwards.
TEST(USBStream, InterruptEndsAWaitingReadAndLosesNoLaterByte) {
  UsbSimBus bus;
  UsbSimDevice& device = bus.plug(kSerial);
  Stream s;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  uint8_t byte = 0;
  ASSERT_EQ(aStream_Interrupt(s.stream), aErrNone);
  EXPECT_EQ(aStream_Read(s.stream, &byte, 1), aErrNotReady);
  for (int round = 0; round < 3; ++round) {
    auto reader = std::async(std::launch::async, [&] {
      uint8_t got = 0;
      return aStream_Read(s.stream, &got, 1);
    });
    // Interrupted until the reader has returned, whether it was waiting already or not yet.
    while (reader.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
      ASSERT_EQ(aStream_Interrupt(s.stream), aErrNone);
    EXPECT_EQ(reader.get(), aErrNotReady);
  }
  ASSERT_TRUE(device.send("ok"));
  EXPECT_EQ(readAll(s.stream, 2), "ok");
}

// A device simulator presenting one USB module through a directory the stand-in reads.
class SimulatedUSBModule : public ::testing::Test {
 protected:
  void SetUp() override {
    usb = std::make_unique<UsbModuleSim>(kSerial, 17, 6);
    ASSERT_EQ(usb->error(), "");
  }
  void TearDown() override {
    if (s.stream) aStream_Destroy(&s.stream);
    usb.reset();
  }
  std::string addressQuery() {
    if (writeAll(s.stream, std::string("\xAD\x00", 2)) != aErrNone) return "";
    return readAll(s.stream, 2);
  }
  std::unique_ptr<UsbModuleSim> usb;
  Stream s;
};

TEST_F(SimulatedUSBModule, AnswersTheAddressQuery) {
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  EXPECT_EQ(addressQuery(), std::string("\x06\x00", 2));
}

TEST_F(SimulatedUSBModule, UnpluggedModuleFailsTheStreamAndComesBackForANewOne) {
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  ASSERT_TRUE(usb->sim().setUsbPlugged(kSerial, false));
  uint8_t byte;
  aErr err = aErrNone;
  for (int i = 0; i < 5; ++i) err = aStream_Read(s.stream, &byte, 1);
  EXPECT_EQ(err, aErrIO);
  aStream* missing = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &missing), aErrNotFound);
  aStream_Destroy(&s.stream);
  ASSERT_TRUE(usb->sim().setUsbPlugged(kSerial, true));
  ASSERT_EQ(aStream_CreateUSB(kSerial, &s.stream), aErrNone);
  EXPECT_EQ(addressQuery(), std::string("\x06\x00", 2));
}

// With the kernel driver's node present the stream uses it, even when libusb sees the device.
TEST(USBStream, UsesTheKernelDriverNodeWhenItExists) {
  if (geteuid() != 0) GTEST_SKIP() << "creating the driver node under /dev needs root";
  const uint32_t serial = 0xB0000000u | static_cast<uint32_t>(getpid() & 0xFFFFFF);
  UsbSimBus bus;
  UsbSimDevice& overLibusb = bus.plug(serial);
  KernelDriverNode node(serial);
  ASSERT_EQ(node.error(), "");
  const int master = node.master();
  Stream s;
  EXPECT_EQ(aStream_CreateUSB(serial, &s.stream), aErrNone);
  if (s.stream) {
    EXPECT_EQ(writeAll(s.stream, "node"), aErrNone);
    char got[4] = {0};
    EXPECT_EQ(read(master, got, 4), 4);
    EXPECT_EQ(std::string(got, 4), "node");
    EXPECT_EQ(::write(master, "back", 4), 4);
    EXPECT_EQ(readAll(s.stream, 4), "back");
    EXPECT_TRUE(overLibusb.received().empty());
  }
  aStream_Destroy(&s.stream);
}

}  // namespace
