#include "SystemClass.h"

namespace Tessaron {
namespace Axonforge {

namespace {

enum SystemOption : uint8_t {
  kModule = 1,
  kRouter = 2,
  kHBInterval = 3,
  kLED = 4,
  kBootSlot = 6,
  kVersion = 7,
  kModel = 8,
  kSerialNumber = 9,
  kSave = 10,
  kReset = 11,
  kInputVoltage = 12,
  kModuleHardwareOffset = 13,
  kModuleBaseAddress = 14,
  kModuleSoftwareOffset = 15,
  kRouterAddressSetting = 16,
  kRouteToMe = 20,
  kInputCurrent = 21,
  kUptime = 22,
  kMaximumTemperature = 23,
  kLogEvents = 24,
  kUnregulatedVoltage = 25,
  kUnregulatedCurrent = 26,
  kTemperature = 27,
  kMinimumTemperature = 28,
  kInputPowerSource = 29,
  kInputPowerBehavior = 30,
  kInputPowerBehaviorConfig = 31,
  kName = 32,
  kPowerLimit = 33,
  kPowerLimitMax = 34,
  kPowerLimitState = 35,
  kResetEntityToFactoryDefaults = 36,
  kResetDeviceToFactoryDefaults = 37,
  kLinkInterface = 38,
  kHardwareVersion = 40,
  kErrors = 41,
  kLEDMaxBrightness = 42,
  kBuild = 43,
  kProtocolFeatures = 45,
};

constexpr size_t kWordSize = sizeof(uint32_t);

}  // namespace

SystemClass::~SystemClass() = default;

aErr SystemClass::init(Module* module, uint8_t index) { return EntityClass::init(module, kCommand, index); }

aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
  if (!value) return aErrParam;
  uint32_t raw = 0;
  aErr err = getUEI32(option, &raw);
  if (err == aErrNone || err == aErrStreamStale) *value = static_cast<int32_t>(raw);
  return err;
}

aErr SystemClass::getModule(uint8_t* address) { return getUEI8(kModule, address); }
aErr SystemClass::getRouter(uint8_t* address) { return getUEI8(kRouter, address); }
aErr SystemClass::setRouter(uint8_t address) { return setUEI8(kRouter, address); }
aErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(kHBInterval, interval); }
aErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(kHBInterval, interval); }
aErr SystemClass::getLED(uint8_t* on) { return getUEI8(kLED, on); }
aErr SystemClass::setLED(uint8_t on) { return setUEI8(kLED, on ? 1 : 0); }
aErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(kBootSlot, slot); }
aErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(kBootSlot, slot); }
aErr SystemClass::getVersion(uint32_t* version) { return getUEI32(kVersion, version); }
aErr SystemClass::getModel(uint8_t* model) { return getUEI8(kModel, model); }
aErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(kSerialNumber, serialNumber); }
aErr SystemClass::save() { return callUEI(kSave); }
aErr SystemClass::reset() { return callUEI(kReset); }
aErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(kInputVoltage, microvolts); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(kModuleHardwareOffset, offset); }
aErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(kModuleBaseAddress, address); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(kModuleSoftwareOffset, offset); }
aErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(kRouterAddressSetting, address); }
aErr SystemClass::routeToMe(uint8_t on) { return setUEI8(kRouteToMe, on); }
aErr SystemClass::getInputCurrent(uint32_t* microamps) { return getUEI32(kInputCurrent, microamps); }
aErr SystemClass::getUptime(uint32_t* seconds) { return getUEI32(kUptime, seconds); }
aErr SystemClass::getMaximumTemperature(int32_t* microcelsius) { return getSigned(kMaximumTemperature, microcelsius); }
aErr SystemClass::logEvents() { return callUEI(kLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* microvolts) { return getSigned(kUnregulatedVoltage, microvolts); }
aErr SystemClass::getUnregulatedCurrent(int32_t* microamps) { return getSigned(kUnregulatedCurrent, microamps); }
aErr SystemClass::getTemperature(int32_t* microcelsius) { return getSigned(kTemperature, microcelsius); }
aErr SystemClass::getMinimumTemperature(int32_t* microcelsius) { return getSigned(kMinimumTemperature, microcelsius); }
aErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(kInputPowerSource, source); }
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(kInputPowerBehavior, behavior); }
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(kInputPowerBehavior, behavior); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* buffer, size_t count, size_t* received) {
  aErr err = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(buffer), count * kWordSize, received);
  if (err != aErrNone) return err;
  // A partial word is not a value: count only the whole ones, and say that the rest was odd.
  if (getUEIBytesCheck(received, kWordSize) == aErrNone) return aErrNone;
  *received /= kWordSize;
  return aErrSize;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* buffer, size_t count) {
  return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(buffer), count * kWordSize);
}

aErr SystemClass::getName(uint8_t* buffer, size_t bufferLength, size_t* received) {
  return getUEIBytes(kName, buffer, bufferLength, received);
}
aErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(kName, name, length); }
aErr SystemClass::getPowerLimit(uint32_t* milliwatts) { return getUEI32(kPowerLimit, milliwatts); }
aErr SystemClass::getPowerLimitMax(uint32_t* milliwatts) { return getUEI32(kPowerLimitMax, milliwatts); }
aErr SystemClass::setPowerLimitMax(uint32_t milliwatts) { return setUEI32(kPowerLimitMax, milliwatts); }
aErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(kPowerLimitState, state); }
aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(kResetEntityToFactoryDefaults); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* linkInterface) { return getUEI8(kLinkInterface, linkInterface); }
aErr SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(kLinkInterface, linkInterface); }
aErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(kHardwareVersion, version); }
aErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(kErrors, errors); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(kLEDMaxBrightness, brightness); }
aErr SystemClass::getBuild(uint32_t* build) { return getUEI32(kBuild, build); }
aErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(kProtocolFeatures, features); }

}  // namespace Axonforge
}  // namespace Tessaron
