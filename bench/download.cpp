// One firmware download as -G makes it (ping, current build, build list, the file on a worker
// thread while the caller waits in 100 ms slices, base64 decoding, the store write and the
// settings), against tools/update-server on 127.0.0.1, for builds of 64 KiB and 1 MiB of firmware.
// The wait must end when the download does, not at the next 100 ms mark.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "BirdRecipe.h"
#include "SilentDisplay.h"
#include "Updater.h"
#include "aDirectory.h"

extern char** environ;

namespace {

const uint32_t kSerial = 0x40F5849A;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The update server built beside this benchmark (build/bench -> build/tools/update-server).
std::string ServerBinary() {
  char exe[4096];
  if (aDirectory_ExecutableFilePath(exe, sizeof exe) != aErrNone) std::abort();
  std::string path = exe;
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/tools/update-server/update-server";
}

// A firmware directory with one build of the given firmware size, served on a free port.
class ServedBuild {
 public:
  explicit ServedBuild(size_t firmwareSize) {
    char dir[] = "/tmp/download_bench.XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    dir_ = dir;
    const std::string root = dir_ + "/firmware";
    ::mkdir(root.c_str(), 0755);
    BirdRecipe recipe;
    recipe.model = 19;
    recipe.build = 1300;
    recipe.version = "2.11.2";
    recipe.generic = true;
    recipe.firmwareSize = firmwareSize;
    if (!WriteBirdFile(recipe, root + "/1300.bird")) std::abort();
    fileSize_ = ReadFile(root + "/1300.bird").size();
    std::ofstream(root + "/index.txt") << "build 40F5849A 1300 2.11.2 1300.bird\n";
    Start(root);
  }
  ~ServedBuild() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  std::string StoreDir() const { return dir_ + "/updater"; }
  size_t FileSize() const { return fileSize_; }

 private:
  void Start(const std::string& root) {
    const std::string ready = dir_ + "/ready";
    std::string args[] = {ServerBinary(), "-q", "-r", root, "-p", "0", "-w", ready};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0], &args[4][0],
                    &args[5][0], &args[6][0], &args[7][0], nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, environ) != 0) std::abort();
    for (int i = 0; i < 500 && port_ <= 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      port_ = std::atoi(ReadFile(ready).c_str());
    }
    if (port_ <= 0) std::abort();
  }

  std::string dir_;
  size_t fileSize_ = 0;
  pid_t pid_ = -1;
  int port_ = 0;
};

void BM_DownloadFirmware(benchmark::State& state) {
  ServedBuild served(static_cast<size_t>(state.range(0)));
  SilentDisplay display;
  Updater updater(served.Url(), served.StoreDir(), display);
  for (auto _ : state)
    if (updater.Download_Firmware(kSerial, "", false, false) != 1300) state.SkipWithError("download failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * served.FileSize()));
  state.counters["file_bytes"] = static_cast<double>(served.FileSize());
}

}  // namespace

BENCHMARK(BM_DownloadFirmware)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
