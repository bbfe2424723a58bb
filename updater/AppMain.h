#pragma once
// The updater's run: reading the command line, the store directory, the
// fixed order of commands, the result tables and the exit status. main()
// runs it over the real Updater; tests run it over their own.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// The Updater operations a run calls.
class UpdaterCommands {
 public:
  virtual ~UpdaterCommands() = default;
  virtual void Set_UEIBytes_Load(bool on) = 0;
  virtual std::vector<DeviceInfo> Discover_Devices(linkType type) = 0;
  virtual std::vector<DeviceInfo> Discover_JVNetwork_Devices(uint32_t routerSerialNumber, linkType type) = 0;
  // False when the server could not be asked or answered an error (the
  // cause already shown); true with an empty map when it lists no build.
  virtual bool Get_BuildList(uint32_t serialNumber, BuildMap& builds) = 0;
  // False (message shown) when the store's listing was refused.
  virtual bool Get_BuildListLocal(uint32_t serialNumber, BuildMap& builds) = 0;
  virtual uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool override, bool noCalibration) = 0;
  virtual bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                               uint32_t routerSerialNumber, bool override) = 0;
  virtual bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serialNumber, std::string birdPath,
                               uint32_t rate, bool reset) = 0;
  virtual bool Recover_Firmware(std::string port, uint32_t build, uint32_t rate, uint32_t serialNumber,
                                std::string birdPath, bool override) = 0;
};

// Builds the run's Updater once the store directory exists.
typedef std::function<std::unique_ptr<UpdaterCommands>(const char* serverUrl, const char* storeDir,
                                                       UpdaterDisplayInterface& display)>
    UpdaterFactory;

// The real Updater behind the interface.
std::unique_ptr<UpdaterCommands> MakeUpdater(const char* serverUrl, const char* storeDir,
                                             UpdaterDisplayInterface& display);

// The whole run after the display exists; returns the exit status, 0 or 1.
// The usage text goes to usage (standard error in the program).
int AppMain(int argc, char* argv[], UpdaterDisplayInterface& display, const UpdaterFactory& makeUpdater,
            FILE* usage = stderr);

// "Updater (Version: ...)".
void _display_app_version(UpdaterDisplayInterface& display);
void _display_rights_notice(UpdaterDisplayInterface& display);

// The short form always; the parameter and command sections and the samples
// when full; the extended sections too when full and extended.
std::string _usage_text(bool extended, bool full);
void _display_usage(bool extended, bool full, FILE* out = stderr);

// "host:port" of a server URL, the port taken from the scheme when the URL
// names none: what the usage text shows as the default server.
std::string _server_host_port(const std::string& url);

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType type);
// Newest version first.
void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
