#ifndef AXONFORGE2_SYSTEMCLASS_H
#define AXONFORGE2_SYSTEMCLASS_H

// The system entity of a module (command 3): identity, firmware version and build, addressing,
// settings, power and temperature readings, and the save / reset calls.

#include <stddef.h>
#include <stdint.h>

#include "EntityClass.h"

namespace Tessaron {
namespace Axonforge {

class SystemClass : public EntityClass {
 public:
  static constexpr uint8_t kCommand = 3;

  SystemClass() = default;
  ~SystemClass() override;

  aErr init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);
  aErr getRouter(uint8_t* address);
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* on);
  // Any non-zero value switches the LED on.
  aErr setLED(uint8_t on);
  aErr getBootSlot(uint8_t* slot);
  aErr setBootSlot(uint8_t slot);
  // The packed version word (see aVersion).
  aErr getVersion(uint32_t* version);
  aErr getModel(uint8_t* model);
  aErr getSerialNumber(uint32_t* serialNumber);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* microvolts);
  aErr getModuleHardwareOffset(uint8_t* offset);
  aErr getModuleBaseAddress(uint8_t* address);
  aErr getModuleSoftwareOffset(uint8_t* offset);
  aErr setModuleSoftwareOffset(uint8_t offset);
  aErr getRouterAddressSetting(uint8_t* address);
  // 1: the module routes its traffic to this host link; 0: it stops.
  aErr routeToMe(uint8_t on);
  aErr getInputCurrent(uint32_t* microamps);
  aErr getUptime(uint32_t* seconds);
  aErr getMaximumTemperature(int32_t* microcelsius);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* microvolts);
  aErr getUnregulatedCurrent(int32_t* microamps);
  aErr getTemperature(int32_t* microcelsius);
  aErr getMinimumTemperature(int32_t* microcelsius);
  aErr getInputPowerSource(uint8_t* source);
  aErr getInputPowerBehavior(uint8_t* behavior);
  aErr setInputPowerBehavior(uint8_t behavior);
  // An array of 32-bit words, kept in the byte order the module uses. count is the capacity of
  // buffer in words; received is the number of words read (aErrSize when the module sent a
  // byte count that is not whole words; received then counts the whole ones).
  aErr getInputPowerBehaviorConfig(uint32_t* buffer, size_t count, size_t* received);
  aErr setInputPowerBehaviorConfig(const uint32_t* buffer, size_t count);
  aErr getName(uint8_t* buffer, size_t bufferLength, size_t* received);
  aErr setName(const uint8_t* name, size_t length);
  aErr getPowerLimit(uint32_t* milliwatts);
  aErr getPowerLimitMax(uint32_t* milliwatts);
  aErr setPowerLimitMax(uint32_t milliwatts);
  aErr getPowerLimitState(uint32_t* state);
  aErr resetEntityToFactoryDefaults();
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* linkInterface);
  aErr setLinkInterface(uint8_t linkInterface);
  aErr getHardwareVersion(uint32_t* version);
  aErr getErrors(uint32_t* errors);
  aErr getLEDMaxBrightness(uint8_t* brightness);
  aErr setLEDMaxBrightness(uint8_t brightness);
  aErr getBuild(uint32_t* build);
  aErr getProtocolFeatures(uint32_t* features);

 private:
  aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
