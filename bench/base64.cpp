// Throughput of the base64 codec on firmware-sized inputs (a BIRD file arrives as one base64 line).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "Base64.h"

namespace {

std::string Bytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 13);
  return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
  const std::string bytes = Bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    int length = 0;
    char* text = base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()), &length);
    benchmark::DoNotOptimize(text);
    std::free(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
  const std::string bytes = Bytes(static_cast<size_t>(state.range(0)));
  int textLength = 0;
  char* text = base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()), &textLength);
  for (auto _ : state) {
    unsigned int length = 0;
    char* decoded = base64_decode(text, static_cast<unsigned int>(textLength), &length);
    benchmark::DoNotOptimize(decoded);
    std::free(decoded);
  }
  std::free(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * textLength);
}

BENCHMARK(BM_Base64Encode)->Arg(4 << 10)->Arg(1 << 20);
BENCHMARK(BM_Base64Decode)->Arg(4 << 10)->Arg(1 << 20);

}  // namespace
