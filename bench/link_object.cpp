// The Link object over TCP loopback against the device simulator: UEI get and bytes set round
// trips; and the stream worker's queue handing samples from one thread to another.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "LoopbackModule.h"

namespace {

using Tessaron::Axonforge::Link;

constexpr uint32_t kSerial = 0x0BE0C0DE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kSystem = 3;

// A simulated module on 127.0.0.1 and a connected Link to it.
class SimulatedLink {
 public:
  SimulatedLink() : sim_(QuietHubSpec(kSerial, kAddress)) {
    if (!sim_.started()) return;
    link_ = std::make_unique<Link>(sim_.link(), "bench");
    if (link_->connect() != aErrNone) link_.reset();
  }
  Link* link() { return link_.get(); }

 private:
  LoopbackModule sim_;  // outlives the link
  std::unique_ptr<Link> link_;
};

uei record(uint8_t option, uint8_t specifier, uint32_t type) {
  uei r{};
  r.module = kAddress;
  r.command = kSystem;
  r.option = option;
  r.specifier = specifier;
  r.type = type;
  return r;
}

void BM_UEIGetRoundTrip(benchmark::State& state) {
  SimulatedLink sim;
  if (!sim.link()) {
    state.SkipWithError("no simulated module");
    return;
  }
  for (auto _ : state) {
    uei reply = record(8, 0, 0);
    if (sim.link()->sendUEI(record(8 | 0x40, 0x20, 0)) != aErrNone ||
        sim.link()->receiveUEI(kAddress, kSystem, 8, 0, &reply) != aErrNone) {
      state.SkipWithError("get failed");
      break;
    }
  }
}
BENCHMARK(BM_UEIGetRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A 64-byte bytes value: three chunk packets out, one acknowledgement back.
void BM_UEIBytesSetRoundTrip(benchmark::State& state) {
  SimulatedLink sim;
  if (!sim.link()) {
    state.SkipWithError("no simulated module");
    return;
  }
  std::vector<uint8_t> name(64, 'n');
  for (auto _ : state) {
    uei value = record(32 | 0x80, 0x20, 5);
    value.value.bytesVal = {name.data(), name.size()};
    uei ack = record(32 | 0xC0, 0, 0);
    if (sim.link()->sendUEI(value) != aErrNone ||
        sim.link()->receiveUEI(kAddress, kSystem, ack.option, 0, &ack) != aErrNone) {
      state.SkipWithError("set failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(name.size()));
}
BENCHMARK(BM_UEIBytesSetRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One producer thread and the benchmark thread as consumer, through the 500-slot ring.
void BM_StreamQueueHandOff(benchmark::State& state) {
  auto queue = std::make_unique<Tessaron::LocklessQueue_SPSC<uint64_t, 500>>();
  constexpr uint64_t kBatch = 20000;
  for (auto _ : state) {
    std::thread producer([&] {
      for (uint64_t i = 0; i < kBatch;) {
        if (queue->push(i)) {
          ++i;
        } else {
          std::this_thread::yield();
        }
      }
    });
    uint64_t item = 0, taken = 0;
    while (taken < kBatch) {
      if (queue->pop(item)) {
        ++taken;
      } else {
        std::this_thread::yield();
      }
    }
    producer.join();
    benchmark::DoNotOptimize(item);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}
BENCHMARK(BM_StreamQueueHandOff)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
