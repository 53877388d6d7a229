#ifndef TESTS_OBJECTS_LINKTESTSUPPORT_H
#define TESTS_OBJECTS_LINKTESTSUPPORT_H

// Shared pieces of the Link tests: owned packets, UEI records, the device simulator with one
// module on a loopback TCP port, and a Link connected to it.

#include <gtest/gtest.h>


#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "Polling.h"
#include "Link.h"
#include "LinkStreams.h"
#include "aPacket.h"
#include "aUEI.h"
#include "LoopbackLinkSpec.h"

namespace linktest {

using Tessaron::Axonforge::Link;
using Tessaron::Axonforge::LinkStreams;
using Clock = std::chrono::steady_clock;

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<aPacket, PacketDeleter>;

inline Packet MakePacket(uint8_t address, const std::vector<uint8_t>& data) {
  return Packet(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

inline uei Record(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uint32_t type = UEI_TYPE_NONE) {
  uei record{};
  record.module = module;
  record.command = command;
  record.option = option;
  record.specifier = specifier;
  record.type = type;
  return record;
}

// A one-packet stream sample as a module sends it: command, option, index | stream bit, type,
// [subindex], 8-byte timestamp, value of `width` bytes, trailer 0.
inline std::vector<uint8_t> SampleData(uint8_t command, uint8_t option, uint8_t index, uint8_t type,
                                       uint64_t timestamp, uint32_t value, int width, int subindex = -1) {
  std::vector<uint8_t> data = {command, option, uint8_t(0x40 | index), type};
  if (subindex >= 0) data.push_back(static_cast<uint8_t>(subindex));
  for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(timestamp >> shift));
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(value >> shift));
  data.push_back(0);
  return data;
}

using polling::ElapsedMs;
using polling::Eventually;

constexpr uint32_t kSimSerial = 0x1234ABCD;
constexpr uint8_t kSimModel = 17;
constexpr uint8_t kSimAddress = 6;
constexpr uint8_t kSystem = 3;

// The device simulator running one module reachable over loopback TCP, and a Link to it.
class SimulatedModule : public ::testing::Test {
 protected:
  void SetUp() override {
    devsim::ModuleSpec module;
    module.serial = kSimSerial;
    module.model = kSimModel;
    module.address = kSimAddress;
    module.tcpPort = 0;
    module.heartbeatInterval = 0;
    module.samplePeriodMs = 20;
    adjustModule(module);
    devsim::DevSimConfig config;
    config.modules.push_back(module);
    sim = std::make_unique<devsim::DevSim>(config);
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
    link = std::make_unique<Link>(spec(), "simulated");
    ASSERT_EQ(link->connect(), aErrNone);
  }
  void TearDown() override {
    link.reset();
    if (sim) sim->stop();
  }
  virtual void adjustModule(devsim::ModuleSpec&) {}

  linkSpec spec() const {
    linkSpec spec = LoopbackLinkSpec(TCPIP, kSimSerial, sim->tcpPort(kSimSerial));
    spec.module = spec.router = kSimAddress;
    spec.model = kSimModel;
    return spec;
  }

  // A UEI get of a system option and its reply (record filled, or the error).
  aErr get(uint8_t option, uei* reply) {
    uei request = Record(kSimAddress, kSystem, option | UEI_OPTION_GET, UEI_SPECIFIER_REPLY);
    aErr result = link->sendUEI(request);
    if (result != aErrNone) return result;
    *reply = Record(kSimAddress, kSystem, option, 0);
    return link->receiveUEI(kSimAddress, kSystem, option, 0, reply);
  }

  // A UEI set of a system option and its acknowledgement.
  aErr set(uint8_t option, uei value, uei* ack) {
    value.module = kSimAddress;
    value.command = kSystem;
    value.option = option | UEI_OPTION_SET;
    value.specifier = UEI_SPECIFIER_REPLY;
    aErr result = link->sendUEI(value);
    if (result != aErrNone) return result;
    *ack = value;
    ack->option = option | UEI_OPTION_ACK;
    ack->specifier = 0;
    return link->receiveUEI(kSimAddress, kSystem, ack->option, 0, ack);
  }

  std::unique_ptr<devsim::DevSim> sim;
  std::unique_ptr<Link> link;
};

}  // namespace linktest

#endif
