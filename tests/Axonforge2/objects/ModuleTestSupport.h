#ifndef TESTS_OBJECTS_MODULETESTSUPPORT_H
#define TESTS_OBJECTS_MODULETESTSUPPORT_H

// The device simulator in-process with its conversation recorded, and Modules connected to it
// over loopback TCP.

#include <gtest/gtest.h>


#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "DevSimConfig.h"
#include "Polling.h"
#include "Module.h"
#include "LoopbackLinkSpec.h"

namespace moduletest {

using Tessaron::Axonforge::Module;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDirectSerial = 0x1234ABCD;
constexpr uint8_t kDirectModel = 17;
constexpr uint8_t kDirectAddress = 6;
constexpr uint32_t kDirectBuild = 100;
inline const char* kDirectModule =
    "serial=0x1234ABCD,model=17,address=6,build=100,version=2.15.3,tcp=0,hb=0,restart=100,sample=300";

// A router on loopback TCP and a module on its I2C bus.
constexpr uint32_t kRouterSerial = 0x0000A001;
constexpr uint8_t kRouterAddress = 2;
constexpr uint32_t kBehindSerial = 0x0000B002;
constexpr uint8_t kBehindAddress = 8;
inline const char* kRouterModule = "serial=0x0000A001,model=5,address=2,tcp=0,hb=0";
inline const char* kBehindModule = "serial=0x0000B002,model=13,address=8,behind=0x0000A001,build=77,hb=0";

using polling::ElapsedMs;
using polling::Eventually;

class Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& modules,
                     const std::function<void(devsim::DevSimConfig&)>& adjust = {}) {
    devsim::DevSimConfig config = devsimtest::ConfigFor(modules);
    config.verbose = true;
    if (adjust) adjust(config);
    sim_ = std::make_unique<devsim::DevSim>(config);
    sim_->log().setSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
    std::string error;
    EXPECT_TRUE(sim_->start(&error)) << error;
  }
  ~Simulator() { sim_->stop(); }

  devsim::DevSim& sim() { return *sim_; }

  linkSpec tcpSpec(uint32_t serial) const { return LoopbackLinkSpec(TCPIP, serial, sim_->tcpPort(serial)); }

  devsim::ModuleStatus status(uint32_t serial) const {
    devsim::ModuleStatus s;
    EXPECT_TRUE(sim_->status(serial, &s));
    return s;
  }

  // Packets the host sent with exactly these wire bytes ("06 04 03 84 20 01"); with an empty
  // text, every packet the host sent.
  size_t sentByHost(const std::string& wireHex = "") const {
    const std::string needle = wireHex.empty() ? " host> " : "host> " + wireHex + "  [";
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& line : lines_) count += line.find(needle) != std::string::npos;
    return count;
  }

 private:
  mutable std::mutex mutex_;  // the sink outlives the simulator, which logs while it stops
  std::vector<std::string> lines_;
  std::unique_ptr<devsim::DevSim> sim_;
};

// Constructed with address 2: the module's real address is learned on connecting.
inline std::unique_ptr<Module> ConnectedModule(const Simulator& sim, uint32_t serial) {
  auto module = std::make_unique<Module>(2, 0);
  EXPECT_EQ(module->connectFromSpec(sim.tcpSpec(serial)), aErrNone);
  return module;
}

}  // namespace moduletest

#endif
