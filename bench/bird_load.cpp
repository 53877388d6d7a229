// Loading a BIRD file with a 4 MiB firmware image, against zlib's uncompress of the same body
// alone: time per load, and the peak resident memory one load adds (measured in a forked child).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdRecipe.h"

namespace {

constexpr size_t kFirmwareSize = 4u << 20;

struct Fixture {
  std::string path;
  std::vector<uint8_t> body;  // the zlib stream after the 6 header bytes
  size_t imageSize = 0;

  Fixture() {
    char dir[] = "/tmp/bird_load_bench.XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    path = std::string(dir) + "/image.bird";
    BirdRecipe recipe;
    recipe.model = 17;
    recipe.build = 4242;
    recipe.version = "2.15.3";
    recipe.firmwareSize = kFirmwareSize;
    recipe.generic = true;
    if (!WriteBirdFile(recipe, path)) std::abort();
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    body.assign(file.begin() + 6, file.end());
    imageSize = MakeBirdWriter(recipe).ImageData().size();
  }
  ~Fixture() {
    std::remove(path.c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
  }
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

void ZlibUncompress(const Fixture& f) {
  std::unique_ptr<unsigned char[]> out(new unsigned char[f.imageSize]);
  uLongf size = f.imageSize;
  if (uncompress(out.get(), &size, f.body.data(), f.body.size()) != Z_OK || size != f.imageSize) std::abort();
  benchmark::DoNotOptimize(out.get());
}

void BirdLoad(const Fixture& f) {
  BirdFile bird(f.path.c_str());
  if (bird.imageSize != f.imageSize) std::abort();
  benchmark::DoNotOptimize(bird.image.get());
}

// A "VmXXX:  N kB" line of /proc/self/status, in bytes.
long StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field)) * 1024;
  return -1;
}

// Peak resident growth (bytes) while `work` runs once in a fresh child process: the child
// returns free heap pages and resets its high-water mark, so only what `work` touches counts.
long PeakGrowth(const std::function<void()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::malloc_trim(0);  // hand back the heap the timing loops left, so reused pages count again
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusBytes("VmRSS:");
    work();
    const long growth = StatusBytes("VmHWM:") - before;
    if (::write(fds[1], &growth, sizeof growth) != sizeof growth) ::_exit(1);
    ::_exit(0);
  }
  long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
  ::close(fds[1]);
  return growth;
}

void Report(benchmark::State& state, const Fixture& f, const std::function<void()>& work) {
  state.counters["image_bytes"] = static_cast<double>(f.imageSize);
  state.counters["body_bytes"] = static_cast<double>(f.body.size());
  state.counters["peak_rss_growth"] = static_cast<double>(PeakGrowth(work));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.imageSize));
}

void BM_ZlibUncompress(benchmark::State& state) {
  const Fixture& f = TheFixture();
  for (auto _ : state) ZlibUncompress(f);
  Report(state, f, [&] { ZlibUncompress(f); });
}

void BM_BirdFileLoad(benchmark::State& state) {
  const Fixture& f = TheFixture();
  for (auto _ : state) BirdLoad(f);
  Report(state, f, [&] { BirdLoad(f); });
}

BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BirdFileLoad)->Unit(benchmark::kMillisecond);

}  // namespace
