#ifndef BENCH_LOOPBACKMODULE_H
#define BENCH_LOOPBACKMODULE_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "DevSim.h"
#include "aLinkSpec.h"

// A USBHub2x4 module (model 17) at `address` that sends no heartbeats, so that only the
// conversation being timed crosses the link.
inline devsim::ModuleSpec QuietHubSpec(uint32_t serial, uint8_t address) {
  devsim::ModuleSpec module;
  module.serial = serial;
  module.model = 17;
  module.address = address;
  module.heartbeatInterval = 0;
  return module;
}

// The device simulator with one module listening on an ephemeral port of 127.0.0.1, for the
// life of the object.
class LoopbackModule {
 public:
  explicit LoopbackModule(devsim::ModuleSpec module) : serial_(module.serial), sim_(ConfigWith(module)) {
    std::string error;
    started_ = sim_.start(&error);
  }

  bool started() const { return started_; }
  uint16_t port() const { return sim_.tcpPort(serial_); }
  // How to reach the module over TCP.
  linkSpec link() const {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial_;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.ipPort = port();
    return spec;
  }

 private:
  static devsim::DevSimConfig ConfigWith(devsim::ModuleSpec module) {
    module.tcpPort = 0;
    devsim::DevSimConfig config;
    config.modules.push_back(module);
    return config;
  }

  uint32_t serial_;
  devsim::DevSim sim_;
  bool started_ = false;
};

#endif
