// Link engine over TCP loopback: request/reply round trips against the device simulator,
// pooled versus plain writes of a 1 KiB burst, and the CPU an idle connected link uses.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackModule.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x0BE0C0DE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 17;

// A simulated module listening on 127.0.0.1, with a synchronised link to it.
class DeviceLink {
 public:
  DeviceLink() : sim_(Module()) {}
  // Opens and synchronises the link; false when that fails.
  bool connect() {
    if (!sim_.started()) return false;
    id_ = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim_.port());
    if (id_ != 0 && aLink_Sync(id_) != aErrNone) aLink_Destroy(&id_);
    return id_ != 0;
  }
  ~DeviceLink() {
    if (id_ != 0) aLink_Destroy(&id_);
  }
  uint32_t id() const { return id_; }

 private:
  static devsim::ModuleSpec Module() {
    devsim::ModuleSpec module;
    module.serial = kSerial;
    module.model = kModel;
    module.address = kAddress;
    return module;
  }

  LoopbackModule sim_;
  uint32_t id_ = 0;
};

uint8_t sIsModelReply(const aPacket* packet, void*) {
  return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == 3 && packet->data[1] == 8;
}

// A 3-byte UEI get of the model number and its 4-byte reply, timed one by one.
void BM_RoundTripTcp(benchmark::State& state) {
  DeviceLink device;
  if (!device.connect()) return state.SkipWithError("no link to the simulator");
  const uint8_t request[3] = {3, 0x48, 0x20};
  aPacket* packet = aPacket_CreateWithData(kAddress, sizeof request, request);
  std::vector<double> micros;
  micros.reserve(100000);
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    aLink_PutPacket(device.id(), packet);
    aPacket* reply = aLink_AwaitFirst(device.id(), sIsModelReply, nullptr, 1000);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (reply == nullptr) return state.SkipWithError("reply lost");
    aPacket_Destroy(&reply);
  }
  aPacket_Destroy(&packet);
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripTcp)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Accepts one connection on 127.0.0.1 and counts the bytes that arrive.
class ByteSink {
 public:
  ByteSink() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    reader_ = std::thread([this] {
      const int fd = accept(listener_, nullptr, nullptr);
      uint8_t buffer[65536];
      for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) received_ += size_t(n);
      if (fd >= 0) close(fd);
    });
  }
  ~ByteSink() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    reader_.join();
  }
  uint16_t port() const { return port_; }
  size_t received() const { return received_; }

 private:
  int listener_;
  uint16_t port_ = 0;
  std::atomic<size_t> received_{0};
  std::thread reader_;
};

// 35 full packets (1050 bytes on the wire) queued at once, timed until all have arrived.
void BM_Burst1KiB(benchmark::State& state) {
  ByteSink sink;
  uint32_t id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sink.port());
  if (id == 0) return state.SkipWithError("no link");
  aLink_EnablePooledPackets(id, state.range(0) != 0);
  uint8_t data[28] = {};
  aPacket* packet = aPacket_CreateWithData(kAddress, sizeof data, data);
  constexpr int kPackets = 35;
  for (auto _ : state) {
    const size_t target = sink.received() + kPackets * 30;
    for (int i = 0; i < kPackets; ++i) aLink_PutPacket(id, packet);
    while (sink.received() < target) std::this_thread::yield();
  }
  state.SetBytesProcessed(state.iterations() * kPackets * 30);
  aPacket_Destroy(&packet);
  aLink_Destroy(&id);
}
BENCHMARK(BM_Burst1KiB)->ArgName("pooled")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// CPU time each thread of this process has used so far, in nanoseconds, by thread id.
std::map<int, uint64_t> threadCpuNanos() {
  std::map<int, uint64_t> result;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return result;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream schedstat(std::string("/proc/self/task/") + entry->d_name + "/schedstat");
    uint64_t nanos = 0;
    if (schedstat >> nanos) result[std::stoi(entry->d_name)] = nanos;
  }
  closedir(tasks);
  return result;
}

// An idle connected link (heartbeats every second): CPU of its two threads, in % of one core.
void BM_IdleLinkCpu(benchmark::State& state) {
  DeviceLink device;
  const std::map<int, uint64_t> before = threadCpuNanos();
  if (!device.connect()) return state.SkipWithError("no link to the simulator");
  std::map<int, uint64_t> start = threadCpuNanos();
  for (auto it = start.begin(); it != start.end();) it = before.count(it->first) ? start.erase(it) : std::next(it);
  const Clock::time_point began = Clock::now();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::seconds(3));
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  const std::map<int, uint64_t> end = threadCpuNanos();
  uint64_t used = 0;
  for (const auto& [tid, nanos] : start) {
    auto found = end.find(tid);
    if (found != end.end()) used += found->second - nanos;
  }
  // Every thread started with the link counts; the simulator's were running before.
  state.counters["link_threads"] = double(start.size());
  state.counters["cpu_percent"] = 100.0 * double(used) / 1e9 / seconds;
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
