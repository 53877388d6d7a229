// Discovery as the discover command runs it, against the device simulator on simulated USB:
// the direct listing of USB modules, and the scan of a router's bus (125 bus addresses, three
// modules present), each device connected and read.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "DevSim.h"
#include "SilentDisplay.h"
#include "Updater.h"

namespace {

constexpr uint32_t kRouter = 0xD272031D;

// A simulator presenting a USB module and a USB router with three modules on its bus.
class Bench {
 public:
  Bench() {
    char pattern[] = "/tmp/bench-discover-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    devsim::DevSimConfig config;
    config.usbDir = dir_;
    for (const char* text : {"serial=0x40F5849A,model=19,address=6,usb", "serial=0xD272031D,model=16,address=4,usb",
                             "serial=0x2181F0EE,model=18,address=2,behind=0xD272031D",
                             "serial=0x0A0B0C0D,model=26,address=8,behind=0xD272031D",
                             "serial=0x00C0FFEE,model=13,address=252,behind=0xD272031D"}) {
      devsim::ModuleSpec spec;
      std::string error;
      if (!devsim::ParseModuleSpec(text, &spec, &error)) throw std::runtime_error(error);
      config.modules.push_back(spec);
    }
    setenv("AXONFORGE_USBSIM_DIR", dir_.c_str(), 1);
    sim_ = std::make_unique<devsim::DevSim>(config);
    std::string error;
    if (!sim_->start(&error)) throw std::runtime_error(error);
  }
  ~Bench() {
    sim_.reset();
    std::filesystem::remove_all(dir_);
  }
  Updater& updater() { return updater_; }

 private:
  std::string dir_;
  std::unique_ptr<devsim::DevSim> sim_;
  SilentDisplay display_;
  Updater updater_{"http://127.0.0.1:9/cgi/u", "/nonexistent", display_};
};

void BM_DiscoverUsbDevices(benchmark::State& state) {
  Bench bench;
  for (auto _ : state) {
    auto devices = bench.updater().Discover_Devices(USB);
    if (devices.size() != 2) state.SkipWithError("expected two USB devices");
  }
}
BENCHMARK(BM_DiscoverUsbDevices)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(5);

void BM_DiscoverRouterBus(benchmark::State& state) {
  Bench bench;
  for (auto _ : state) {
    auto devices = bench.updater().Discover_AFNetwork_Devices(kRouter, USB);
    if (devices.size() != 3) state.SkipWithError("expected three modules on the bus");
  }
}
BENCHMARK(BM_DiscoverRouterBus)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

}  // namespace
