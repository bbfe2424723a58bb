#pragma once
// The system entity (command 3) of a module: identity, versions, addressing
// and routing, power and temperature readings, saving and resetting. Each
// member is one typed UEI get, set or call of one option (EntityClass
// gives the results); the chip identifier words (option 39, subindex 0 to
// 3) are read with getUEI32 and a subindex.
//
// Results, time-outs (1000 ms per reply) and threads as EntityClass: one
// entity is used from one thread at a time.

#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Tovanire::Jorvanite {

class SystemClass : public EntityClass {
 public:
  SystemClass();
  ~SystemClass() override;

  // Binds command 3 and the index.
  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* address);
  aErr getRouter(uint8_t* address);
  aErr setRouter(uint8_t address);
  aErr getHBInterval(uint8_t* interval);
  aErr setHBInterval(uint8_t interval);
  aErr getLED(uint8_t* state);
  aErr setLED(uint8_t state);  // any nonzero state is sent as 1
  aErr getBootSlot(uint8_t* slot);
  aErr setBootSlot(uint8_t slot);
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
  aErr getRouterAddressSetting(uint8_t* setting);
  aErr routeToMe(uint8_t on);
  aErr getInputCurrent(uint32_t* microamps);
  aErr getUptime(uint32_t* minutes);
  aErr getMaximumTemperature(int32_t* temperature);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* voltage);
  aErr getUnregulatedCurrent(int32_t* current);
  aErr getTemperature(int32_t* temperature);
  aErr getMinimumTemperature(int32_t* temperature);
  aErr getInputPowerSource(uint8_t* source);
  aErr getInputPowerBehavior(uint8_t* behavior);
  aErr setInputPowerBehavior(uint8_t behavior);
  // Words as the module sends them (most significant byte first, not
  // reordered). *count receives the words taken; a reply that is not a
  // whole number of words gives aErrSize with *count the whole words in it.
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t length);
  // The name is a byte block without a terminator.
  aErr getName(uint8_t* buffer, size_t capacity, size_t* received);
  aErr setName(const uint8_t* buffer, size_t length);
  aErr getPowerLimit(uint32_t* limit);
  aErr getPowerLimitMax(uint32_t* limit);
  aErr setPowerLimitMax(uint32_t limit);
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
  aErr getProtocolFeatures(uint32_t* features);  // bit 31: pooled packets supported
};

// System option codes.
enum : uint8_t {
  sysOptModule = 1,
  sysOptRouter = 2,
  sysOptHBInterval = 3,
  sysOptLED = 4,
  sysOptBootSlot = 6,
  sysOptVersion = 7,
  sysOptModel = 8,
  sysOptSerialNumber = 9,
  sysOptSave = 10,
  sysOptReset = 11,
  sysOptInputVoltage = 12,
  sysOptModuleHardwareOffset = 13,
  sysOptModuleBaseAddress = 14,
  sysOptModuleSoftwareOffset = 15,
  sysOptRouterAddressSetting = 16,
  sysOptRouteToMe = 20,
  sysOptInputCurrent = 21,
  sysOptUptime = 22,
  sysOptMaximumTemperature = 23,
  sysOptLogEvents = 24,
  sysOptUnregulatedVoltage = 25,
  sysOptUnregulatedCurrent = 26,
  sysOptTemperature = 27,
  sysOptMinimumTemperature = 28,
  sysOptInputPowerSource = 29,
  sysOptInputPowerBehavior = 30,
  sysOptInputPowerBehaviorConfig = 31,
  sysOptName = 32,
  sysOptPowerLimit = 33,
  sysOptPowerLimitMax = 34,
  sysOptPowerLimitState = 35,
  sysOptResetEntityToFactoryDefaults = 36,
  sysOptResetDeviceToFactoryDefaults = 37,
  sysOptLinkInterface = 38,
  sysOptChipId = 39,
  sysOptHardwareVersion = 40,
  sysOptErrors = 41,
  sysOptLEDMaxBrightness = 42,
  sysOptBuild = 43,
  sysOptProtocolFeatures = 45,
};

}  // namespace Tovanire::Jorvanite
