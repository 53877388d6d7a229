#ifndef TESTS_DEVSIM_SIMFIXTURE_H
#define TESTS_DEVSIM_SIMFIXTURE_H

// Runs a simulator in-process for one test and captures its log.

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
#include "WireClient.h"

namespace devsimtest {

// A simulator with this configuration refuses to start, with a message containing `expected`.
inline void ExpectRefused(const devsim::DevSimConfig& config, const std::string& expected) {
  devsim::DevSim sim(config);
  std::string error;
  EXPECT_FALSE(sim.start(&error));
  EXPECT_NE(error.find(expected), std::string::npos) << error;
}

class RunningSim {
 public:
  explicit RunningSim(const std::vector<std::string>& modules,
                      const std::function<void(devsim::DevSimConfig&)>& adjust = {}) {
    devsim::DevSimConfig config = ConfigFor(modules);
    config.verbose = true;
    if (adjust) adjust(config);
    sim_ = std::make_unique<devsim::DevSim>(config);
    sim_->log().setSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
    std::string error;
    started_ = sim_->start(&error);
    EXPECT_TRUE(started_) << error;
  }

  devsim::DevSim& sim() { return *sim_; }
  bool started() const { return started_; }
  WireClient tcp(uint32_t serial) { return WireClient::Tcp(sim_->tcpPort(serial)); }

  bool logContains(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  devsim::ModuleStatus status(uint32_t serial) {
    devsim::ModuleStatus s;
    EXPECT_TRUE(sim_->status(serial, &s));
    return s;
  }

  // Polls until the predicate on the module's status holds, or the time runs out.
  bool waitFor(uint32_t serial, const std::function<bool(const devsim::ModuleStatus&)>& ready, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (ready(status(serial))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ready(status(serial));
  }

 private:
  // The log sink outlives the simulator, which still logs while it stops.
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::unique_ptr<devsim::DevSim> sim_;
  bool started_ = false;
};

// One simulated module, described by `Module`, and a host connected to it over TCP.
template <const char* Module>
class OneModuleTest : public ::testing::Test {
 protected:
  RunningSim sim{{Module}};
  WireClient host = sim.tcp(ConfigFor({Module}).modules.at(0).serial);
};

inline SimPacket Packet(uint8_t address, Bytes data) { return SimPacket(address, std::move(data)); }

}  // namespace devsimtest

#endif
