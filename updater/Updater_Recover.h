#pragma once
// Reaching a module through the boot ROM of its microcontroller when its
// firmware no longer runs. An LPC chip answers its serial in-system
// programming directly: the fingerprint is its serial number, and firmware
// goes through RAM into flash. An i.MX RT chip's boot ROM is handed a live
// loader (serial download protocol over HID or a serial port), which comes
// up on USB as a module of the family: it tells the fingerprint and takes
// firmware through the module loader protocol.
//
// Everything here runs on the caller's thread and builds its own objects
// (store, BIRD file, loaders, Module) for the call; no exception leaves.

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Updater::chipType after a fingerprint.
inline constexpr uint8_t CHIP_TYPE_IMX = 1;
inline constexpr uint8_t CHIP_TYPE_LPC = 2;

// The rate the recovery reads an LPC fingerprint at, whatever it was given.
inline constexpr uint32_t RECOVERY_FINGERPRINT_RATE = 115200;

// Waiting for the live loader on USB: tries a second apart.
inline constexpr int LIVE_LOADER_TRIES = 15;
inline constexpr uint32_t LIVE_LOADER_RETRY_MS = 1000;

// The live loader's system option holding the chip identifier words
// (subindex i is fingerprint word 3 - i).
inline constexpr uint8_t SYSTEM_OPTION_CHIP_ID = 39;

// LPC flash programming: the largest piece staged in RAM and copied at
// once, and the sectors erased before programming.
inline constexpr uint32_t LPC_CHUNK_BYTES = 4096;
inline constexpr unsigned LPC_FIRST_SECTOR = 0;
inline constexpr unsigned LPC_LAST_SECTOR = 29;

// The LPC boot ROM's serial number as the fingerprint, words in the order
// the chip sends them. False when the port cannot be opened or the chip does
// not answer (log lines only).
bool _get_fingerprint_lpc(const std::string& port, uint32_t rate, Fingerprint& out);

// Loads a live loader into the i.MX RT boot ROM's RAM and starts it, finds
// it on USB by serial number (0 stands for DEFAULT_SERIAL_NUMBER) and reads
// the four identifier words; with reset the module then restarts out of the
// live loader. The loader image is the BIRD file at birdPath (which needs a
// real serial number), else the module's latest download, else the latest
// build downloaded for the serial number.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          uint32_t serialNumber, const std::string& birdPath, Fingerprint& out, bool reset);

// Sends the file's loader blocks to the i.MX RT boot ROM on port ("USB" for
// its HID device, else a serial device path) and jumps to the file's start
// address (IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS without one). aErrNone;
// aErrNotReady when the boot ROM cannot be reached; aErrConnection when a
// block is not taken, and then no jump is made.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port);

// Programs the file's firmware blocks into the LPC chip's flash (all of it
// erased first) and restarts the chip from address 0. The blocks must
// already be descrambled. A block the flash cannot hold is refused before
// the chip is touched.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, uint32_t rate,
                           Fingerprint& fingerprint);

// Finds the live loader on USB (by DEFAULT_SERIAL_NUMBER or the module's
// serial number) and sends the firmware through it, rebooting the module.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serialNumber, bool ueiBytes);
