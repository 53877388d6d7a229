// Discovery costs: USB enumeration of 16 simulated devices (the libusb stand-in), and a
// loopback shared-link search over all 50 port offsets with no server listening. The program
// runs itself inside a private network namespace, where the search's sockets live.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "InsideNetns.h"
#include "aDiscovery.h"

namespace {

uint8_t countAll(const linkSpec*, uint8_t* matched, void*) {
  *matched = 1;
  return 1;
}

// A simulated USB directory listing 16 family devices; enumeration opens each device but claims none.
class SixteenDevices {
 public:
  SixteenDevices() {
    char pattern[] = "/tmp/usbsim-bench.XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
    std::ofstream devices(dir_ + "/devices");
    for (unsigned i = 1; i <= 16; ++i) {
      char line[128];
      snprintf(line, sizeof line, "%08X 24ff %04x %s/%08X.sock\n", 0x10000000u + i, 17u, dir_.c_str(), 0x10000000u + i);
      devices << line;
    }
    setenv("AXONFORGE_USBSIM_DIR", dir_.c_str(), 1);
  }
  ~SixteenDevices() {
    unsetenv("AXONFORGE_USBSIM_DIR");
    unlink((dir_ + "/devices").c_str());
    rmdir(dir_.c_str());
  }

 private:
  std::string dir_;
};

void BM_USBEnumeration16Devices(benchmark::State& state) {
  SixteenDevices devices;
  for (auto _ : state) {
    int found = aDiscovery_EnumerateModules(USB, countAll, nullptr, 0);
    if (found != 16) state.SkipWithError("not all 16 simulated devices were found");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_USBEnumeration16Devices)->Unit(benchmark::kMicrosecond);

void BM_LoopbackSearchWithoutServer(benchmark::State& state) {
  for (auto _ : state) {
    int found = aDiscovery_EnumerateModules(AWEAVE, countAll, nullptr, 0);
    if (found != 0) state.SkipWithError("a shared link answered inside the private namespace");
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_LoopbackSearchWithoutServer)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return RunBenchmarksInsideNetns(argc, argv); }
