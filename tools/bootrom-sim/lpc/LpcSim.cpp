#include "LpcSim.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "IspSession.h"
#include "LpcOptions.h"
#include "Lpc17xxMemory.h"
#include "PacedPty.h"

namespace lpcsim {

namespace {

volatile sig_atomic_t gStop = 0;

void sOnSignal(int) { gStop = 1; }

void sInstallSignals() {
  struct sigaction action = {};
  action.sa_handler = sOnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

bool sWriteReadyFile(const std::string& path, const std::string& slave) {
  const std::string temporary = path + ".part";
  FILE* f = fopen(temporary.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = fprintf(f, "lpc17xx %s\n", slave.c_str()) > 0;
  return fclose(f) == 0 && ok && rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int Run(const PortOptions& port, const std::vector<std::string>& args) {
  LpcOptions options;
  std::string error;
  if (!ParseLpcOptions(args, &options, &error)) {
    fprintf(stderr, "bootrom-sim: %s\n", error.c_str());
    return 1;
  }
  PacedPty pty;
  if (!pty.open(port.ptyLink, options.lineRate, &error)) {
    fprintf(stderr, "bootrom-sim: %s\n", error.c_str());
    return 1;
  }
  sInstallSignals();
  Lpc17xxMemory memory;
  const bool verbose = port.verbose;
  IspSession::Io io;
  io.send = [&pty](const std::string& bytes) { pty.send(bytes); };
  io.busy = [verbose](uint32_t ms) {
    if (verbose) fprintf(stderr, "lpc17xx: busy %u ms\n", ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  };
  io.note = [verbose](const std::string& text) {
    if (verbose) fprintf(stderr, "lpc17xx: %s\n", text.c_str());
  };
  IspSession session(options.isp, memory, io);
  fprintf(stderr, "lpc17xx: ISP boot loader on %s\n", pty.slavePath().c_str());
  if (!port.readyFile.empty() && !sWriteReadyFile(port.readyFile, pty.slavePath())) {
    fprintf(stderr, "bootrom-sim: cannot write %s\n", port.readyFile.c_str());
    return 1;
  }
  bool announcedStart = false;
  uint8_t buffer[512];
  while (!gStop) {
    const size_t n = pty.receive(buffer, sizeof buffer, 100);
    for (size_t i = 0; i < n && !gStop; ++i) {
      pty.awaitArrival(i);
      session.feed(buffer[i]);
    }
    if (session.started() && !announcedStart) {
      announcedStart = true;
      fprintf(stderr, "lpc17xx: user code started at 0x%08X (Thumb)\n", session.startAddress());
    }
  }
  int status = 0;
  if (!options.flashDump.empty() && !memory.dumpFlash(options.flashDump, &error)) {
    fprintf(stderr, "bootrom-sim: %s\n", error.c_str());
    status = 1;
  }
  return status;
}

}  // namespace lpcsim
