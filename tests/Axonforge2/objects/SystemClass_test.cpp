// SystemClass: every option of the system entity in one pass over a table, against the device
// simulator. The rows run in order on one module: later rows rely on settings made earlier.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ModuleTestSupport.h"
#include "SystemClass.h"

using namespace moduletest;
using Tessaron::Axonforge::SystemClass;
using S = SystemClass;

namespace {

template <typename T>
T Read(aErr (S::*getter)(T*), S& system) {
  T value{};
  EXPECT_EQ((system.*getter)(&value), aErrNone);
  return value;
}

template <typename T>
void SetThenRead(aErr (S::*setter)(T), aErr (S::*getter)(T*), S& system, T value) {
  EXPECT_EQ((system.*setter)(value), aErrNone);
  EXPECT_EQ(Read(getter, system), value);
}

// Simulated measurements swing around a centre; one unit of slack for rounding.
template <typename T>
void Near(T value, T centre, T swing) {
  EXPECT_GE(value, centre - swing - 1);
  EXPECT_LE(value, centre + swing + 1);
}

struct Row {
  const char* methods;
  std::function<void(S& s, Simulator& sim)> check;
};

const std::vector<Row> kRows = {
    {"getModule", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getModule, s), kDirectAddress); }},
    {"getModel", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getModel, s), kDirectModel); }},
    {"getSerialNumber", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getSerialNumber, s), kDirectSerial); }},
    {"getVersion", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getVersion, s), 0x2F020F03u); }},  // 2.15.3
    {"getBuild", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getBuild, s), kDirectBuild); }},
    {"getHardwareVersion", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getHardwareVersion, s), 3u); }},
    {"getProtocolFeatures", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getProtocolFeatures, s), 0x55u); }},
    {"getModuleHardwareOffset", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getModuleHardwareOffset, s), 0); }},
    {"getModuleBaseAddress", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getModuleBaseAddress, s), kDirectAddress); }},
    {"getErrors", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getErrors, s), 0u); }},
    {"getInputPowerSource", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getInputPowerSource, s), 1); }},
    {"getPowerLimitState", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getPowerLimitState, s), 0u); }},
    {"getUptime", [](S& s, Simulator&) { EXPECT_LT(Read(&S::getUptime, s), 60u); }},
    {"getInputVoltage", [](S& s, Simulator&) { Near(Read(&S::getInputVoltage, s), 5000000u, 20000u); }},
    {"getInputCurrent", [](S& s, Simulator&) { Near(Read(&S::getInputCurrent, s), 250000u, 50000u); }},
    {"getUnregulatedVoltage", [](S& s, Simulator&) { Near(Read(&S::getUnregulatedVoltage, s), 5100000, 30000); }},
    {"getUnregulatedCurrent", [](S& s, Simulator&) { Near(Read(&S::getUnregulatedCurrent, s), 300000, 60000); }},
    {"getTemperature", [](S& s, Simulator&) { Near(Read(&S::getTemperature, s), 35000000, 1500000); }},
    {"getMaximumTemperature", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getMaximumTemperature, s), 41000000); }},
    {"getMinimumTemperature", [](S& s, Simulator&) { EXPECT_EQ(Read(&S::getMinimumTemperature, s), 22000000); }},
    {"getRouter, setRouter",
     [](S& s, Simulator&) {
       EXPECT_EQ(Read(&S::getRouter, s), kDirectAddress) << "a direct module routes for itself";
       SetThenRead(&S::setRouter, &S::getRouter, s, uint8_t{4});
       EXPECT_EQ(s.setRouter(3), aErrParam) << "the device refuses odd addresses";
     }},
    {"getHBInterval, setHBInterval", [](S& s, Simulator&) { SetThenRead(&S::setHBInterval, &S::getHBInterval, s, uint8_t{50}); }},
    {"getLED, setLED",
     [](S& s, Simulator& sim) {
       EXPECT_EQ(s.setLED(5), aErrNone);
       EXPECT_EQ(Read(&S::getLED, s), 1);
       EXPECT_EQ(sim.sentByHost("06 04 03 84 20 01"), 1u) << "any non-zero value is sent as 1";
     }},
    {"getBootSlot, setBootSlot",
     [](S& s, Simulator&) {
       SetThenRead(&S::setBootSlot, &S::getBootSlot, s, uint8_t{3});
       EXPECT_EQ(s.setBootSlot(12), aErrRange);
     }},
    {"getModuleSoftwareOffset, setModuleSoftwareOffset",
     [](S& s, Simulator&) { SetThenRead(&S::setModuleSoftwareOffset, &S::getModuleSoftwareOffset, s, uint8_t{2}); }},
    {"getInputPowerBehavior, setInputPowerBehavior",
     [](S& s, Simulator&) { SetThenRead(&S::setInputPowerBehavior, &S::getInputPowerBehavior, s, uint8_t{2}); }},
    {"getInputPowerBehaviorConfig, setInputPowerBehaviorConfig",
     [](S& s, Simulator&) {
       const std::vector<uint32_t> config = {1, 0x01020304, 0xFFFFFFFF};
       EXPECT_EQ(s.setInputPowerBehaviorConfig(config.data(), config.size()), aErrNone);
       std::vector<uint32_t> words(8);
       size_t count = 0;
       EXPECT_EQ(s.getInputPowerBehaviorConfig(words.data(), words.size(), &count), aErrNone);
       EXPECT_EQ(std::vector<uint32_t>(words.begin(), words.begin() + count), config) << "counted in words";
       EXPECT_EQ(s.getInputPowerBehaviorConfig(words.data(), 2, &count), aErrMemory);
       const uint8_t partial[6] = {1, 2, 3, 4, 5, 6};
       EXPECT_EQ(s.setUEIBytes(31, partial, sizeof partial), aErrNone);
       EXPECT_EQ(s.getInputPowerBehaviorConfig(words.data(), words.size(), &count), aErrSize);
       EXPECT_EQ(count, 1u) << "whole words only";
     }},
    {"getName, setName",
     [](S& s, Simulator&) {
       const std::string name = "Bench hub number three";
       EXPECT_EQ(s.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
       uint8_t buffer[64];
       size_t received = 0;
       EXPECT_EQ(s.getName(buffer, sizeof buffer, &received), aErrNone);
       EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), received), name);
     }},
    {"getPowerLimitMax, setPowerLimitMax, getPowerLimit",
     [](S& s, Simulator&) {
       SetThenRead(&S::setPowerLimitMax, &S::getPowerLimitMax, s, uint32_t{15000});
       EXPECT_EQ(Read(&S::getPowerLimit, s), 15000u);
     }},
    {"getLinkInterface, setLinkInterface", [](S& s, Simulator&) { SetThenRead(&S::setLinkInterface, &S::getLinkInterface, s, uint8_t{1}); }},
    {"getLEDMaxBrightness, setLEDMaxBrightness",
     [](S& s, Simulator&) { SetThenRead(&S::setLEDMaxBrightness, &S::getLEDMaxBrightness, s, uint8_t{200}); }},
    {"routeToMe",
     [](S& s, Simulator& sim) {
       EXPECT_EQ(s.routeToMe(1), aErrNone);
       EXPECT_EQ(sim.status(kDirectSerial).routeToMe, 1);
     }},
    {"logEvents",
     [](S& s, Simulator& sim) {
       EXPECT_EQ(s.logEvents(), aErrNone);
       EXPECT_EQ(sim.sentByHost("06 03 03 98 20"), 1u);
     }},
    {"save, getRouterAddressSetting",
     [](S& s, Simulator&) {
       EXPECT_EQ(Read(&S::getRouterAddressSetting, s), kDirectAddress) << "not saved yet";
       EXPECT_EQ(s.save(), aErrNone);
       EXPECT_EQ(Read(&S::getRouterAddressSetting, s), 4) << "the router set above";
     }},
    {"resetEntityToFactoryDefaults",
     [](S& s, Simulator&) {
       EXPECT_EQ(s.resetEntityToFactoryDefaults(), aErrNone);
       EXPECT_EQ(Read(&S::getLED, s), 0);
       EXPECT_EQ(Read(&S::getRouterAddressSetting, s), 4) << "saved settings stay";
     }},
    {"resetDeviceToFactoryDefaults",
     [](S& s, Simulator&) {
       EXPECT_EQ(s.resetDeviceToFactoryDefaults(), aErrNone);
       EXPECT_EQ(Read(&S::getRouterAddressSetting, s), kDirectAddress);
     }},
    {"reset",
     [](S& s, Simulator& sim) {
       EXPECT_EQ(s.reset(), aErrNone);
       EXPECT_TRUE(Eventually([&] { return sim.status(kDirectSerial).restarts == 1; }));
     }},
};

TEST(SystemClassOnSimulator, EveryOptionOfTheSystemEntity) {
  Simulator sim({std::string(kDirectModule) + ",hwversion=3,features=0x55"});
  auto module = ConnectedModule(sim, kDirectSerial);
  SystemClass system;
  ASSERT_EQ(system.init(module.get(), 0), aErrNone);
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.methods);
    row.check(system, sim);
  }
}

}  // namespace
