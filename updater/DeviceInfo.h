#pragma once
// One module found by discovery.

#include <cstdint>
#include <string>

#include "aLinkSpecifier.h"

struct DeviceInfo {
  linkSpec spec{};              // how it is reached; module, router and model filled in
  uint16_t networkAddress = 0;  // I2C address behind a router (router scan only)
  uint32_t build = 0;           // 0 when the module did not answer
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  std::string name;  // the module's own name; may hold any bytes
  int error = 0;     // aErr of the query step that failed, 0 when none did
  long heldBy = 0;   // process of a run on this host that holds the module (-1: unknown); 0: none
};
