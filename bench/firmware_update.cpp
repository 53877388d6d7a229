// A 256 KiB firmware block moved into a simulated module over TCP loopback by the upgrade
// entity: prepare, then per device block the data (raw packets of 26 bytes, or one UEI bytes
// value with pooled packets), the sum check and the write. Compare the raw path's time per
// data packet with the link engine's request/reply round trip (bench_link_engine
// BM_RoundTripTcp): the raw path needs one round trip per 26 bytes.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "LoopbackModule.h"
#include "Module.h"
#include "SilentDisplay.h"
#include "UpdaterEntity.h"

namespace {

using Tessaron::Axonforge::Module;

constexpr uint32_t kSerial = 0x0BE0C0DE;
constexpr size_t kImageSize = 256 * 1024;

// A simulated module offering UEI bytes and pooled packets, and a connected Module.
class SimulatedModule {
 public:
  SimulatedModule() : sim_(Spec()) {
    if (!sim_.started()) return;
    module_ = std::make_unique<Module>(2, 0);
    if (module_->connectFromSpec(sim_.link()) != aErrNone) module_.reset();
  }
  Module* module() { return module_.get(); }

 private:
  static devsim::ModuleSpec Spec() {
    devsim::ModuleSpec spec = QuietHubSpec(kSerial, 6);
    spec.ueiBytesUpgrade = true;
    spec.protocolFeatures = devsim::kPooledPacketsFeature;
    return spec;
  }

  LoopbackModule sim_;  // outlives the module
  std::unique_ptr<Module> module_;
};

void BM_FirmwareTransfer(benchmark::State& state) {
  const bool ueiBytes = state.range(0) != 0;
  SimulatedModule sim;
  if (!sim.module()) {
    state.SkipWithError("no simulated module");
    return;
  }
  UpdaterEntity entity;
  entity.init(sim.module(), 0, true, false);
  if (ueiBytes && (entity.CheckUEIDataSupport() != aErrNone || entity.CheckPooledPacketsSupport() != aErrNone)) {
    state.SkipWithError("no UEI bytes path");
    return;
  }
  std::vector<uint8_t> block(4 + kImageSize);
  for (size_t i = 4; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
  SilentDisplay display;
  const uint32_t length = static_cast<uint32_t>(block.size());
  for (auto _ : state) {
    uint16_t blockSize = 0;
    if (entity.TransferPrepare(block.data(), length, 0, blockSize) != aErrNone ||
        entity.FirmwareTransfer(block.data(), length, blockSize, display) != aErrNone) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageSize));
  if (!ueiBytes) {
    // Data packets per second: its inverse is the time of one data round trip.
    const double packets = static_cast<double>((kImageSize + UpdaterEntity::DATA_CHUNK_MAX - 1) /
                                               UpdaterEntity::DATA_CHUNK_MAX);
    state.counters["data_packets"] =
        benchmark::Counter(packets * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  }
}
BENCHMARK(BM_FirmwareTransfer)
    ->ArgName("uei_bytes")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

}  // namespace
