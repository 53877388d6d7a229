// The USB device layer against the libusb stand-in (simulated devices bridged to sockets).
#include <gtest/gtest.h>

#include <string>

#include "UsbSimBus.h"
#include "afusb.h"

namespace {

constexpr uint32_t kSerial = 0x1234ABCD;

struct OpenDevice {
  afusb_device* device = afusb_create_usb();
  ~OpenDevice() { afusb_destroy(&device); }
};

aErr readByte(afusb_device* device, uint8_t* byte) { return afusb_get_from_device(device, byte); }

std::string readBytes(afusb_device* device, size_t n) {
  std::string out;
  uint8_t byte;
  for (int attempts = 0; out.size() < n && attempts < 20; ++attempts)
    while (out.size() < n && readByte(device, &byte) == aErrNone) out.push_back(static_cast<char>(byte));
  return out;
}

std::string pattern(size_t n) {
  std::string bytes(n, 0);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + 1);
  return bytes;
}

aErr write(afusb_device* device, const std::string& bytes) {
  return afusb_write_to_device(device, reinterpret_cast<const uint8_t*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size()));
}

std::vector<std::string> outTransfers(const UsbSimBus& bus) {
  std::vector<std::string> out;
  for (const std::string& line : bus.trace())
    if (line.rfind("out ", 0) == 0) out.push_back(line.substr(line.rfind(' ') + 1));
  return out;
}

TEST(AfusbIdentity, FamilyIsVendor24FFWithProductBelow8000) {
  EXPECT_TRUE(is_axonforge_device(0x24FF, 0x0007));
  EXPECT_TRUE(is_axonforge_device(0x24FF, 0x7FFF));
  EXPECT_FALSE(is_axonforge_device(0x24FF, 0x8001));
  EXPECT_FALSE(is_axonforge_device(0x1234, 0x0007));
}

TEST(AfusbOpen, FindsTheDeviceBySerialAndClaimsTheVendorInterface) {
  UsbSimBus bus;
  bus.list("1234ABCD", 0x1111, 0x0011);  // same serial text, other vendor: never opened
  bus.plug(0x0000BEEF);
  UsbSimDevice& wanted = bus.plug(kSerial, 21);
  OpenDevice d;
  ASSERT_NE(d.device, nullptr);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CREATED));
  ASSERT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), aErrNone);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CLAIMED));
  EXPECT_EQ(d.device->interfaceNumber, 1);  // the decoy vendor interface 0 is passed over
  EXPECT_EQ(d.device->inEndpoint, 0x81);
  EXPECT_EQ(d.device->outEndpoint, 0x02);
  EXPECT_EQ(d.device->outMaxPacket, 512u);
  EXPECT_EQ(d.device->inMaxPacket, 512u);
  EXPECT_TRUE(wanted.waitConnected(true));
}

TEST(AfusbOpen, MissingDeviceIsNotFound) {
  UsbSimBus bus;
  bus.plug(0x0000BEEF);
  OpenDevice d;
  EXPECT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), aErrNotFound);
  EXPECT_EQ(d.device->handle, nullptr);
}

TEST(AfusbOpen, ClaimFailuresMapToTheirCodesAndCloseTheDevice) {
  UsbSimBus bus;
  bus.plug(kSerial);
  const struct {
    const char* result;
    aErr expected;
  } cases[] = {{"busy", aErrBusy}, {"nodev", aErrBusy}, {"access", aErrPermission}, {"other", aErrUnknown}};
  for (const auto& c : cases) {
    bus.setFaults(std::string("* claim ") + c.result + "\n");
    OpenDevice d;
    EXPECT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), c.expected) << c.result;
    EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CLOSED)) << c.result;
    EXPECT_EQ(d.device->handle, nullptr) << c.result;
  }
}

TEST(AfusbOpen, SecondClaimerIsBusyUntilTheFirstCloses) {
  UsbSimBus bus;
  bus.plug(kSerial);
  OpenDevice first, second, third;
  ASSERT_EQ(afusb_open_axonforge_device(first.device, "1234ABCD"), aErrNone);
  EXPECT_EQ(afusb_open_axonforge_device(second.device, "1234ABCD"), aErrBusy);
  EXPECT_EQ(afusb_close_axonforge_device(first.device), aErrNone);
  EXPECT_EQ(afusb_open_axonforge_device(third.device, "1234ABCD"), aErrNone);
}

class AfusbTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    peer = &bus.plug(kSerial);
    ASSERT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), aErrNone);
    ASSERT_TRUE(peer->waitConnected(true));
  }
  UsbSimBus bus;
  UsbSimDevice* peer = nullptr;
  OpenDevice d;
};

TEST_F(AfusbTransfer, TimedOutChunksAreSentAgainUntilTenFailures) {
  bus.enableTrace();
  bus.setFaults("* out timeout 1\n");
  ASSERT_EQ(write(d.device, "abc"), aErrNone);
  EXPECT_EQ(peer->waitReceived(3), "abc");
  EXPECT_EQ(outTransfers(bus).size(), 2u);
  bus.enableTrace();
  bus.setFaults("* out timeout always\n");
  EXPECT_EQ(write(d.device, "def"), aErrWrite);
  EXPECT_EQ(outTransfers(bus).size(), 10u);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CLAIMED));  // a write error is not an I/O error
}

TEST_F(AfusbTransfer, OpeningAnOpenDeviceKeepsItsClaim) {
  EXPECT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), aErrBusy);
  ASSERT_EQ(write(d.device, "still"), aErrNone);
  EXPECT_EQ(peer->waitReceived(5), "still");
}

TEST_F(AfusbTransfer, SmallerEndpointsTakeFullPackets) {
  afusb_close_axonforge_device(d.device);
  bus.setFaults("* maxpacket 64\n");
  ASSERT_EQ(afusb_open_axonforge_device(d.device, "1234ABCD"), aErrNone);
  EXPECT_EQ(d.device->outMaxPacket, 64u);
  bus.enableTrace();
  ASSERT_EQ(write(d.device, pattern(130)), aErrNone);
  EXPECT_EQ(outTransfers(bus), (std::vector<std::string>{"64", "64", "2"}));
}

TEST_F(AfusbTransfer, ReadsHandOutEveryByteInOrder) {
  const std::string bytes = pattern(1500);  // more than one IN transfer's buffer
  ASSERT_TRUE(peer->send(bytes));
  EXPECT_EQ(readBytes(d.device, bytes.size()), bytes);
}

TEST_F(AfusbTransfer, FourIOErrorsAreAbsorbedAndTheCountRestarts) {
  bus.setFaults("* in io 4\n");
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(readByte(d.device, &byte), aErrNotReady) << i;
  EXPECT_EQ(d.device->errorCount, 4);
  ASSERT_TRUE(peer->send("\x42"));
  ASSERT_EQ(readByte(d.device, &byte), aErrNone);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(d.device->errorCount, 0);
  bus.setFaults("* in io 4\n");  // four more after a good read are absorbed again
  for (int i = 0; i < 4; ++i) EXPECT_EQ(readByte(d.device, &byte), aErrNotReady) << i;
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CLAIMED));
}

TEST_F(AfusbTransfer, FifthIOErrorFailsTheDeviceForGood) {
  bus.setFaults("* in io 5\n");
  uint8_t byte;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(readByte(d.device, &byte), aErrNotReady) << i;
  EXPECT_EQ(readByte(d.device, &byte), aErrIO);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_FAILED));
  ASSERT_TRUE(peer->send("ab"));  // the device works again, the record stays failed
  EXPECT_EQ(readByte(d.device, &byte), aErrIO);
  EXPECT_EQ(write(d.device, "x"), aErrIO);
}

TEST_F(AfusbTransfer, StalledEndpointsAreClearedAndTrafficGoesOn) {
  bus.enableTrace();
  bus.setFaults("* in pipe 1\n* out pipe 1\n");
  uint8_t byte;
  EXPECT_EQ(readByte(d.device, &byte), aErrNotReady);
  ASSERT_EQ(write(d.device, "hello"), aErrNone);
  EXPECT_EQ(peer->waitReceived(5), "hello");  // the stalled chunk is sent again, once
  const std::vector<std::string> trace = bus.trace();
  EXPECT_NE(std::find(trace.begin(), trace.end(), "clearhalt 1234ABCD 81"), trace.end());
  EXPECT_NE(std::find(trace.begin(), trace.end(), "clearhalt 1234ABCD 02"), trace.end());
}

TEST_F(AfusbTransfer, StallThatCannotBeClearedCountsAsAnIOError) {
  bus.setFaults("* out pipe 1\n* clearhalt io 1\n");
  EXPECT_EQ(write(d.device, "abc"), aErrNone);  // absorbed by the tolerance counter
  EXPECT_EQ(d.device->errorCount, 1);
  EXPECT_EQ(peer->waitReceived(3), "abc");
}

TEST_F(AfusbTransfer, UnpluggedDeviceFailsWritesAndEndsFailedOnReads) {
  bus.unplug(kSerial);
  EXPECT_EQ(write(d.device, "abc"), aErrWrite);
  uint8_t byte;
  aErr last = aErrNone;
  for (int i = 0; i < 5; ++i) last = readByte(d.device, &byte);
  EXPECT_EQ(last, aErrIO);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_FAILED));
}

TEST_F(AfusbTransfer, ClosedDeviceRefusesTransfers) {
  ASSERT_EQ(afusb_close_axonforge_device(d.device), aErrNone);
  EXPECT_EQ(d.device->state, uint32_t(AFUSB_STATE_CLOSED));
  EXPECT_EQ(d.device->outEndpoint, 0);
  uint8_t byte;
  EXPECT_EQ(readByte(d.device, &byte), aErrConnection);
  EXPECT_EQ(write(d.device, "x"), aErrConnection);
  EXPECT_EQ(afusb_close_axonforge_device(d.device), aErrMode);
  EXPECT_TRUE(peer->waitConnected(false));
}

TEST(AfusbRecord, NullArgumentsAreRefused) {
  EXPECT_EQ(afusb_destroy(nullptr), aErrParam);
  afusb_device* none = nullptr;
  EXPECT_EQ(afusb_destroy(&none), aErrParam);
  uint8_t byte;
  EXPECT_EQ(afusb_get_from_device(nullptr, &byte), aErrParam);
  EXPECT_EQ(afusb_write_to_device(nullptr, &byte, 1), aErrParam);
  OpenDevice d;
  EXPECT_EQ(afusb_open_axonforge_device(d.device, nullptr), aErrParam);
  EXPECT_EQ(afusb_get_from_device(d.device, nullptr), aErrParam);
  EXPECT_EQ(afusb_get_from_device(d.device, &byte), aErrNotReady);  // created, not open
}

}  // namespace
