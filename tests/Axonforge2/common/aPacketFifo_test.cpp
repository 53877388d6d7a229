#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "aPacketFifo.h"
#include "aPacketFifoTesting.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

// A packet whose payload carries a tag and a 32-bit sequence number, so tests can tell
// packets apart and check their order.
Packet makePacket(uint8_t address, uint8_t tag, uint32_t sequence = 0) {
  const uint8_t data[5] = {tag, uint8_t(sequence >> 24), uint8_t(sequence >> 16), uint8_t(sequence >> 8),
                           uint8_t(sequence)};
  return Packet(aPacket_CreateWithData(address, sizeof data, data));
}

uint8_t tagOf(const aPacket* packet) { return packet->data[0]; }
uint32_t sequenceOf(const aPacket* packet) {
  return uint32_t(packet->data[1]) << 24 | uint32_t(packet->data[2]) << 16 | uint32_t(packet->data[3]) << 8 |
         packet->data[4];
}

// Filter that accepts one tag and counts how often it was consulted.
struct TagFilter {
  uint8_t wanted;
  std::atomic<int> calls{0};
  static uint8_t accept(const aPacket* packet, void* reference) {
    auto* self = static_cast<TagFilter*>(reference);
    self->calls++;
    return tagOf(packet) == self->wanted;
  }
};

uint8_t acceptAll(const aPacket*, void*) { return 1; }
uint8_t rejectAll(const aPacket*, void*) { return 0; }

// Runs fn on another thread after a short delay, so that it lands while the test waits.
std::thread later(std::function<void()> fn, milliseconds delay = milliseconds(30)) {
  return std::thread([fn, delay] {
    std::this_thread::sleep_for(delay);
    fn();
  });
}

class PacketFifo : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(fifo, 0u); }
  void TearDown() override {
    if (fifo != 0) aPacketFifo_Destroy(&fifo);
  }
  void put(uint8_t tag, uint32_t sequence = 0, uint8_t address = 2) {
    Packet packet = makePacket(address, tag, sequence);
    ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
  }
  // Puts `count` packets of one tag in sequence, staying well clear of the overflow limit
  // since a consumer may lag behind.
  void putPaced(uint8_t tag, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      while (aPacketFifo_GetLength(fifo) > aPACKETFIFO_CAPACITY / 2) std::this_thread::yield();
      Packet packet = makePacket(2, tag, i);
      aPacketFifo_Put(fifo, packet.get());
    }
  }
  // Waits for the first packet `filter` accepts while `arrivals` puts packets a little later.
  Packet awaitFirstWhile(TagFilter& filter, uint32_t timeoutMs, const std::function<void()>& arrivals) {
    std::thread producer = later(arrivals);
    Packet packet(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &filter, timeoutMs));
    producer.join();
    return packet;
  }
  aPacketFifoHandle fifo = aPacketFifo_Create();
};

}  // namespace

TEST_F(PacketFifo, QueuesCopiesOldestFirst) {
  Packet original = makePacket(4, 1);
  ASSERT_EQ(aPacketFifo_Put(fifo, original.get()), aErrNone);
  original.reset();  // the queue keeps its own copy
  put(2);
  put(3);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);

  Packet first(aPacketFifo_Get(fifo));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->address, 4);
  EXPECT_EQ(tagOf(first.get()), 1);
  EXPECT_TRUE(aPacket_IsComplete(first.get()));
  EXPECT_EQ(tagOf(Packet(aPacketFifo_Get(fifo)).get()), 2);
  EXPECT_EQ(tagOf(Packet(aPacketFifo_Await(fifo, 0)).get()), 3);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifo, RefusesInvalidPacketsAndUnknownHandles) {
  EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
  aPacket forged = {};  // never created, so its signature is missing
  EXPECT_EQ(aPacketFifo_Put(fifo, &forged), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);

  const aPacketFifoHandle unknown = fifo + 1000000;
  Packet packet = makePacket(2, 1);
  EXPECT_EQ(aPacketFifo_Put(unknown, packet.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
  EXPECT_EQ(aPacketFifo_Await(unknown, 1000), nullptr);  // must not block
  EXPECT_EQ(aPacketFifo_AwaitFirst(unknown, acceptAll, nullptr, 1000), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(unknown, acceptAll, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
  aPacketFifoHandle copy = unknown;
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

  put(1);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
}

TEST_F(PacketFifo, DestroyedHandleStopsResolving) {
  put(1);
  aPacketFifoHandle handle = fifo;
  ASSERT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(fifo, 0u);
  Packet packet = makePacket(2, 1);
  EXPECT_EQ(aPacketFifo_Put(handle, packet.get()), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(handle), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNotFound);
}

TEST_F(PacketFifo, OverflowDiscardsTheWholeQueue) {
  for (uint32_t i = 0; i < aPACKETFIFO_CAPACITY; ++i) put(1, i);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
  put(2);  // the 1001st: reported as success, but everything is gone
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);

  // The queue keeps working, and filtered waits still see new arrivals.
  put(3);
  TagFilter filter{3};
  Packet found(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &filter, 0));
  ASSERT_TRUE(found);
  EXPECT_EQ(tagOf(found.get()), 3);
}

TEST_F(PacketFifo, GetFirstTakesOldestAcceptedAndKeepsTheRestInOrder) {
  put(1, 0);
  put(7, 1);
  put(1, 2);
  put(7, 3);
  TagFilter filter{7};
  Packet taken(aPacketFifo_GetFirst(fifo, TagFilter::accept, &filter));
  ASSERT_TRUE(taken);
  EXPECT_EQ(sequenceOf(taken.get()), 1u);
  EXPECT_EQ(filter.calls, 2);

  TagFilter none{9};
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, TagFilter::accept, &none), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);
  for (uint32_t expected : {0u, 2u, 3u}) EXPECT_EQ(sequenceOf(Packet(aPacketFifo_Get(fifo)).get()), expected);
}

TEST_F(PacketFifo, DrainRemovesAcceptedPacketsOnly) {
  for (uint32_t i = 0; i < 5; ++i) put(1, i);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, rejectAll, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, acceptAll, nullptr), 5u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);

  for (uint32_t i = 0; i < 6; ++i) put(i % 2 ? 5 : 6, i);
  TagFilter fives{5};
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, TagFilter::accept, &fives), 3u);
  for (uint32_t expected : {0u, 2u, 4u}) EXPECT_EQ(sequenceOf(Packet(aPacketFifo_Get(fifo)).get()), expected);

  // After a drain a filtered wait must still consider packets queued later.
  put(5, 9);
  Packet found(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &fives, 0));
  ASSERT_TRUE(found);
  EXPECT_EQ(sequenceOf(found.get()), 9u);
}

TEST_F(PacketFifo, AwaitTimesOutOrTakesAPacketPutMeanwhile) {
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 50), nullptr);
  EXPECT_GE(Clock::now() - start, milliseconds(50));

  std::thread producer = later([this] { put(4); });
  Packet packet(aPacketFifo_Await(fifo, 5000));
  producer.join();
  ASSERT_TRUE(packet);
  EXPECT_EQ(tagOf(packet.get()), 4);
}

TEST_F(PacketFifo, AwaitFirstOffersEachRejectedPacketOnce) {
  put(1);
  put(1);
  put(1);
  TagFilter filter{2};
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &filter, 50), nullptr);
  EXPECT_GE(Clock::now() - start, milliseconds(50));
  EXPECT_EQ(filter.calls, 3);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 3u);
}

TEST_F(PacketFifo, AwaitFirstTakesALaterArrivalPastOlderRejectedOnes) {
  put(1, 0);
  put(1, 1);
  TagFilter filter{2};
  // Unwanted traffic first, then the wanted packet: every wake-up must look only at
  // what is new, and the rejected packets stay queued for others.
  Packet packet = awaitFirstWhile(filter, 5000, [this] {
    put(1, 2);
    put(1, 3);
    put(2, 4);
  });
  ASSERT_TRUE(packet);
  EXPECT_EQ(sequenceOf(packet.get()), 4u);
  EXPECT_EQ(filter.calls, 5);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 4u);
}

TEST_F(PacketFifo, AwaitFirstThatTimesOutNeverHandsOutARejectedArrival) {
  // Packets that arrive during the wait and are all rejected must stay queued: the wait
  // ends empty-handed even though the queue grew under it.
  TagFilter filter{2};
  Packet packet = awaitFirstWhile(filter, 300, [this] {
    put(1, 0);
    put(1, 1);
  });
  EXPECT_FALSE(packet) << "tag " << int(tagOf(packet.get()));
  EXPECT_EQ(filter.calls, 2);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
}

TEST_F(PacketFifo, AwaitFirstFollowsPacketIdsAcrossWrapAround) {
  aPacketFifo_TestSetNextPacketId(fifo, INT32_MAX - 1);
  put(1, 0);  // id INT32_MAX - 1
  put(1, 1);  // id INT32_MAX
  put(1, 2);  // id INT32_MIN
  TagFilter filter{2};
  Packet packet = awaitFirstWhile(filter, 5000, [this] {
    put(1, 3);
    put(2, 4);
  });
  ASSERT_TRUE(packet);
  EXPECT_EQ(sequenceOf(packet.get()), 4u);
  EXPECT_EQ(filter.calls, 5);

  // A wait that starts with the oldest queued packet just below the wrap still sees them all.
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, acceptAll, nullptr), 4u);
  aPacketFifo_TestSetNextPacketId(fifo, INT32_MAX);
  put(1, 5);
  put(2, 6);
  TagFilter again{2};
  Packet second(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &again, 0));
  ASSERT_TRUE(second);
  EXPECT_EQ(sequenceOf(second.get()), 6u);
  EXPECT_EQ(again.calls, 2);
}

TEST(PacketFifoHandles, AreNeverZeroAndNeverShared) {
  aPacketFifoHandle first = aPacketFifo_Create();
  ASSERT_NE(first, 0u);
  // Force the counter to come round to zero and then onto a handle still in use.
  aPacketFifo_TestSetNextHandle(UINT64_MAX);
  aPacketFifoHandle last = aPacketFifo_Create();
  EXPECT_EQ(last, UINT64_MAX);
  aPacketFifo_TestSetNextHandle(first);
  aPacketFifoHandle wrapped = aPacketFifo_Create();
  EXPECT_NE(wrapped, 0u);
  EXPECT_NE(wrapped, first);

  Packet packet = makePacket(2, 1);
  ASSERT_EQ(aPacketFifo_Put(first, packet.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(wrapped), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(first), 1u);
  for (aPacketFifoHandle* handle : {&first, &last, &wrapped}) EXPECT_EQ(aPacketFifo_Destroy(handle), aErrNone);
}

// A wake ends a waiting await, or the next one when none waits, once; queued packets still
// come first and the queue stays usable.
TEST_F(PacketFifo, WakeEndsTheCurrentOrNextAwaitOnce) {
  EXPECT_EQ(aPacketFifo_Wake(fifo), aErrNone);
  EXPECT_EQ(aPacketFifo_Await(fifo, 60000), nullptr) << "the wake came first";
  std::thread waker = later([this] { aPacketFifo_Wake(fifo); });
  EXPECT_EQ(aPacketFifo_Await(fifo, 60000), nullptr) << "woken while waiting";
  waker.join();
  put(7);
  aPacketFifo_Wake(fifo);
  Packet queued(aPacketFifo_Await(fifo, 60000));
  ASSERT_TRUE(queued);
  EXPECT_EQ(tagOf(queued.get()), 7);
  std::thread producer = later([this] { put(8); });
  Packet next(aPacketFifo_Await(fifo, 60000));
  producer.join();
  ASSERT_TRUE(next) << "a wake counts once";
  EXPECT_EQ(tagOf(next.get()), 8);
  aPacketFifoHandle gone = 0;
  EXPECT_EQ(aPacketFifo_Wake(gone), aErrParam);
}

TEST_F(PacketFifo, DestructionWakesWaitersPromptly) {
  std::atomic<bool> plainReturnedNull{false}, filteredReturnedNull{false};
  aPacketFifoHandle handle = fifo;
  fifo = 0;  // destroyed below, not by TearDown
  auto start = Clock::now();
  std::thread plain([&, handle] { plainReturnedNull = aPacketFifo_Await(handle, 60000) == nullptr; });
  std::thread filtered([&, handle] {
    filteredReturnedNull = aPacketFifo_AwaitFirst(handle, rejectAll, nullptr, 60000) == nullptr;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  plain.join();
  filtered.join();
  EXPECT_TRUE(plainReturnedNull);
  EXPECT_TRUE(filteredReturnedNull);
  EXPECT_LT(Clock::now() - start, milliseconds(30000));
}

// Several producers, each with its own tag, and one filtered consumer per tag: every
// packet arrives exactly once, at the right consumer, in the order it was put.
TEST_F(PacketFifo, ProducersAndFilteredConsumersKeepPerTagOrder) {
  constexpr int kTags = 4;
  constexpr uint32_t kPerProducer = 2000;
  std::vector<std::thread> threads;
  std::vector<uint32_t> received(kTags, 0);
  std::atomic<int> outOfOrder{0};
  for (int tag = 0; tag < kTags; ++tag) {
    threads.emplace_back([&, tag] {
      TagFilter filter{uint8_t(tag)};
      while (received[tag] < kPerProducer) {
        Packet packet(aPacketFifo_AwaitFirst(fifo, TagFilter::accept, &filter, 5000));
        if (!packet) break;
        if (sequenceOf(packet.get()) != received[tag]) outOfOrder++;
        received[tag]++;
      }
    });
    threads.emplace_back([&, tag] { putPaced(uint8_t(tag), kPerProducer); });
  }
  for (auto& thread : threads) thread.join();
  for (int tag = 0; tag < kTags; ++tag) EXPECT_EQ(received[tag], kPerProducer) << "tag " << tag;
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// Plain consumers competing for one queue: nothing is lost or duplicated, and each
// consumer sees every producer's packets in increasing order.
TEST_F(PacketFifo, CompetingConsumersShareWithoutLossOrDuplication) {
  constexpr int kProducers = 3, kConsumers = 3;
  constexpr uint32_t kPerProducer = 3000;
  std::vector<std::vector<uint8_t>> seen(kProducers, std::vector<uint8_t>(kPerProducer, 0));
  std::atomic<uint32_t> total{0};
  std::atomic<int> outOfOrder{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      std::vector<int64_t> last(kProducers, -1);
      while (total < kProducers * kPerProducer) {
        Packet packet(aPacketFifo_Await(fifo, 20));
        if (!packet) continue;
        const uint8_t producer = tagOf(packet.get());
        const uint32_t sequence = sequenceOf(packet.get());
        if (int64_t(sequence) <= last[producer]) outOfOrder++;
        last[producer] = sequence;
        seen[producer][sequence]++;  // each slot is written by whoever took that packet
        total++;
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] { putPaced(uint8_t(p), kPerProducer); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(outOfOrder, 0);
  for (int p = 0; p < kProducers; ++p) {
    for (uint32_t i = 0; i < kPerProducer; ++i) ASSERT_EQ(seen[p][i], 1) << "producer " << p << " packet " << i;
  }
}

// Destroying a FIFO while producers and consumers are busy on it ends every call
// cleanly; nothing blocks and nothing touches freed memory.
TEST(PacketFifoLifetime, DestroyWhileInUse) {
  for (int round = 0; round < 20; ++round) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
      threads.emplace_back([&] {
        Packet packet = makePacket(2, 1);
        while (!stop && aPacketFifo_Put(fifo, packet.get()) == aErrNone) {
        }
      });
      threads.emplace_back([&] {
        while (!stop) Packet(aPacketFifo_AwaitFirst(fifo, acceptAll, nullptr, 1000));
      });
      threads.emplace_back([&] {
        while (!stop) Packet(aPacketFifo_Await(fifo, 1000));
      });
    }
    std::this_thread::sleep_for(milliseconds(2));
    aPacketFifoHandle handle = fifo;
    EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  }
}
