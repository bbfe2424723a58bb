// Finding modules: directly over USB and the network, and behind a router
// on its I2C network; and the build, version and name queries that fill
// each row.

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "HostHold.h"
#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "Updater.h"
#include "Updater_Discover.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Tovanire::Jorvanite::aLanicConfig;
using Tovanire::Jorvanite::I2CClass;
using Tovanire::Jorvanite::Module;
using Tovanire::Jorvanite::SystemClass;

namespace {

// Discovery always binds to the loopback interface (network byte order).
const uint32_t kDiscoveryInterface = 0x0100007F;

// A fresh Module's first guess at its address; automatic addressing then
// learns the real one.
const uint8_t kDefaultModuleAddress = 2;

// The I2C bus addresses a router scan probes: even, from 2 up to 0xFD.
const unsigned kFirstBusAddress = 2;
const unsigned kLastBusAddress = 0xFD;
const uint8_t kI2CSpeedCode = 3;

bool _discovered_device(const linkSpec* spec, bool* success, void* ref) {
  auto* devices = static_cast<std::vector<DeviceInfo>*>(ref);
  DeviceInfo info;
  info.spec = *spec;
  devices->push_back(info);
  *success = true;
  return true;
}

struct LinkTypeSearch {
  uint32_t serialNumber;
  uint32_t type;  // 0 until found
};

bool _discovered_link(const linkSpec* spec, bool* success, void* ref) {
  auto* search = static_cast<LinkTypeSearch*>(ref);
  *success = true;
  if (spec->serialNumber != search->serialNumber)
    return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->type = spec->type;
  return false;
}

linkType _discover_link_type(uint32_t serialNumber) {
  LinkTypeSearch search{serialNumber, 0};
  aDiscovery_EnumerateModules(LINK_USB, _discovered_link, &search, kDiscoveryInterface);
  if (search.type == 0)
    aDiscovery_EnumerateModules(LINK_TCPIP, _discovered_link, &search, kDiscoveryInterface);
  return static_cast<linkType>(search.type);
}

struct NetworkClaims {
  uint32_t serialNumber;
  std::vector<linkSpec> found;  // each address and port once (the search reports each once)
};

bool _claimed_serial(const linkSpec* spec, bool* success, void* ref) {
  auto* claims = static_cast<NetworkClaims*>(ref);
  if (spec->serialNumber == claims->serialNumber) {
    claims->found.push_back(*spec);
    *success = true;
  }
  // Heard to the end: a second claim may come after the first.
  return true;
}

std::string _endpoint_text(const linkSpec& spec) {
  char address[INET_ADDRSTRLEN] = "?";
  const in_addr a{spec.address};
  inet_ntop(AF_INET, &a, address, sizeof address);
  return std::string(address) + ":" + std::to_string(spec.port & 0xFFFF);
}

uint32_t _get_build_number(Module& module) {
  uint32_t build = 0;
  if (module.getBuild(&build) != aErrNone)
    return 0;
  return build;
}

aErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr err = system.getVersion(&version);
  if (err != aErrNone)
    return err;
  info.major = aVersion_ParseMajor(version);
  info.minor = aVersion_ParseMinor(version);
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone)
    return err;
  info.spec.module = address;
  err = system.getRouter(&address);
  if (err != aErrNone)
    return err;
  info.spec.router = address;
  return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
  // Older firmware has no name option; the patch counts modulo 256 here.
  if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch), 2, 10, 4)) {
    return aErrNone;
  }
  SystemClass system;
  system.init(&module, 0);
  uint8_t buffer[32];
  size_t received = 0;
  aErr err = system.getName(buffer, sizeof buffer, &received);
  if (err == aErrNone)
    info.name.assign(reinterpret_cast<const char*>(buffer), received);
  return err;
}

// Connects to one directly reached module and fills its row.
void _describe_device(DeviceInfo& info, UpdaterDisplayInterface& display) {
  info.modelName = aDefs_GetModelName(info.spec.model);
  // A connection would replace the one an update on this host is using:
  // the row keeps what the discovery answer said.
  HostHolder holder;
  if (HostHold::KeptBy(info.spec.serialNumber, &holder)) {
    info.heldBy = holder.pid > 0 ? holder.pid : -1;
    return;
  }
  Module module(kDefaultModuleAddress, 0);
  if (_disableLinkSharing(module, display) != aErrNone)
    return;
  info.error = module.connectFromSpec(info.spec);
  if (info.error == aErrNone) {
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    if (info.error == aErrNone)
      info.error = _get_device_name(module, info);
  }
  module.disconnect();
}

// Connects to the module answering at busAddress behind the router and
// appends its row; a module that cannot be reached or named leaves none.
void _probe_bus_address(uint8_t busAddress, Module& router, const linkSpec& routerSpec, linkType type,
                        uint32_t routerSerialNumber, UpdaterDisplayInterface& display,
                        std::vector<DeviceInfo>& devices) {
  Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", busAddress);
  Module module(busAddress, false, 0);
  _disableLinkSharing(module, display);
  if (module.connectThroughLinkModule(&router) != aErrNone)
    return;

  SystemClass system;
  system.init(&module, 0);
  uint32_t serialNumber = 0;
  if (system.getSerialNumber(&serialNumber) != aErrNone) {
    module.disconnect();
    return;
  }
  Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);

  DeviceInfo info;
  // Address and port come from the router: the module is reached through it.
  std::memcpy(&info.spec.address, &routerSpec.address, sizeof(linkSpec) - offsetof(linkSpec, address));
  info.spec.type = type;
  info.spec.serialNumber = serialNumber;
  info.spec.router = router.getModuleAddress();
  info.spec.routerSerialNumber = routerSerialNumber;
  info.networkAddress = busAddress;
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);

  uint8_t model = 0;
  aErr err = system.getModel(&model);
  if (err != aErrNone) {
    info.error = err;
  } else {
    info.spec.model = model;
    info.modelName = aDefs_GetModelName(model);
  }
  module.disconnect();
  devices.push_back(info);
}

}  // namespace

aErr _disableLinkSharing(Module& module, UpdaterDisplayInterface& display) {
  aLanicConfig config;
  config.enabled = false;
  config.fallback = false;
  config.localOnly = true;
  aErr err = module.setConfig(config);
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  return err;
}

aErr _find_network_module(UpdaterDisplayInterface& display, uint32_t serialNumber, linkSpec* spec) {
  NetworkClaims claims{serialNumber, {}};
  aDiscovery_EnumerateModules(LINK_TCPIP, _claimed_serial, &claims, kDiscoveryInterface);
  if (claims.found.empty())
    return aErrNotFound;
  if (claims.found.size() > 1) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Module [%08X] answers from two addresses, %s and %s: refusing to guess which one to use",
                    serialNumber, _endpoint_text(claims.found[0]).c_str(), _endpoint_text(claims.found[1]).c_str());
    return aErrDuplicate;
  }
  *spec = claims.found[0];
  return aErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> types;
  if (type == 0) {
    types = {LINK_USB, LINK_TCPIP};
  } else {
    types = {type};
  }
  for (linkType t : types)
    aDiscovery_EnumerateModules(t, _discovered_device, &devices, kDiscoveryInterface);
  for (DeviceInfo& info : devices)
    _describe_device(info, display);
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_JVNetwork_Devices(uint32_t routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> devices;
  // The router carries one host connection at a time: a run under way
  // through it is waited for, not cut off.
  const HostHold routerClaim = TakeHostHold(display, "Router", routerSerialNumber);
  if (type == 0)
    type = _discover_link_type(routerSerialNumber);

  linkSpec routerSpec{};
  if (type == LINK_TCPIP) {
    if (_find_network_module(display, routerSerialNumber, &routerSpec) != aErrNone)
      return devices;
  } else {
    linkSpec* found = aDiscovery_FindModule(type, routerSerialNumber, kDiscoveryInterface);
    if (found == nullptr)
      return devices;
    routerSpec = *found;
    aLinkSpec_Destroy(&found);
  }
  Log::log(DEBUG_Updater, "Found Link Module");

  Module router(kDefaultModuleAddress, 0);
  if (_disableLinkSharing(router, display) != aErrNone)
    return devices;
  aErr err = router.connectFromSpec(routerSpec);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", err);
    return devices;
  }

  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
    router.disconnect();
    return devices;
  }

  I2CClass bus;
  bus.init(&router, 0);
  bus.setSpeed(kI2CSpeedCode);

  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned a = kFirstBusAddress; a <= kLastBusAddress; a += 2) {
    const uint8_t busAddress = static_cast<uint8_t>(a);
    if (busAddress == routerAddress)
      continue;
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", busAddress);
    const uint8_t probe[2] = {0, 0};
    if (bus.write(busAddress, sizeof probe, probe) != aErrNone)
      continue;
    _probe_bus_address(busAddress, router, routerSpec, type, routerSerialNumber, display, devices);
  }

  routerSystem.routeToMe(0);
  router.disconnect();
  return devices;
}
