// The single-producer single-consumer ring: its full and empty boundaries, and one producer and
// one consumer thread passing a long sequence through it (run under ThreadSanitizer too).

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LocklessQueue_SPSC.h"

namespace {

using Tessaron::LocklessQueue_SPSC;

TEST(LocklessQueueSPSC, HoldsOneLessThanItsSlotsAndKeepsOrderAcrossTheWrap) {
  auto queue = std::make_unique<LocklessQueue_SPSC<int, 500>>();
  int item = -1;
  EXPECT_FALSE(queue->pop(item));
  for (int i = 0; i < 499; ++i) ASSERT_TRUE(queue->push(i)) << i;
  EXPECT_FALSE(queue->push(499));  // the 500th is dropped
  ASSERT_TRUE(queue->pop(item));
  EXPECT_EQ(item, 0);
  EXPECT_TRUE(queue->push(500));  // room again for exactly one, in the wrapped slot
  EXPECT_FALSE(queue->push(501));
  for (int expected = 1; expected <= 500; ++expected) {
    if (expected == 499) expected = 500;
    ASSERT_TRUE(queue->pop(item));
    EXPECT_EQ(item, expected);
  }
  EXPECT_FALSE(queue->pop(item));
}

TEST(LocklessQueueSPSC, OneProducerAndOneConsumerThreadPassEveryItemInOrder) {
  constexpr int kItems = 200000;
  LocklessQueue_SPSC<std::unique_ptr<int>, 64> queue;
  std::thread producer([&] {
    for (int i = 0; i < kItems;) {
      if (queue.push(std::make_unique<int>(i))) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  int expected = 0;
  bool inOrder = true;
  while (expected < kItems) {
    std::unique_ptr<int> item;
    if (!queue.pop(item)) {
      std::this_thread::yield();
      continue;
    }
    inOrder = inOrder && item && *item == expected;
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  std::unique_ptr<int> item;
  EXPECT_FALSE(queue.pop(item));
}

}  // namespace
