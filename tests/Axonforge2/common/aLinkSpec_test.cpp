#include <gtest/gtest.h>

#include <string.h>

#include "aLinkSpec.h"

TEST(aLinkSpec, CreateIsZeroedWithType) {
  linkSpec* spec = aLinkSpec_Create(SERIAL);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, SERIAL);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(spec);
  for (size_t i = 4; i < sizeof(linkSpec); ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(aLinkSpec, WireImageIsLittleEndianAtFixedOffsets) {
  linkSpec spec{};
  spec.type = AWEAVE;
  spec.serialNumber = 0x11223344;
  spec.model = 19;
  spec.ipAddress = 0x0100007F;  // 127.0.0.1 in network order on a little-endian host
  spec.ipPort = 5555;
  uint8_t image[128];
  memcpy(image, &spec, sizeof image);
  EXPECT_EQ(image[0], 4);
  EXPECT_EQ(image[4], 0x44);
  EXPECT_EQ(image[7], 0x11);
  EXPECT_EQ(image[20], 19);
  EXPECT_EQ(image[24], 127);
  EXPECT_EQ(image[27], 1);
  EXPECT_EQ(image[28], 5555 & 0xFF);
  EXPECT_EQ(image[29], 5555 >> 8);
  for (size_t i = 32; i < sizeof image; ++i) EXPECT_EQ(image[i], 0) << i;
}

TEST(aLinkSpec, CopyDuplicatesAllBytes) {
  linkSpec spec{};
  spec.type = SERIAL;
  spec.baudRate = 115200;
  strcpy(spec.portName, "/dev/ttyUSB0");
  spec.portName[99] = 'z';  // the last byte of the record travels too
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(0, memcmp(copy, &spec, sizeof spec));
  EXPECT_STREQ(copy->portName, "/dev/ttyUSB0");
  aLinkSpec_Destroy(&copy);
}
