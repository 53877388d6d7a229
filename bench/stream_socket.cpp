// Socket stream costs that the link engine depends on: the CPU an idle link's read loop burns,
// and how soon a byte that arrives is handed to the reader.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../tests/support/testlib/LoopbackServer.h"
#include "aSocketStream.h"

namespace {

using Clock = std::chrono::steady_clock;

double sThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// An open socket stream with a silent peer.
struct Connection {
  LoopbackServer server;
  aStream* stream = nullptr;
  int peer = -1;
  Connection() {
    if (aStream_CreateSocket(LoopbackServer::Address(), server.port(), &stream) == aErrNone) {
      peer = server.Accept();
    }
  }
  ~Connection() {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
  bool ok() const { return stream != nullptr && peer >= 0; }
};

// One iteration: read an idle stream for half a second; cpu_percent is the CPU time of the
// reading thread over the wall time.
void BM_IdleSocketReadLoopCpu(benchmark::State& state) {
  Connection connection;
  if (!connection.ok()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double cpuStart = sThreadCpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(500);
    uint8_t byte;
    while (Clock::now() < end) benchmark::DoNotOptimize(aStream_Read(connection.stream, &byte, 1));
    cpu += sThreadCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["cpu_percent"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_IdleSocketReadLoopCpu)->Iterations(2)->Repetitions(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// One iteration: while a reader thread polls the stream, the peer sends one byte after a
// pause; the iteration time is from the send to the reader holding the byte.
void BM_ByteDeliveryLatency(benchmark::State& state) {
  Connection connection;
  if (!connection.ok()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<int64_t> receivedAt{0};
  std::thread reader([&] {
    uint8_t byte;
    while (!stop) {
      if (aStream_Read(connection.stream, &byte, 1) == aErrNone) {
        receivedAt = Clock::now().time_since_epoch().count();
      }
    }
  });
  std::vector<double> samples;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + (samples.size() * 397) % 4000));
    receivedAt = 0;
    const auto sent = Clock::now();
    LoopbackServer::SendAll(connection.peer, "x");
    while (receivedAt == 0) std::this_thread::yield();
    const double latency =
        std::chrono::duration<double>(Clock::duration(receivedAt.load()) - sent.time_since_epoch()).count();
    samples.push_back(latency);
    state.SetIterationTime(latency);
  }
  stop = true;
  reader.join();
  std::sort(samples.begin(), samples.end());
  state.counters["p50_us"] = samples[samples.size() / 2] * 1e6;
  state.counters["p99_us"] = samples[samples.size() * 99 / 100] * 1e6;
}
BENCHMARK(BM_ByteDeliveryLatency)->Iterations(300)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
