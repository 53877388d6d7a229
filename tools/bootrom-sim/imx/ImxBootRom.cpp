#include "ImxBootRom.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ImxOptions.h"
#include "ReplaceFile.h"
#include "SdpHidPort.h"
#include "SdpMemory.h"
#include "SdpRom.h"
#include "SdpSerialPort.h"

namespace bootrom::imx {

namespace {

int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  ssize_t ignored = write(gSignalPipe[1], &byte, 1);
  (void)ignored;
}

void Fail(const std::string& message) { std::fprintf(stderr, "bootrom-sim: %s\n", message.c_str()); }

// The process becomes the chip running its loader: the devsim program with the loader module.
int RunLoader(const ImxOptions& options, bool verbose) {
  std::vector<std::string> args = {options.devsim, "--usb-dir", options.usbDir, "--module", options.loaderModule};
  if (verbose) args.push_back("-v");
  if (!options.devsimEmulator.empty()) args.insert(args.begin(), options.devsimEmulator);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv(argv[0], argv.data());
  Fail("cannot run the loader " + args[0] + ": " + std::strerror(errno));
  return 1;
}

}  // namespace

int RunImxBootRom(const PortOptions& port, const std::vector<std::string>& args) {
  ImxOptions options;
  std::string error;
  if (!ParseImxOptions(args, &options, &error)) {
    Fail(error + "\nTry 'bootrom-sim --help'.");
    return 1;
  }
  auto log = [&port](const std::string& line) {
    if (port.verbose) std::fprintf(stderr, "imx: %s\n", line.c_str());
  };

  SdpMemory memory(options.ram, options.registers);
  SdpRom rom(memory, options.habMode, log);
  auto dump = [&]() {
    if (!options.dumpDir.empty() && !memory.dump(options.dumpDir, &error)) Fail(error);
  };
  rom.onFileWritten(dump);

  if (pipe2(gSignalPipe, O_CLOEXEC) != 0) {
    Fail(std::string("cannot create a pipe: ") + std::strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SdpSerialPort serial;
  SdpHidPort hid;
  if (!serial.open(port.ptyLink, options.shortAnswers, &error) ||
      (!options.hidDir.empty() && !hid.open(options.hidDir, options.shortAnswers, &error))) {
    Fail(error);
    return 1;
  }
  std::string lines = "serialport " + serial.slavePath() + (port.ptyLink.empty() ? "" : " " + port.ptyLink) + "\n";
  if (!options.hidDir.empty()) lines += "hid " + hid.socketPath() + "\n";
  lines += "ready\n";
  // The file first: whoever sees "ready" on standard output may read it at once.
  if (!port.readyFile.empty() && !ReplaceFile(port.readyFile, lines)) {
    Fail("cannot write the ready file " + port.readyFile);
    return 1;
  }
  std::fputs(lines.c_str(), stdout);
  std::fflush(stdout);

  bool stopped = false;
  while (!stopped && !rom.jumped()) {
    std::vector<pollfd> fds = {{gSignalPipe[0], POLLIN, 0}, {serial.fd(), POLLIN, 0}};
    if (hid.listenFd() >= 0) fds.push_back({hid.listenFd(), POLLIN, 0});
    if (hid.hostFd() >= 0) fds.push_back({hid.hostFd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      Fail(std::string("poll: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents) stopped = true;
    if (fds[1].revents & POLLIN) serial.readable(rom);
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == hid.listenFd()) hid.acceptHost();
      else if (fds[i].fd == hid.hostFd()) hid.readable(rom);
    }
  }
  // A stop from now on stays pending, for the loader to take when it runs in this process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  pollfd signalled{gSignalPipe[0], POLLIN, 0};
  if (poll(&signalled, 1, 0) > 0) stopped = true;
  serial.close();
  hid.close();
  dump();
  if (!port.readyFile.empty()) unlink(port.readyFile.c_str());
  if (stopped) return 0;

  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", rom.jumpAddress());
  log(std::string("jumped to the loader at ") + hex);
  if (!options.devsim.empty()) return RunLoader(options, port.verbose);
  // No loader to run: the chip is gone from both lines until it is stopped.
  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}

}  // namespace bootrom::imx
