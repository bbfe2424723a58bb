#pragma once
// The firmware update's phases over a connected module: the file-to-module
// check, the loader phase and the firmware phase. The update flow runs all
// three; the recovery flow runs the firmware phase on its own.

#include <cstdint>
#include <functional>
#include <string>

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStoreLock.h"
#include "aError.h"

// Claims a module's store entry (an existing module directory) for one
// installing run, kept in `hold` until the run ends. False, with the
// message shown, when another run has it; a lock that cannot be used at all
// does not stop the run.
bool _hold_module(UpdaterDisplayInterface& display, const std::string& entryPath, uint32_t serialNumber,
                  UpdaterStoreHold& hold);

// Attempts per firmware block before the update gives up.
inline constexpr int BLOCK_RETRIES = 5;

// True when the file has blocks, carries the module's serial number (or
// will have it patched in) and was built for the module's model.
bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird, Tovanire::Jorvanite::Module& module,
                        uint32_t serialNumber);

// Sends the loader blocks and starts the loader. A block that fails stops
// the phase before the loader is started, so a partial loader never runs.
aErr _transfer_loader(UpdaterDisplayInterface& display, Tovanire::Jorvanite::Module& module, const BirdFile& bird);

// Times the firmware phase starts over on a new link after losing its own.
inline constexpr int kFirmwarePhaseRestarts = 3;

// Finds the module again after its link was lost; its result.
using FirmwareRefind = std::function<aErr()>;

// Sends every firmware block (each up to BLOCK_RETRIES times: a time-out or
// a wrong sum is tried again, an error status from the module is not) and
// reboots the module into it; with noRebootWait the reboot is awaited for
// one polling pass only (a module behind a router keeps the router's link).
// When the link is lost and `refind` is given, the module is found again
// and the phase starts over, up to kFirmwarePhaseRestarts times.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Tovanire::Jorvanite::Module& module, const BirdFile& bird,
                        bool noRebootWait, bool ueiBytes, const FirmwareRefind& refind = {});
