// The single-producer single-consumer ring: its boundaries, and one producer and one consumer
// thread passing a long sequence through it (run under ThreadSanitizer too).

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "LocklessQueue_SPSC.h"

namespace {

using Tessaron::LocklessQueue_SPSC;

TEST(LocklessQueueSPSC, HoldsOneLessThanItsSlotsThenRefusesUntilAnItemIsTaken) {
  auto queue = std::make_unique<LocklessQueue_SPSC<int, 500>>();
  int item = -1;
  EXPECT_FALSE(queue->pop(item));
  for (int i = 0; i < 499; ++i) ASSERT_TRUE(queue->push(i)) << i;
  EXPECT_FALSE(queue->push(499));  // the 500th is dropped
  ASSERT_TRUE(queue->pop(item));
  EXPECT_EQ(item, 0);
  EXPECT_TRUE(queue->push(500));   // room again for exactly one
  EXPECT_FALSE(queue->push(501));
  std::vector<int> rest;
  while (queue->pop(item)) rest.push_back(item);
  ASSERT_EQ(rest.size(), 499u);
  for (int i = 0; i < 498; ++i) EXPECT_EQ(rest[i], i + 1);
  EXPECT_EQ(rest.back(), 500);
  EXPECT_FALSE(queue->pop(item));
}

TEST(LocklessQueueSPSC, KeepsOrderAcrossManyWrapArounds) {
  LocklessQueue_SPSC<int, 3> queue;  // two items at most
  int next = 0, expected = 0, item = 0;
  for (int round = 0; round < 100; ++round) {
    while (queue.push(next)) ++next;
    EXPECT_EQ(next - expected, 2);
    ASSERT_TRUE(queue.pop(item));
    EXPECT_EQ(item, expected++);
    if (round % 2) {
      ASSERT_TRUE(queue.pop(item));
      EXPECT_EQ(item, expected++);
    }
  }
}

TEST(LocklessQueueSPSC, MovesOwnedItemsThroughWithoutLeaks) {
  LocklessQueue_SPSC<std::unique_ptr<int>, 4> queue;
  ASSERT_TRUE(queue.push(std::make_unique<int>(7)));
  ASSERT_TRUE(queue.push(std::make_unique<int>(8)));
  std::unique_ptr<int> item;
  ASSERT_TRUE(queue.pop(item));
  ASSERT_TRUE(item);
  EXPECT_EQ(*item, 7);
  // The second item stays queued and is released with the queue.
}

TEST(LocklessQueueSPSC, OneProducerAndOneConsumerThreadPassEveryItemInOrder) {
  constexpr int kItems = 200000;
  auto queue = std::make_unique<LocklessQueue_SPSC<int, 64>>();
  std::thread producer([&] {
    for (int i = 0; i < kItems;) {
      if (queue->push(i)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  int expected = 0;
  bool inOrder = true;
  while (expected < kItems) {
    int item = -1;
    if (!queue->pop(item)) {
      std::this_thread::yield();
      continue;
    }
    inOrder = inOrder && item == expected;
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  int item = 0;
  EXPECT_FALSE(queue->pop(item));
}

}  // namespace
