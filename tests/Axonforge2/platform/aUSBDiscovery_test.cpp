// USB enumeration and the find operations over simulated USB devices.
#include <gtest/gtest.h>

#include <vector>

#include "CollectedSpecs.h"
#include "UsbSimBus.h"
#include "aDiscovery.h"

namespace {

TEST(USBDiscovery, ListsExactlyTheFamilyDevicesWithEightDigitSerials) {
  UsbSimBus bus;
  bus.plug(0x1234ABCD, 17);
  bus.list("ABCDEF0", 0x24ff, 0x0011);    // 7 characters
  bus.list("12345678", 0x1111, 0x0011);   // another vendor
  bus.list("87654321", 0x24ff, 0x8001);   // product with bit 15: not a family device
  bus.list("XYZ01234", 0x24ff, 0x0011);   // not a hexadecimal serial number
  bus.plug(0x0000BEEF, 0x0115);
  CollectedSpecs c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &c, 0), 2);
  ASSERT_EQ(c.specs.size(), 2u);
  const linkSpec& first = c.specs[0];
  EXPECT_EQ(first.type, USB);
  EXPECT_EQ(first.serialNumber, 0x1234ABCDu);
  EXPECT_EQ(first.usbId, 0x1234ABCDu);
  EXPECT_EQ(first.model, 17u);
  EXPECT_EQ(first.module, 0u);
  EXPECT_EQ(first.router, 0u);
  EXPECT_EQ(first.routerSerialNumber, 0u);
  EXPECT_EQ(c.specs[1].serialNumber, 0x0000BEEFu);
  EXPECT_EQ(c.specs[1].model, 0x15u);  // the low byte of the product id
}

TEST(USBDiscovery, CountsOnlyMatchedCallsAndStopsWhenTold) {
  UsbSimBus bus;
  for (uint32_t serial = 1; serial <= 3; ++serial) bus.plug(serial);
  CollectedSpecs unmatched;
  unmatched.match = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &unmatched, 0), 0);
  EXPECT_EQ(unmatched.specs.size(), 3u);
  CollectedSpecs stopping;
  stopping.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &stopping, 0), 1);
  EXPECT_EQ(stopping.specs.size(), 1u);
}

TEST(USBDiscovery, DevicesThatCannotBeOpenedAreSkipped) {
  UsbSimBus bus;
  bus.plug(0x11111111);
  bus.plug(0x22222222);
  bus.setFaults("11111111 open access always\n");
  CollectedSpecs c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &c, 0), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].serialNumber, 0x22222222u);
}

TEST(USBDiscovery, NothingWithoutSimulatedDevicesOrForOtherTypes) {
  CollectedSpecs c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &c, 0), 0);
  UsbSimBus bus;
  bus.plug(0x11111111);
  EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, CollectSpec, &c, 0), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(INVALID, CollectSpec, &c, 0), 0);
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, &c, 0), 0);
  EXPECT_TRUE(c.specs.empty());
}

TEST(USBDiscovery, FindsAModuleBySerialNumberOrTheFirstOne) {
  UsbSimBus bus;
  bus.list("00000000", 0x24ff, 0x0005);  // serial number 0 is never "the first module"
  bus.plug(0x0000AAAA, 4);
  bus.plug(0x0000BBBB, 13);
  linkSpec* found = aDiscovery_FindModule(USB, 0x0000BBBB, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->serialNumber, 0x0000BBBBu);
  EXPECT_EQ(found->model, 13u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x0000CCCC, 0), nullptr);
  linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->serialNumber, 0x0000AAAAu);
  aLinkSpec_Destroy(&first);
}

TEST(USBDiscovery, DeviceThatDisappearsIsNoLongerListed) {
  UsbSimBus bus;
  bus.plug(0x0000AAAA);
  bus.plug(0x0000BBBB);
  bus.unplug(0x0000AAAA);
  CollectedSpecs c;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, CollectSpec, &c, 0), 1);
  ASSERT_EQ(c.specs.size(), 1u);
  EXPECT_EQ(c.specs[0].serialNumber, 0x0000BBBBu);
}

}  // namespace
