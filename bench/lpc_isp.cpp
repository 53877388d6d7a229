// Programming a 256 KiB image into the simulated LPC17xx at 115200 baud (the simulator carries
// bytes at the line's real rate and takes the data sheet's erase and program times):
// NXPSerialClass writing and reading back for verification, and lpc21isp writing the same image
// to the same simulator. The last benchmark reports the ratio of the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "NXPSerialClass.h"

extern char** environ;

namespace {

const uint32_t kImageBytes = 256 * 1024;
const uint32_t kChunk = 4096;
const char* const kLpc21isp = "/usr/bin/lpc21isp";
double gNxpSeconds = 0;
double gLpc21ispSeconds = 0;

pid_t Spawn(std::vector<std::string> argv, const std::string& output) {
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The simulator on a pseudo-terminal in a scratch directory, for one benchmark run.
class Simulator {
 public:
  Simulator() {
    char pattern[] = "/tmp/bench-lpc-XXXXXX";
    dir_ = mkdtemp(pattern);
    port_ = dir_ + "/tty";
    const std::string ready = dir_ + "/ready";
    pid_ = Spawn({PROJECT_BINARY_DIR "/tools/bootrom-sim/bootrom-sim", "--chip", "lpc17xx", "--pty-link", port_,
                  "--ready-file", ready, "--line-rate", "115200"},
                 dir_ + "/sim.log");
    for (int i = 0; i < 1000 && pid_ > 0 && access(ready.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ok_ = pid_ > 0 && access(ready.c_str(), F_OK) == 0;
  }
  ~Simulator() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait(pid_);
    }
    system(("rm -rf " + dir_).c_str());
  }
  bool ok() const { return ok_; }
  const std::string& port() const { return port_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_, port_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

std::vector<uint8_t> Image() {
  std::vector<uint8_t> image(kImageBytes);
  uint32_t seed = 5;
  for (uint8_t& b : image) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  // A valid vector-table signature, so lpc21isp sends the image unchanged.
  uint32_t total = 0;
  for (int w = 0; w < 7; ++w) total += image[4 * w] | image[4 * w + 1] << 8 | image[4 * w + 2] << 16 | uint32_t(image[4 * w + 3]) << 24;
  const uint32_t signature = 0u - total;
  for (int k = 0; k < 4; ++k) image[28 + k] = static_cast<uint8_t>(signature >> (8 * k));
  return image;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

aErr Program(NXPSerialClass& isp, const std::vector<uint8_t>& image) {
  const uint32_t lastSector = NXPSerialClass::SectorFromAddress(kImageBytes - 1);
  aErr err = isp.Sync();
  if (err == aErrNone) err = isp.Unlock();
  if (err == aErrNone) err = isp.SetEcho(false);
  if (err == aErrNone) err = isp.Prepare(0, lastSector);
  if (err == aErrNone) err = isp.Erase(0, lastSector);
  for (uint32_t at = 0; at < kImageBytes && err == aErrNone; at += kChunk) {
    const uint32_t sector = NXPSerialClass::SectorFromAddress(at);
    err = isp.Write(NXPSerialClass::WRITE_ADDRESS, kChunk, image.data() + at);
    if (err == aErrNone) err = isp.Prepare(sector, sector);
    if (err == aErrNone) err = isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, kChunk);
  }
  std::vector<uint8_t> back(kImageBytes);
  if (err == aErrNone) err = isp.Read(0, kImageBytes, back.data());
  if (err == aErrNone && back != image) err = aErrIO;
  return err;
}

// One timed programming run per iteration against a fresh simulator; program answers null or
// what went wrong.
using Programmer = std::function<const char*(const Simulator&, const std::vector<uint8_t>&)>;
void Measure(benchmark::State& state, double* seconds, const Programmer& program) {
  const std::vector<uint8_t> image = Image();
  for (auto _ : state) {
    Simulator sim;
    if (!sim.ok()) {
      state.SkipWithError("the simulator did not start");
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    const char* failure = program(sim, image);
    *seconds = Seconds(start);
    state.SetIterationTime(*seconds);
    if (failure != nullptr) {
      state.SkipWithError(failure);
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
}

void BM_NXPSerialClassWriteAndVerify256K(benchmark::State& state) {
  Measure(state, &gNxpSeconds, [](const Simulator& sim, const std::vector<uint8_t>& image) -> const char* {
    NXPSerialClass isp;
    const aErr err = isp.Connect(sim.port().c_str(), 115200) == aErrNone ? Program(isp, image) : aErrIO;
    return err == aErrNone ? nullptr : aError_GetErrorText(err);
  });
}
BENCHMARK(BM_NXPSerialClassWriteAndVerify256K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_Lpc21ispWrite256K(benchmark::State& state) {
  if (access(kLpc21isp, X_OK) != 0) {
    state.SkipWithError("lpc21isp is not installed (Debian package lpc21isp)");
    return;
  }
  Measure(state, &gLpc21ispSeconds, [](const Simulator& sim, const std::vector<uint8_t>& image) -> const char* {
    const std::string file = sim.dir() + "/image.bin";
    FILE* f = fopen(file.c_str(), "wb");
    if (f == nullptr || fwrite(image.data(), 1, image.size(), f) != image.size() || fclose(f) != 0) return "cannot write the image";
    const int status = Wait(Spawn({kLpc21isp, "-bin", "-donotstart", file, sim.port(), "115200", "14746"},
                                  sim.dir() + "/lpc21isp.log"));
    return status == 0 ? nullptr : "lpc21isp failed";
  });
}
BENCHMARK(BM_Lpc21ispWrite256K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// NXPSerialClass time (write and verify) over lpc21isp time (write); target: at most 1.
void BM_RatioToLpc21isp(benchmark::State& state) {
  for (auto _ : state) {
  }
  if (gNxpSeconds <= 0 || gLpc21ispSeconds <= 0) {
    state.SkipWithError("both runs are needed");
    return;
  }
  state.counters["nxp_s"] = gNxpSeconds;
  state.counters["lpc21isp_s"] = gLpc21ispSeconds;
  state.counters["ratio"] = gNxpSeconds / gLpc21ispSeconds;
}
BENCHMARK(BM_RatioToLpc21isp)->Iterations(1);

}  // namespace
