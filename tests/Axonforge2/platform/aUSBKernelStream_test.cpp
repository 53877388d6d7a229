// The USB stream through the kernel driver's node, played by a pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "KernelDriverNode.h"
#include "aUSBKernelStream.h"

namespace {

std::string pattern(size_t n) {
  std::string bytes(n, 0);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + 1);
  return bytes;
}

class USBKernelStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating the driver node under /dev needs root";
    serial = 0xA0000000u | static_cast<uint32_t>(getpid() & 0xFFFFFF);
    kernelNode = std::make_unique<KernelDriverNode>(serial);
    ASSERT_EQ(kernelNode->error(), "");
    master = kernelNode->master();
    node = kernelNode->path();
  }
  void TearDown() override { aStream_Destroy(&stream); }
  std::string fromHost(size_t n) {
    std::string out;
    char buffer[256];
    while (out.size() < n) {
      ssize_t got = read(master, buffer, sizeof buffer);
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
  std::string readBytes(size_t n) {
    std::string out;
    uint8_t byte;
    for (int attempts = 0; out.size() < n && attempts < 20; ++attempts)
      while (out.size() < n && aStream_Read(stream, &byte, 1) == aErrNone) out.push_back(static_cast<char>(byte));
    return out;
  }
  std::unique_ptr<KernelDriverNode> kernelNode;  // outlives the stream: TearDown runs first
  int master = -1;
  uint32_t serial = 0;
  std::string node;
  aStream* stream = nullptr;
};

TEST_F(USBKernelStream, BytesTravelThroughTheNode) {
  EXPECT_TRUE(aUSBKernelStream_NodeExists(serial));
  EXPECT_FALSE(aUSBKernelStream_NodeExists(serial ^ 1));
  ASSERT_EQ(aUSBKernelStream_Create(serial, &stream), aErrNone);
  const std::string bytes = pattern(300);
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), aErrNone);
  EXPECT_EQ(fromHost(bytes.size()), bytes);
  ASSERT_EQ(::write(master, "\x10\x20", 2), 2);
  EXPECT_EQ(readBytes(2), "\x10\x20");
  uint8_t byte;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  // An interrupt ends the next wait with "not ready"; the bytes that follow still arrive.
  EXPECT_EQ(aStream_Interrupt(stream), aErrNone);
  ASSERT_EQ(::write(master, "\x30", 1), 1);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_EQ(readBytes(1), "\x30");
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(USBKernelStream, MissingNodeIsAnIOError) {
  unlink(node.c_str());
  EXPECT_EQ(aUSBKernelStream_Create(serial, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
