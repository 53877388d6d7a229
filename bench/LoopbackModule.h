#ifndef BENCH_LOOPBACKMODULE_H
#define BENCH_LOOPBACKMODULE_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "DevSim.h"
#include "aLinkSpec.h"

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
