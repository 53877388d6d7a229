#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "aPacketLog.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  uint8_t direction;
  Bytes bytes;
};

class PacketLog : public ::testing::Test {
 protected:
  void TearDown() override { aPacketLog_Destroy(&log); }
  void create(uint32_t size) {
    log = aPacketLog_Create(size);
    ASSERT_NE(log, nullptr);
  }
  aErr put(uint8_t direction, const Bytes& bytes) {
    return aPacketLog_Put(log, direction, uint32_t(bytes.size()), bytes.data());
  }
  // The oldest record; fails the test when there is none.
  Record take() {
    Record record{0, Bytes(255)};
    uint32_t length = uint32_t(record.bytes.size());
    EXPECT_EQ(aPacketLog_Get(log, &record.direction, &length, record.bytes.data()), aErrNone);
    record.bytes.resize(length);
    return record;
  }
  bool empty() {
    uint8_t direction;
    uint32_t length = 255;
    uint8_t buffer[255];
    return aPacketLog_Get(log, &direction, &length, buffer) == aErrNotFound;
  }
  aPacketLog* log = nullptr;
};

Bytes bytesOf(uint8_t first, size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(first + i);
  return bytes;
}

}  // namespace

TEST_F(PacketLog, StartsEmptyAndDisabled) {
  create(64);
  EXPECT_FALSE(log->enabled);
  EXPECT_TRUE(empty());
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
}

TEST_F(PacketLog, DropsOldestRecordsToMakeRoom) {
  create(16);
  ASSERT_EQ(put(1, bytesOf(10, 4)), aErrNone);
  ASSERT_EQ(put(2, bytesOf(20, 4)), aErrNone);  // 12 of 16 bytes used: still fits
  ASSERT_EQ(put(3, bytesOf(30, 4)), aErrNone);  // only by dropping the first
  Record second = take();
  EXPECT_EQ(second.direction, 2);
  EXPECT_EQ(second.bytes, bytesOf(20, 4));
  Record third = take();
  EXPECT_EQ(third.direction, 3);
  EXPECT_EQ(third.bytes, bytesOf(30, 4));
  EXPECT_TRUE(empty());
}

TEST_F(PacketLog, RefusesARecordThatCanNeverFit) {
  create(16);
  ASSERT_EQ(put(1, bytesOf(1, 4)), aErrNone);
  EXPECT_EQ(put(2, bytesOf(50, 18)), aErrOverrun);
  EXPECT_EQ(put(2, bytesOf(50, 14)), aErrOverrun);  // 16 bytes: one must stay free
  Record kept = take();
  EXPECT_EQ(kept.bytes, bytesOf(1, 4));
  EXPECT_TRUE(empty());
  EXPECT_EQ(put(1, bytesOf(0, 13)), aErrNone);  // 15 bytes: the largest that fits
  EXPECT_EQ(take().bytes, bytesOf(0, 13));
}

TEST_F(PacketLog, ShortBufferReportsTheLengthAndKeepsTheRecord) {
  create(64);
  ASSERT_EQ(put(2, bytesOf(7, 6)), aErrNone);
  uint8_t direction = 0;
  uint32_t length = 3;
  uint8_t buffer[3];
  EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(direction, 2);
  EXPECT_EQ(take().bytes, bytesOf(7, 6));
}

TEST_F(PacketLog, RejectsBadArguments) {
  create(1024);
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log, 1, 4, nullptr), aErrParam);
  EXPECT_EQ(put(1, Bytes(256)), aErrParam);  // the length byte could not hold it
  EXPECT_TRUE(empty());
  EXPECT_EQ(put(3, Bytes(255, 0xAA)), aErrNone);
  EXPECT_EQ(put(3, Bytes()), aErrNone);
  EXPECT_EQ(take().bytes, Bytes(255, 0xAA));
  EXPECT_EQ(take().bytes, Bytes());
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
}

// Against a simple model: after every put the ring holds the newest records whose total
// size (two header bytes each) leaves at least one byte free.
TEST_F(PacketLog, MatchesAModelAcrossManyWrapArounds) {
  const uint32_t size = 97;  // odd, so records straddle the end in every possible way
  create(size);
  std::deque<Record> model;
  uint32_t modelUsed = 0;
  std::mt19937 random(1234);
  for (int step = 0; step < 5000; ++step) {
    if (random() % 4 == 0 && !model.empty()) {
      Record got = take();
      ASSERT_EQ(got.direction, model.front().direction) << "step " << step;
      ASSERT_EQ(got.bytes, model.front().bytes) << "step " << step;
      modelUsed -= uint32_t(model.front().bytes.size()) + 2;
      model.pop_front();
      continue;
    }
    Record record{uint8_t(1 + random() % 3), bytesOf(uint8_t(random()), random() % 40)};
    ASSERT_EQ(put(record.direction, record.bytes), aErrNone);
    modelUsed += uint32_t(record.bytes.size()) + 2;
    model.push_back(record);
    while (modelUsed > size - 1) {
      modelUsed -= uint32_t(model.front().bytes.size()) + 2;
      model.pop_front();
    }
  }
  for (const Record& expected : model) EXPECT_EQ(take().bytes, expected.bytes);
  EXPECT_TRUE(empty());
}
