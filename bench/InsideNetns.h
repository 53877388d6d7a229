#ifndef BENCH_INSIDENETNS_H
#define BENCH_INSIDENETNS_H

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// main() of a benchmark program whose sockets send discovery datagrams: outside a private
// network namespace it runs itself again through tests/support/netns-run.
inline int RunBenchmarksInsideNetns(int argc, char** argv) {
  const char* inside = getenv("NETNS_RUN_INSIDE");
  if (!inside || strcmp(inside, "1") != 0) {
    const char* runner = PROJECT_SOURCE_DIR "/tests/support/netns-run";
    char** args = static_cast<char**>(calloc(static_cast<size_t>(argc) + 2, sizeof(char*)));
    args[0] = const_cast<char*>(runner);
    static char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = 0;
    args[1] = self;
    for (int i = 1; i < argc; ++i) args[i + 1] = argv[i];
    execv(runner, args);
    perror("cannot run inside a network namespace");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

#endif
