// shared-link-server: serves one simulated USB device through a link server, for clients
// written by others to be pointed at, and is such a client itself.
//
//   shared-link-server [--module SPEC | --usb-dir DIR --serial HEX] [--network [--interface ADDR]]
//       Serves the device (its own simulated module, by default the devsim module SPEC below,
//       or a device on the simulated bus DIR of a running devsim), prints
//       "serving <SERIAL> port <PORT> interface <ADDR>" and "ready", and runs until SIGINT or
//       SIGTERM; then releases the device, prints "released" and exits 0. Local only (loopback)
//       unless --network: then on ADDR, or the host's first interface, found by beacon.
//   shared-link-server --client HEX [--interface ADDR] [--count N] [--hold]
//       Finds the served device by discovery (loopback multicast, or the beacon on ADDR),
//       runs N echo and serial-number conversations, prints "conversations <N> ok <M>" and
//       exits 0 when all succeeded; --hold then keeps the link open until a signal ends the
//       program (it installs no handler of its own).
//
// Discovery sends multicast or beacon datagrams: run it inside tests/support/netns-run.

#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "DevSim.h"
#include "Module.h"
#include "SystemClass.h"
#include "aLink.h"

namespace {

using Tessaron::Axonforge::aWeaveConfig;
using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::SystemClass;

const char kDefaultModule[] = "serial=0x1234ABCD,model=17,address=6,usb,hb=10";

struct Options {
  std::string module = kDefaultModule;
  std::string usbDir;
  uint32_t serial = 0;
  bool network = false;
  uint32_t networkInterface = htonl(INADDR_LOOPBACK);
  uint32_t client = 0;
  int count = 10;
  bool hold = false;
};

int Usage(const char* why) {
  fprintf(stderr, "shared-link-server: %s\n", why);
  fprintf(stderr,
          "usage: shared-link-server [--module SPEC | --usb-dir DIR --serial HEX] [--network [--interface ADDR]]\n"
          "       shared-link-server --client HEX [--interface ADDR] [--count N] [--hold]\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const char* value = hasValue ? argv[i + 1] : "";
    if (arg == "--network") {
      o->network = true;
    } else if (arg == "--hold") {
      o->hold = true;
    } else if (!hasValue) {
      *error = "unknown option or missing value: " + arg;
      return false;
    } else if (arg == "--module") {
      o->module = value;
    } else if (arg == "--usb-dir") {
      o->usbDir = value;
    } else if (arg == "--serial" || arg == "--client") {
      (arg == "--serial" ? o->serial : o->client) = static_cast<uint32_t>(strtoul(value, nullptr, 16));
    } else if (arg == "--interface") {
      if (inet_pton(AF_INET, value, &o->networkInterface) != 1) {
        *error = std::string("not an IPv4 address: ") + value;
        return false;
      }
    } else if (arg == "--count") {
      o->count = atoi(value);
    } else {
      *error = "unknown option: " + arg;
      return false;
    }
    if (arg != "--network" && arg != "--hold") ++i;
  }
  return true;
}

std::string Dotted(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// The simulated device of its own, on a bus in a fresh directory.
std::unique_ptr<devsim::DevSim> StartOwnDevice(Options* o, std::string* error) {
  devsim::DevSimConfig config;
  devsim::ModuleSpec spec;
  if (!devsim::ParseModuleSpec(o->module, &spec, error)) return nullptr;
  spec.usb = true;
  config.modules.push_back(spec);
  char pattern[] = "/tmp/shared-link-server.XXXXXX";
  if (!mkdtemp(pattern)) {
    *error = "cannot make a directory for the simulated bus";
    return nullptr;
  }
  config.usbDir = o->usbDir = pattern;
  o->serial = spec.serial;
  auto sim = std::make_unique<devsim::DevSim>(config);
  if (!sim->start(error)) return nullptr;
  return sim;
}

int Serve(Options o) {
  // Blocked in every thread from the start, so that only the wait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::unique_ptr<devsim::DevSim> sim;
  std::string error;
  if (o.usbDir.empty() && !(sim = StartOwnDevice(&o, &error))) {
    fprintf(stderr, "shared-link-server: %s\n", error.c_str());
    return 1;
  }
  setenv("AXONFORGE_USBSIM_DIR", o.usbDir.c_str(), 1);
  uint16_t port = 0;
  uint32_t address = o.network ? o.networkInterface : htonl(INADDR_LOOPBACK);
  uint32_t link = aLink_CreateServer(o.serial, &port, &address, !o.network);
  if (link == 0) {
    fprintf(stderr, "shared-link-server: cannot serve the device %08X\n", o.serial);
    return 1;
  }
  printf("serving %08X port %u interface %s\nready\n", o.serial, port, Dotted(address).c_str());
  fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  aLink_Destroy(&link);
  printf("released\n");
  fflush(stdout);
  if (sim) {
    sim->stop();
    rmdir(o.usbDir.c_str());
  }
  return 0;
}

int Client(const Options& o) {
  Module module(0, 0);
  aWeaveConfig config;
  config.fallback = false;  // never the device's USB link: it is the server's
  config.networkInterface = o.networkInterface;
  module.setConfig(config);
  aErr err = module.connect(AWEAVE, o.client);
  if (err != aErrNone) {
    fprintf(stderr, "shared-link-server: cannot reach %08X through a link server (%s)\n", o.client,
            aError_GetErrorText(err));
    return 1;
  }
  SystemClass system;
  system.init(&module, 0);
  int ok = 0;
  for (int i = 0; i < o.count; ++i) {
    uint8_t echo[4] = {uint8_t(i), uint8_t(i >> 8), 0x5A, uint8_t(getpid())};
    uint32_t serial = 0;
    if (module.debug(echo, sizeof echo) == aErrNone && system.getSerialNumber(&serial) == aErrNone &&
        serial == o.client)
      ++ok;
  }
  printf("conversations %d ok %d\n", o.count, ok);
  fflush(stdout);
  if (o.hold) {
    printf("holding\n");
    fflush(stdout);
    for (;;) pause();
  }
  return ok == o.count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) return Usage(error.c_str());
  if (options.client != 0) return Client(options);
  if (!options.usbDir.empty() && options.serial == 0) return Usage("--usb-dir needs --serial");
  return Serve(options);
}
