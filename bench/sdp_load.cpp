// A 64 KiB recovery loader into the i.MX boot-ROM simulator (tools/bootrom-sim): through
// SDPLoader on the serial line and over HID (the hidapi stand-in), against imx_uart (Debian's
// imx-usb-loader) loading the same file on the same serial line. Port set-up is outside the
// timing for SDPLoader (its 1 s settling pause); imx_uart is timed as a whole run, as a user
// sees it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "aDirectory.h"

extern char** environ;

namespace {

constexpr size_t kLoaderSize = 64 << 10;
constexpr uint32_t kLoadAddress = 0x20200000;
const char kImxUart[] = "/usr/bin/imx_uart";

std::string BuildDir() {
  char exe[4096];
  if (aDirectory_ExecutableFilePath(exe, sizeof exe) != aErrNone) std::abort();
  std::string path = exe;
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/'));
}

int Spawn(std::vector<std::string> args, bool quiet) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The simulator with its serial line and HID device in a private directory.
class SimulatedRom {
 public:
  SimulatedRom() {
    char dir[] = "/tmp/sdp_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
    setenv("AXONFORGE_HIDSIM_DIR", dir_.c_str(), 1);
    pid_ = Spawn({BuildDir() + "/tools/bootrom-sim/bootrom-sim", "--chip", "imx", "--pty-link", tty(), "--hid-dir",
                  dir_, "--ready-file", dir_ + "/ready"},
                 true);
    for (int i = 0; i < 500 && access((dir_ + "/ready").c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ofstream(dir_ + "/loader.bin", std::ios::binary) << std::string(kLoaderSize, '\x5A');
    std::ofstream(dir_ + "/imxrt.conf") << "imxrt\nhid,1024,0x20000000,0x20000000,128K,0x20200000,256K\n"
                                        << dir_ << "/loader.bin:load 0x20200000\n";
  }
  ~SimulatedRom() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string tty() const { return dir_ + "/tty"; }
  std::string config() const { return dir_ + "/imxrt.conf"; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

void LoadThrough(benchmark::State& state, SDPLoader_Interface* transport) {
  SDPLoader loader;
  loader.setLoader(transport);
  if (loader.init() != 0) return state.SkipWithError("the transport did not open");
  const std::vector<uint8_t> image(kLoaderSize, 0x5A);
  for (auto _ : state)
    if (loader.writeLoader(image, kLoadAddress) != 0) return state.SkipWithError("the load failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLoaderSize));
}

void BM_SDPLoaderSerial(benchmark::State& state) {
  SimulatedRom rom;
  LoadThrough(state, new Serial_SDPLoader(rom.tty()));
}

void BM_SDPLoaderHid(benchmark::State& state) {
  SimulatedRom rom;
  LoadThrough(state, new HID_SDPLoader(0x1FC9, 0x0130));
}

void BM_ImxUartSerial(benchmark::State& state) {
  if (access(kImxUart, X_OK) != 0) return state.SkipWithError("imx_uart is not installed (imx-usb-loader)");
  SimulatedRom rom;
  for (auto _ : state) {
    int status = 0;
    waitpid(Spawn({kImxUart, "-n", rom.tty(), rom.config()}, true), &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("imx_uart failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLoaderSize));
}

}  // namespace

BENCHMARK(BM_SDPLoaderSerial)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SDPLoaderHid)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImxUartSerial)->Unit(benchmark::kMillisecond)->UseRealTime();
