#pragma once
// The updater's facade: main builds one Updater per run and calls one
// operation per command. Every operation builds its working objects (store,
// modules, BIRD files, loaders) for its own duration, reports through the
// display, and lets no exception out: failure is false, build 0 or an empty
// result.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpecifier.h"

class BirdFile;

// Four words identifying a module's microcontroller, word 0 first.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};

// Names the default recovery image and the live loader started from it.
const uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;

// Build number text -> version text, ordered by plain text comparison.
typedef std::map<std::string, std::string> BuildMap;

class Updater {
 public:
  Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display);
  ~Updater();

  void Set_UEIBytes_Load(bool on);

  // Type 0 searches USB, then TCPIP.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_JVNetwork_Devices(uint32_t routerSerialNumber, linkType type);

  BuildMap Get_BuildList(uint32_t serialNumber);
  // The same, false (after saying why) when the server could not be asked or
  // answered an error; true with an empty map when it lists no build.
  bool Get_BuildList(uint32_t serialNumber, BuildMap& builds);
  BuildMap Get_BuildListLocal(uint32_t serialNumber);
  // The same; false (message shown, builds empty) when the module's store
  // entry holds something the store did not make.
  bool Get_BuildListLocal(uint32_t serialNumber, BuildMap& builds);

  // The build downloaded into the store, 0 on failure. An empty build text
  // means the latest build.
  uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool noCalibration);
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool override);

  // Build 0 lets the flow choose; an empty BIRD path takes the file from the
  // store; module address 0 finds the module behind the router; router
  // serial number 0 connects directly. True once the module runs the new
  // firmware and the transfer is recorded in its settings.
  bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                       uint32_t routerSerialNumber, bool override);
  BirdFile load_bird(const char* action, std::string path, uint32_t serialNumber, uint32_t build, bool allowDownload);

  bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serialNumber, std::string birdPath, uint32_t rate,
                       bool reset);
  // The override flag has no effect.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t rate, uint32_t serialNumber, std::string birdPath,
                        bool override);

  std::string serverUrl;
  std::string storeDir;
  UpdaterDisplayInterface& display;
  // Chip family found by the last Get_Fingerprint: 1 i.MX RT, 2 LPC. Read
  // only after a Get_Fingerprint has written it.
  uint8_t chipType;
  bool ueiBytesLoad;
};
