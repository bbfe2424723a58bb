// Bringing back a module whose firmware no longer starts: its fingerprint
// tells the update server which module and build it is, and the firmware
// goes in through the chip's boot ROM (LPC) or the live loader (i.MX RT).

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BuildPath.h"
#include "HostHold.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "Updater_Builds.h"
#include "Updater_Discover.h"
#include "Updater_Recover.h"
#include "Updater_Update.h"
#include "aError.h"
#include "aTime.h"

using Tovanire::Jorvanite::Module;

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// A firmware block whose payload is exactly this long marks the end of the
// firmware: it and any block after it are not programmed.
const uint32_t kLpcEndMarkerBytes = 4;

// Flash reads this where nothing was programmed.
const uint8_t kErasedByte = 0xFF;

// One piece of a firmware block as it is staged in RAM and copied to flash.
struct LpcPiece {
  uint32_t address;  // in flash
  uint32_t offset;   // into the block's payload
  uint32_t size;     // payload bytes
  uint32_t copy;     // bytes staged and copied (size rounded up to a copy size)
  unsigned firstSector;
  unsigned lastSector;
};

// The pieces of a payload of `length` bytes at `address`. The sectors cover
// every byte the copy writes, not only the payload's.
std::vector<LpcPiece> _lpc_pieces(uint32_t address, uint32_t length) {
  std::vector<LpcPiece> pieces;
  for (uint32_t offset = 0; offset < length;) {
    LpcPiece piece{};
    piece.address = address + offset;
    piece.offset = offset;
    piece.size = std::min(LPC_CHUNK_BYTES, length - offset);
    piece.copy = NXPSerialClass::CopyLength(piece.size);
    piece.firstSector = NXPSerialClass::SectorFromAddress(piece.address);
    piece.lastSector = NXPSerialClass::SectorFromAddress(piece.address + piece.copy - 1);
    pieces.push_back(piece);
    offset += piece.size;
  }
  return pieces;
}

// The firmware blocks that are programmed: those before the end marker.
std::vector<BirdBlock> _lpc_blocks(const std::vector<BirdBlock>& blocks) {
  std::vector<BirdBlock> out;
  for (const BirdBlock& block : blocks) {
    if (block.length == BirdFile::ADDRESS_PREFIX_SIZE + kLpcEndMarkerBytes)
      break;
    out.push_back(block);
  }
  return out;
}

// A block the chip cannot take would fail only after the whole flash was
// erased, leaving the module with nothing: such files are refused up front.
bool _lpc_block_fits(const BirdBlock& block) {
  if (block.length < BirdFile::ADDRESS_PREFIX_SIZE)
    return false;
  if (block.address % 256 != 0)
    return false;
  for (const LpcPiece& piece : _lpc_pieces(block.address, block.length - BirdFile::ADDRESS_PREFIX_SIZE)) {
    if (piece.lastSector > LPC_LAST_SECTOR)
      return false;
  }
  return true;
}

// Shows the progress bar for a scope.
class ProgressBar {
 public:
  explicit ProgressBar(UpdaterDisplayInterface& display) : m_display(display) { m_display.display_progress(true); }
  ~ProgressBar() { m_display.display_progress(false); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

 private:
  UpdaterDisplayInterface& m_display;
};

// Stages each piece of one block in RAM and copies it to flash. The last
// piece is padded with the erased value up to its copy size, so the flash
// after the image holds what an erased chip holds rather than stale RAM.
bool _lpc_program_block(UpdaterDisplayInterface& display, NXPSerialClass& chip, const BirdBlock& block,
                        uint32_t* transferred) {
  const uint8_t* payload = block.data + BirdFile::ADDRESS_PREFIX_SIZE;
  const uint32_t length = block.length - BirdFile::ADDRESS_PREFIX_SIZE;
  ProgressBar bar(display);
  Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", static_cast<int>(length),
           block.address);
  std::vector<uint8_t> staged(LPC_CHUNK_BYTES);
  for (const LpcPiece& piece : _lpc_pieces(block.address, length)) {
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(piece.size),
             piece.address);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(piece.copy),
             NXPSerialClass::WRITE_ADDRESS);
    std::fill(staged.begin(), staged.end(), kErasedByte);
    std::memcpy(staged.data(), payload + piece.offset, piece.size);
    if (chip.Write(NXPSerialClass::WRITE_ADDRESS, piece.copy, staged.data()) != aErrNone) {
      Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
      return false;
    }
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", piece.firstSector, piece.lastSector);
    if (chip.Prepare(piece.firstSector, piece.lastSector) != aErrNone) {
      Log::log(DEBUG_Updater, "\t Prepare failed\n");
      return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(piece.copy),
             NXPSerialClass::WRITE_ADDRESS, piece.address);
    if (chip.CopyToFlash(piece.address, NXPSerialClass::WRITE_ADDRESS, piece.copy) != aErrNone) {
      Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
      return false;
    }
    display.update_progress(static_cast<double>(piece.offset + piece.size) / length, nullptr);
  }
  *transferred += length;
  return true;
}

// Finds the live loader on USB: by the default recovery image's serial
// number, or by the module's own.
bool _find_recovering_module(Module& module, uint32_t serialNumber) {
  std::vector<RefindWay> ways{[&](int) { return module.discoverAndConnect(LINK_USB, DEFAULT_SERIAL_NUMBER); }};
  // Serial number 0 would take whichever module comes first.
  if (serialNumber != 0 && serialNumber != DEFAULT_SERIAL_NUMBER) {
    ways.push_back([&](int) { return module.discoverAndConnect(LINK_USB, serialNumber); });
  }
  // The recovery's own wait never drops the USB context.
  return _refind_module(module, RefindPlan{LIVE_LOADER_TRIES, LIVE_LOADER_RETRY_MS, 0}, ways) == aErrNone;
}

}  // namespace

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port, uint32_t rate,
                           Fingerprint&) {
  const std::vector<BirdBlock> all = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const std::vector<BirdBlock> blocks = _lpc_blocks(all);
  for (const BirdBlock& block : blocks) {
    if (!_lpc_block_fits(block)) {
      display.message(kError, "Firmware block at 0x%08X cannot be programmed into this chip's flash", block.address);
      return false;
    }
  }

  NXPSerialClass chip;
  if (chip.Connect(port.c_str(), rate) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (chip.Unlock() != aErrNone) {
    Log::log(DEBUG_Network, "Could not unlock\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (chip.Prepare(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
    Log::log(DEBUG_Network, "Could not prepare\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (chip.Erase(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
    Log::log(DEBUG_Network, "Could not erase\n");
    return false;
  }
  // Without the echo the data lines go at full speed; when the chip keeps
  // echoing, the client keeps reading it.
  chip.SetEcho(false);

  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.Path().c_str());
  // The count shown leaves out the end marker that closes the firmware.
  const int shown = static_cast<int>(all.size()) - 1;
  uint32_t transferred = 0;
  int number = 1;
  for (const BirdBlock& block : blocks) {
    display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, shown,
                    static_cast<int>(block.length - BirdFile::ADDRESS_PREFIX_SIZE));
    if (!_lpc_program_block(display, chip, block, &transferred))
      return false;
    ++number;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", shown, static_cast<int>(transferred));

  const aErr err = chip.SetEcho(true);
  if (err != aErrNone) {
    display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err, aError_GetErrorText(err));
    return false;
  }
  display.message(kInfo, "Rebooting Device");
  chip.ExecuteFrom(0);
  return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serialNumber, bool ueiBytes) {
  Module module(0, 0);
  aErr err = _disableLinkSharing(module, display);
  if (err == aErrNone) {
    if (!_find_recovering_module(module, serialNumber)) {
      display.message(kError, "Could not connect to device");
      return false;
    }
    err = _transfer_firmware(display, module, bird, false, ueiBytes);
  }
  if (err != aErrNone) {
    display.message(kError, "Failed to transfer firmware");
    return false;
  }
  return true;
}

namespace {

// Claims the store entry of the module a recovery installs on; with
// `create` a module new to the store gets its entry for it, else only an
// existing entry is held (a module the store does not know yet is how the
// fingerprint step learns to download its loader). The default image's
// serial number names no one module. False (message shown) when another run
// has the entry.
bool _hold_recovering(UpdaterDisplayInterface& display, const std::string& storeDir, uint32_t serialNumber, bool create,
                      UpdaterStoreHold& hold) {
  if (serialNumber == 0 || serialNumber == DEFAULT_SERIAL_NUMBER)
    return true;
  std::string entry;
  try {
    UpdaterStore store(storeDir);
    if (create) {
      entry = store.AddDevice(serialNumber).Path();
    } else if (store.FindDevice(serialNumber, nullptr)) {
      entry = BuildPath(storeDir.c_str(), UpdaterStore::DeviceName(serialNumber).c_str(), nullptr);
    } else {
      return true;
    }
  } catch (const UpdaterStoreRefusal& refusal) {
    _show_refusal(display, refusal);
    return false;
  } catch (const std::runtime_error& e) {
    // The recovery's own store steps report a store that cannot be used.
    Log::log(DEBUG_Updater, "Going on without a hold on module [%08X]: %s\n", serialNumber, e.what());
    return true;
  }
  return _hold_module(display, entry, serialNumber, hold);
}

}  // namespace

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t rate, uint32_t serialNumber,
                               std::string birdPath, bool) {
  const uint64_t start = aTime_GetMSTicks();
  // The module named on the command line is held from the start when the
  // store knows it; the module the recovery settles on, once it is known.
  // Both until the recovery returns.
  UpdaterStoreHold namedHold, settledHold;
  if (!_hold_recovering(display, storeDir, serialNumber, false, namedHold))
    return false;
  const uint32_t namedSerial = serialNumber;
  // Reset off: an i.MX RT module stays in its live loader for the firmware.
  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serialNumber, birdPath, RECOVERY_FINGERPRINT_RATE, false)) {
    display.message(kError, "Could not get Device Identifier");
    return false;
  }

  if (birdPath.empty()) {
    // An answer without its serial line leaves the serial number given.
    uint32_t serverSerial = serialNumber;
    uint32_t serverBuild = 0;
    // Serial number 0 names no module: the firmware would go to whichever
    // module turned up first.
    std::string why;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, serverSerial, serverBuild, serverUrl.c_str(), &why) ||
        serverSerial == 0) {
      if (why.empty())
        why = "the answer names no module";
      display.message(kError, "Failed to retrieve recovery information from Tovanire server: %s", why.c_str());
      return false;
    }
    serialNumber = serverSerial;
    if (build == 0)
      build = serverBuild;
  } else {
    build = 0;
  }

  // Without a file the loading makes the module's entry anyway. One lock
  // per entry and process: a second would let go of both when it went.
  if ((!namedHold.Held() || serialNumber != namedSerial) &&
      !_hold_recovering(display, storeDir, serialNumber, birdPath.empty(), settledHold)) {
    return false;
  }
  // Seen by every run on this host: a listing does not connect to it.
  HostHold claim;
  if (serialNumber != 0 && serialNumber != DEFAULT_SERIAL_NUMBER)
    claim = TakeHostHold(display, "Module", serialNumber);

  BirdFile bird;
  try {
    bird = load_bird("Recovering", birdPath, serialNumber, build, true);
  } catch (const std::runtime_error& e) {
    display.message(kError, "Failed to load bird file: %s", BirdFile::FailureText(e).c_str());
    return false;
  }
  if (bird.HasSerialOffsets()) {
    display.message(kError, "Updater does not support offline recovery");
    return false;
  }
  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    // Erasing or rebooting a module for a file of nothing would report a
    // recovery that never happened.
    display.message(kError, "The BIRD file holds no firmware");
    return false;
  }

  bool result = false;
  switch (chipType) {
    case CHIP_TYPE_IMX:
      result = _recover_firmware_imx(display, bird, serialNumber, ueiBytesLoad);
      break;
    case CHIP_TYPE_LPC:
      bird.DecodeFirmwareBlocks(fingerprint.word);
      result = _recover_firmware_lpc(display, bird, port, rate, fingerprint);
      break;
    default:
      display.message(kError, "Unknown device");
      break;
  }
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return result;
}
