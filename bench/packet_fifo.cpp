// Packet FIFO: throughput of put+await between two threads, and the cost of a filtered
// await that has to look past 100 queued packets it rejects.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "aPacketFifo.h"

namespace {

constexpr uint8_t kWanted = 0x55;
constexpr uint8_t kUnwanted = 0x11;

uint8_t acceptWanted(const aPacket* packet, void*) { return packet->data[0] == kWanted; }

aPacket* makePacket(uint8_t tag) {
  const uint8_t data[3] = {tag, 0x40, 0x20};
  return aPacket_CreateWithData(2, sizeof data, data);
}

void putAndRelease(aPacketFifoHandle fifo, aPacket* packet) {
  aPacketFifo_Put(fifo, packet);
  aPacket_Destroy(&packet);
}

void fillWithUnwanted(aPacketFifoHandle fifo, int count) {
  for (int i = 0; i < count; ++i) putAndRelease(fifo, makePacket(kUnwanted));
}

// One producer thread puts a batch while this thread awaits each packet.
void BM_PutAwaitBetweenThreads(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  aPacketFifoHandle fifo = aPacketFifo_Create();
  aPacket* packet = makePacket(kWanted);
  for (auto _ : state) {
    std::thread producer([&] {
      for (int i = 0; i < batch; ++i) {
        // Keep below the overflow limit, which would discard the queue.
        while (aPacketFifo_GetLength(fifo) > aPACKETFIFO_CAPACITY / 2) std::this_thread::yield();
        aPacketFifo_Put(fifo, packet);
      }
    });
    for (int received = 0; received < batch;) {
      aPacket* taken = aPacketFifo_Await(fifo, 1000);
      if (taken == nullptr) continue;
      aPacket_Destroy(&taken);
      ++received;
    }
    producer.join();
  }
  state.SetItemsProcessed(state.iterations() * batch);
  aPacket_Destroy(&packet);
  aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_PutAwaitBetweenThreads)->Arg(10000)->UseRealTime()->Unit(benchmark::kMillisecond);

// The wanted packet is already queued behind 100 rejected ones: cost of the scan and take.
void BM_AwaitFirstPast100Rejected(benchmark::State& state) {
  aPacketFifoHandle fifo = aPacketFifo_Create();
  fillWithUnwanted(fifo, 100);
  aPacket* wanted = makePacket(kWanted);
  for (auto _ : state) {
    aPacketFifo_Put(fifo, wanted);
    aPacket* taken = aPacketFifo_AwaitFirst(fifo, acceptWanted, nullptr, 1000);
    benchmark::DoNotOptimize(taken);
    aPacket_Destroy(&taken);
  }
  aPacket_Destroy(&wanted);
  aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_AwaitFirstPast100Rejected)->Unit(benchmark::kMicrosecond);

// Request/reply between two threads, where the reply queue also holds 100 rejected
// packets: the latency a caller sees, including the wake-up of the waiting thread.
void BM_AwaitFirstWakeupPast100Rejected(benchmark::State& state) {
  aPacketFifoHandle requests = aPacketFifo_Create();
  aPacketFifoHandle replies = aPacketFifo_Create();
  fillWithUnwanted(replies, 100);
  std::atomic<bool> stop{false};
  std::thread responder([&] {
    while (!stop) {
      aPacket* request = aPacketFifo_Await(requests, 100);
      if (request == nullptr) continue;
      putAndRelease(replies, request);
    }
  });
  aPacket* wanted = makePacket(kWanted);
  for (auto _ : state) {
    aPacketFifo_Put(requests, wanted);
    aPacket* reply = aPacketFifo_AwaitFirst(replies, acceptWanted, nullptr, 1000);
    if (reply == nullptr) state.SkipWithError("reply lost");
    aPacket_Destroy(&reply);
  }
  stop = true;
  responder.join();
  aPacket_Destroy(&wanted);
  aPacketFifo_Destroy(&requests);
  aPacketFifo_Destroy(&replies);
}
BENCHMARK(BM_AwaitFirstWakeupPast100Rejected)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
