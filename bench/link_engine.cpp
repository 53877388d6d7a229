// Link engine against the device simulator over TCP loopback, a pseudo-terminal and simulated
// USB: request/reply round trips, the CPU an idle connected link uses, opening and closing a USB
// link; and pooled versus plain writes of a 1 KiB burst over TCP.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x0BE0C0DE;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 17;

enum Transport { kTcp, kPty, kUsb };
const char* const kTransportNames[] = {"tcp", "pty", "usb"};

// A simulated module on one transport (TCP on 127.0.0.1, a pseudo-terminal, or simulated USB
// through a temporary directory the libusb stand-in reads), with a synchronised link to it.
class DeviceLink {
 public:
  explicit DeviceLink(Transport transport) : transport_(transport) {
    char pattern[] = "/tmp/bench-link-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    devsim::DevSimConfig config;
    devsim::ModuleSpec module;
    module.serial = kSerial;
    module.model = kModel;
    module.address = kAddress;
    module.tcpPort = transport == kTcp ? 0 : -1;
    module.serialPty = transport == kPty;
    module.usb = transport == kUsb;
    config.modules.push_back(module);
    if (transport == kUsb) {
      config.usbDir = dir_;
      setenv("AXONFORGE_USBSIM_DIR", dir_.c_str(), 1);
    }
    sim_ = std::make_unique<devsim::DevSim>(config);
    std::string error;
    started_ = !dir_.empty() && sim_->start(&error);
  }
  ~DeviceLink() {
    disconnect();
    sim_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // Opens and synchronises the link; false when that fails.
  bool connect() {
    if (!started_) return false;
    switch (transport_) {
      case kTcp: id_ = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim_->tcpPort(kSerial)); break;
      case kPty: id_ = aLink_CreateSerial(kSerial, sim_->serialPortPath(kSerial).c_str(), 115200); break;
      case kUsb: id_ = aLink_CreateUSB(kSerial); break;  // synchronised as it opens
    }
    if (id_ != 0 && transport_ != kUsb && aLink_Sync(id_) != aErrNone) aLink_Destroy(&id_);
    return id_ != 0;
  }
  void disconnect() {
    if (id_ != 0) aLink_Destroy(&id_);
  }
  uint32_t id() const { return id_; }

 private:
  Transport transport_;
  std::string dir_;
  std::unique_ptr<devsim::DevSim> sim_;
  bool started_ = false;
  uint32_t id_ = 0;
};

uint8_t sIsModelReply(const aPacket* packet, void*) {
  return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == 3 && packet->data[1] == 8;
}

// A 3-byte UEI get of the model number and its 4-byte reply, timed one by one.
void BM_RoundTrip(benchmark::State& state) {
  state.SetLabel(kTransportNames[state.range(0)]);
  DeviceLink device(static_cast<Transport>(state.range(0)));
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
BENCHMARK(BM_RoundTrip)
    ->ArgName("transport")
    ->DenseRange(kTcp, kUsb)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

// Opening a USB link (enumeration, claim, thread start, the sync handshake) and closing it
// again while its reader waits on an idle device.
void BM_UsbLinkOpenClose(benchmark::State& state) {
  DeviceLink device(kUsb);
  std::vector<double> openMs, closeMs;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!device.connect()) return state.SkipWithError("no USB link to the simulator");
    const Clock::time_point opened = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the reader is waiting now
    const Clock::time_point closing = Clock::now();
    device.disconnect();
    const Clock::time_point closed = Clock::now();
    openMs.push_back(std::chrono::duration<double, std::milli>(opened - start).count());
    closeMs.push_back(std::chrono::duration<double, std::milli>(closed - closing).count());
  }
  std::sort(openMs.begin(), openMs.end());
  std::sort(closeMs.begin(), closeMs.end());
  state.counters["open_ms"] = openMs[openMs.size() / 2];
  state.counters["close_ms"] = closeMs[closeMs.size() / 2];
  state.counters["close_max_ms"] = closeMs.back();
}
BENCHMARK(BM_UsbLinkOpenClose)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

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

// An idle connected link (heartbeats every second): CPU of its threads over 5 s, in % of one core.
void BM_IdleLinkCpu(benchmark::State& state) {
  state.SetLabel(kTransportNames[state.range(0)]);
  DeviceLink device(static_cast<Transport>(state.range(0)));
  const std::map<int, uint64_t> before = threadCpuNanos();
  if (!device.connect()) return state.SkipWithError("no link to the simulator");
  std::map<int, uint64_t> start = threadCpuNanos();
  for (auto it = start.begin(); it != start.end();) it = before.count(it->first) ? start.erase(it) : std::next(it);
  const Clock::time_point began = Clock::now();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::seconds(5));
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
BENCHMARK(BM_IdleLinkCpu)
    ->ArgName("transport")
    ->DenseRange(kTcp, kUsb)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
