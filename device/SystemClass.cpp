#include "SystemClass.h"

namespace Tovanire::Jorvanite {

namespace {

// Signed readings travel as their 32-bit two's-complement pattern.
aErr sSigned(EntityClass& entity, uint8_t option, int32_t* value) {
  if (!value)
    return aErrParam;
  uint32_t raw = 0;
  const aErr err = entity.getUEI32(option, &raw);
  if (err == aErrNone || err == aErrStreamStale)
    *value = static_cast<int32_t>(raw);
  return err;
}

}  // namespace

SystemClass::SystemClass() = default;
SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, cmdSYSTEM, index);
}

aErr SystemClass::setLED(uint8_t state) {
  return setUEI8(sysOptLED, state ? 1 : 0);
}

aErr SystemClass::getModule(uint8_t* address) {
  return getUEI8(sysOptModule, address);
}
aErr SystemClass::getRouter(uint8_t* address) {
  return getUEI8(sysOptRouter, address);
}
aErr SystemClass::getHBInterval(uint8_t* interval) {
  return getUEI8(sysOptHBInterval, interval);
}
aErr SystemClass::getLED(uint8_t* state) {
  return getUEI8(sysOptLED, state);
}
aErr SystemClass::getBootSlot(uint8_t* slot) {
  return getUEI8(sysOptBootSlot, slot);
}
aErr SystemClass::getModel(uint8_t* model) {
  return getUEI8(sysOptModel, model);
}
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) {
  return getUEI8(sysOptModuleHardwareOffset, offset);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* address) {
  return getUEI8(sysOptModuleBaseAddress, address);
}
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) {
  return getUEI8(sysOptModuleSoftwareOffset, offset);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* setting) {
  return getUEI8(sysOptRouterAddressSetting, setting);
}
aErr SystemClass::getInputPowerSource(uint8_t* source) {
  return getUEI8(sysOptInputPowerSource, source);
}
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) {
  return getUEI8(sysOptInputPowerBehavior, behavior);
}
aErr SystemClass::getLinkInterface(uint8_t* linkInterface) {
  return getUEI8(sysOptLinkInterface, linkInterface);
}
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) {
  return getUEI8(sysOptLEDMaxBrightness, brightness);
}
aErr SystemClass::setRouter(uint8_t address) {
  return setUEI8(sysOptRouter, address);
}
aErr SystemClass::setHBInterval(uint8_t interval) {
  return setUEI8(sysOptHBInterval, interval);
}
aErr SystemClass::setBootSlot(uint8_t slot) {
  return setUEI8(sysOptBootSlot, slot);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) {
  return setUEI8(sysOptModuleSoftwareOffset, offset);
}
aErr SystemClass::routeToMe(uint8_t on) {
  return setUEI8(sysOptRouteToMe, on);
}
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) {
  return setUEI8(sysOptInputPowerBehavior, behavior);
}
aErr SystemClass::setLinkInterface(uint8_t linkInterface) {
  return setUEI8(sysOptLinkInterface, linkInterface);
}
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) {
  return setUEI8(sysOptLEDMaxBrightness, brightness);
}
aErr SystemClass::getVersion(uint32_t* version) {
  return getUEI32(sysOptVersion, version);
}
aErr SystemClass::getSerialNumber(uint32_t* serialNumber) {
  return getUEI32(sysOptSerialNumber, serialNumber);
}
aErr SystemClass::getInputVoltage(uint32_t* microvolts) {
  return getUEI32(sysOptInputVoltage, microvolts);
}
aErr SystemClass::getInputCurrent(uint32_t* microamps) {
  return getUEI32(sysOptInputCurrent, microamps);
}
aErr SystemClass::getUptime(uint32_t* minutes) {
  return getUEI32(sysOptUptime, minutes);
}
aErr SystemClass::getPowerLimit(uint32_t* limit) {
  return getUEI32(sysOptPowerLimit, limit);
}
aErr SystemClass::getPowerLimitMax(uint32_t* limit) {
  return getUEI32(sysOptPowerLimitMax, limit);
}
aErr SystemClass::getPowerLimitState(uint32_t* state) {
  return getUEI32(sysOptPowerLimitState, state);
}
aErr SystemClass::getHardwareVersion(uint32_t* version) {
  return getUEI32(sysOptHardwareVersion, version);
}
aErr SystemClass::getErrors(uint32_t* errors) {
  return getUEI32(sysOptErrors, errors);
}
aErr SystemClass::getBuild(uint32_t* build) {
  return getUEI32(sysOptBuild, build);
}
aErr SystemClass::getProtocolFeatures(uint32_t* features) {
  return getUEI32(sysOptProtocolFeatures, features);
}
aErr SystemClass::setPowerLimitMax(uint32_t limit) {
  return setUEI32(sysOptPowerLimitMax, limit);
}
aErr SystemClass::getMaximumTemperature(int32_t* temperature) {
  return sSigned(*this, sysOptMaximumTemperature, temperature);
}
aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) {
  return sSigned(*this, sysOptUnregulatedVoltage, voltage);
}
aErr SystemClass::getUnregulatedCurrent(int32_t* current) {
  return sSigned(*this, sysOptUnregulatedCurrent, current);
}
aErr SystemClass::getTemperature(int32_t* temperature) {
  return sSigned(*this, sysOptTemperature, temperature);
}
aErr SystemClass::getMinimumTemperature(int32_t* temperature) {
  return sSigned(*this, sysOptMinimumTemperature, temperature);
}
aErr SystemClass::save() {
  return callUEI(sysOptSave);
}
aErr SystemClass::reset() {
  return callUEI(sysOptReset);
}
aErr SystemClass::logEvents() {
  return callUEI(sysOptLogEvents);
}
aErr SystemClass::resetEntityToFactoryDefaults() {
  return callUEI(sysOptResetEntityToFactoryDefaults);
}
aErr SystemClass::resetDeviceToFactoryDefaults() {
  return callUEI(sysOptResetDeviceToFactoryDefaults);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  if (!words || !count)
    return aErrParam;
  *count = 0;
  aErr err = getUEIBytes(sysOptInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words), capacity * 4, count);
  if (err != aErrNone)
    return err;
  if (getUEIBytesCheck(count, 4) != aErrNone) {
    // A torn word means the block is not what the module meant to send.
    *count /= 4;
    return aErrSize;
  }
  return aErrNone;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t length) {
  if (!words && length)
    return aErrParam;
  return setUEIBytes(sysOptInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words), length * 4);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* received) {
  return getUEIBytes(sysOptName, buffer, capacity, received);
}

aErr SystemClass::setName(const uint8_t* buffer, size_t length) {
  return setUEIBytes(sysOptName, buffer, length);
}

}  // namespace Tovanire::Jorvanite
