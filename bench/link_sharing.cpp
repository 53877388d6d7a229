// Round trips through a link server against the same conversation on a direct link: a module
// on the simulated USB bus (the libusb stand-in and the device simulator), a UEI get of its
// model, p50 and p99 latency of each, their ratio, and the throughput of eight clients sharing
// the server at once. Runs itself inside a private network namespace (the server's discovery
// joins multicast groups).
#include <benchmark/benchmark.h>

#include <czmq.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "InsideNetns.h"
#include "Link.h"
#include "LoopbackModule.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;
using Tessaron::Axonforge::aWeaveConfig;
using Tessaron::Axonforge::Link;

constexpr uint32_t kSerial = 0x0BE0C0DE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kSystem = 3;
constexpr int kClients = 8;

// The module on a simulated USB bus of its own, for the whole program.
class UsbModule {
 public:
  UsbModule() {
    char pattern[] = "/tmp/bench_link_sharing.XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
    devsim::DevSimConfig config;
    config.usbDir = dir_;
    devsim::ModuleSpec module = QuietHubSpec(kSerial, kAddress);
    module.usb = true;
    config.modules.push_back(module);
    sim_ = std::make_unique<devsim::DevSim>(config);
    std::string error;
    started_ = !dir_.empty() && sim_->start(&error);
    setenv("AXONFORGE_USBSIM_DIR", dir_.c_str(), 1);
  }
  bool started() const { return started_; }

 private:
  std::string dir_;
  std::unique_ptr<devsim::DevSim> sim_;
  bool started_ = false;
};

UsbModule& Module() {
  static UsbModule module;
  return module;
}

linkSpec UsbSpec() {
  linkSpec spec{};
  spec.type = USB;
  spec.serialNumber = kSerial;
  spec.usbId = kSerial;
  return spec;
}

// A Link to the module, through a link server or directly.
std::unique_ptr<Link> Connect(bool served) {
  if (!Module().started()) return nullptr;
  auto link = std::make_unique<Link>(UsbSpec(), served ? "served" : "direct");
  aWeaveConfig config;
  config.enabled = served;
  config.fallback = false;
  if (link->setConfig(config) != aErrNone || link->connect() != aErrNone) return nullptr;
  return link;
}

bool GetModel(Link& link) {
  uei request{};
  request.module = kAddress;
  request.command = kSystem;
  request.option = 8 | UEI_OPTION_GET;
  request.specifier = UEI_SPECIFIER_REPLY;
  uei reply = request;
  reply.option = 8;
  reply.specifier = 0;
  return link.requestUEI(request, &reply) == aErrNone && reply.value.byteVal == 17;
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

double sDirectP50 = 0;  // the direct run goes first

void RoundTrips(benchmark::State& state, bool served) {
  std::unique_ptr<Link> link = Connect(served);
  if (!link) {
    state.SkipWithError("no link to the simulated module");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!GetModel(*link)) {
      state.SkipWithError("get failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  const double p50 = Percentile(micros, 0.5);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["round_trips/s"] = benchmark::Counter(double(micros.size()), benchmark::Counter::kIsRate);
  if (!served) sDirectP50 = p50;
  if (served && sDirectP50 > 0) state.counters["p50_vs_direct"] = p50 / sDirectP50;
}

void BM_DirectRoundTrip(benchmark::State& state) { RoundTrips(state, false); }
BENCHMARK(BM_DirectRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ServedRoundTrip(benchmark::State& state) { RoundTrips(state, true); }
BENCHMARK(BM_ServedRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same get as one raw message frame on a socket of the server's protocol: the server's own
// share of a round trip, without a client link around it.
void BM_RawClientRoundTrip(benchmark::State& state) {
  std::unique_ptr<Link> served = Connect(true);
  aWeaveConfig config;
  if (!served || served->getConfig(&config) != aErrNone) {
    state.SkipWithError("no served link");
    return;
  }
  zsock_t* socket = zsock_new_dealer(nullptr);
  zsock_connect(socket, "tcp://127.0.0.1:%u", unsigned(config.assignedPort));
  zsock_set_rcvtimeo(socket, 2000);
  const uint8_t request[] = {kAddress, 3, kSystem, 8 | UEI_OPTION_GET, UEI_SPECIFIER_REPLY};
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    zframe_t* frame = zframe_new(request, sizeof request);
    zframe_send(&frame, socket, 0);
    frame = zframe_recv(socket);
    if (!frame) {
      state.SkipWithError("no reply");
      break;
    }
    zframe_destroy(&frame);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  zsock_destroy(&socket);
  state.counters["p50_us"] = Percentile(micros, 0.5);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(BM_RawClientRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Eight clients of one server, each on its own thread, 50 round trips each per iteration.
void BM_EightClientsThroughput(benchmark::State& state) {
  std::unique_ptr<Link> served = Connect(true);
  aWeaveConfig config;
  if (!served || served->getConfig(&config) != aErrNone) {
    state.SkipWithError("no served link");
    return;
  }
  std::vector<std::unique_ptr<Link>> clients;
  linkSpec shared{};
  shared.type = AWEAVE;
  shared.serialNumber = kSerial;
  shared.ipAddress = config.networkInterface;
  shared.ipPort = config.assignedPort;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<Link>(shared, "client"));
    if (clients.back()->connect() != aErrNone) {
      state.SkipWithError("a client could not connect");
      return;
    }
  }
  constexpr int kPerClient = 50;
  int64_t done = 0, failed = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    std::vector<int> failures(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, c] {
        for (int i = 0; i < kPerClient; ++i) failures[c] += !GetModel(*clients[c]);
      });
    }
    for (std::thread& t : threads) t.join();
    for (int f : failures) failed += f;
    done += kClients * kPerClient;
  }
  state.SetItemsProcessed(done);
  state.counters["failed"] = double(failed);
}
BENCHMARK(BM_EightClientsThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return RunBenchmarksInsideNetns(argc, argv); }
