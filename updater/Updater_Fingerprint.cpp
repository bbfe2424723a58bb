// Reading a chip's fingerprint through its boot ROM: straight from an LPC
// chip's in-system programming, or from the live loader an i.MX RT boot ROM
// is made to run.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "IMX1050.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "Updater_Builds.h"
#include "Updater_Discover.h"
#include "Updater_Recover.h"
#include "aByteOrder.h"

using Tovanire::Jorvanite::Module;
using Tovanire::Jorvanite::SystemClass;

namespace {

const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

const char* const kLatestDownload = "LATEST_DOWNLOAD";

// The name the boot ROM's HID device goes by instead of a device path.
const char* const kHidPort = "USB";

// Before every third try for the live loader the USB context is dropped, so
// that the next enumeration sees the bus afresh.
const int kContextRefreshEvery = 3;

// Silences the display's messages for a scope (the download of a loader
// image is the fingerprint's business, not the user's).
class MutedMessages {
 public:
  explicit MutedMessages(UpdaterDisplayInterface& display) : m_display(display) { m_display.mute_messages(true); }
  ~MutedMessages() { m_display.mute_messages(false); }
  MutedMessages(const MutedMessages&) = delete;
  MutedMessages& operator=(const MutedMessages&) = delete;

 private:
  UpdaterDisplayInterface& m_display;
};

// The live loader's image: the named file, else the module's latest
// download, else the latest build fetched now. Raises std::runtime_error
// when there is none to load; false (message shown) for a file named
// together with the default serial number.
bool _choose_loader_image(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                          uint32_t serialNumber, const std::string& birdPath, BirdFile& image) {
  if (!birdPath.empty()) {
    if (serialNumber == DEFAULT_SERIAL_NUMBER) {
      display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
    image = BirdFile::LoadWhole(birdPath);
    return true;
  }
  UpdaterStoreItem item;
  store.FindDevice(serialNumber, &item);
  std::string name;
  if (item.IsValid()) {
    name = item.Settings().GetString(kLatestDownload);
  } else {
    MutedMessages muted(display);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    const uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
    if (build != 0) {
      name = std::to_string(build) + ".bird";
      store.FindDevice(serialNumber, &item);
    }
  }
  image = item.ReadBirdFile(name);
  return true;
}

// Finds the module on USB, up to LIVE_LOADER_TRIES times.
bool _find_live_loader(Module& module, uint32_t serialNumber) {
  const RefindPlan plan{LIVE_LOADER_TRIES, LIVE_LOADER_RETRY_MS, kContextRefreshEvery};
  return _refind_module(module, plan, {[&](int) { return module.discoverAndConnect(LINK_USB, serialNumber); }}) ==
         aErrNone;
}

}  // namespace

bool _get_fingerprint_lpc(const std::string& port, uint32_t rate, Fingerprint& out) {
  NXPSerialClass chip;
  aErr err = chip.Connect(port.c_str(), rate);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = chip.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (chip.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; ++i)
    out.word[i] = chip.deviceID[i];
  return true;
}

aErr _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader loader;
  // The serial transport borrows the port's text, which outlives the loader.
  if (port == kHidPort) {
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  } else {
    loader.setLoader(new Serial_SDPLoader(port.c_str()));
  }
  if (loader.init() != SDPLoader::SDP_OK)
    return aErrNotReady;

  int number = 0;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
    // A block without its load address has nothing to place; starting a
    // loader with a piece missing would run half a program.
    if (block.length < BirdFile::ADDRESS_PREFIX_SIZE) {
      Log::log(DEBUG_Updater, "Loader block %d holds no load address\n", number);
      return aErrConnection;
    }
    const uint32_t address = aByteOrder::be32(block.data);
    std::vector<uint8_t> image(block.data + BirdFile::ADDRESS_PREFIX_SIZE, block.data + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(),
             static_cast<int>(address));
    if (loader.writeLoader(std::move(image), address) != SDPLoader::SDP_OK)
      return aErrConnection;
    ++number;
  }

  uint32_t jump = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts.front().length >= BirdFile::START_ADDRESS_SIZE)
    jump = aByteOrder::be32(starts.front().data);
  loader.startLoader(jump);
  return aErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          uint32_t serialNumber, const std::string& birdPath, Fingerprint& out, bool reset) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.storeDir, "_get_fingerprint_imx");
  if (!store)
    return false;
  if (serialNumber == 0)
    serialNumber = DEFAULT_SERIAL_NUMBER;

  BirdFile image;
  try {
    if (!_choose_loader_image(display, updater, *store, serialNumber, birdPath, image))
      return false;
  } catch (const UpdaterStoreRefusal& refusal) {
    _show_refusal(display, refusal);
    return false;
  } catch (const BirdFile::Incomplete& e) {
    // Part of a live loader would run as if it were all of it.
    display.message(kError, "%s", e.what());
    return false;
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }

  if (_transfer_recovery_loader(display, image, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(0, 0);
  if (_disableLinkSharing(module, display) != aErrNone)
    return false;
  if (!_find_live_loader(module, serialNumber)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }

  SystemClass system;
  system.init(&module, 0);
  Fingerprint read;
  for (uint8_t subindex = 0; subindex < 4; ++subindex) {
    if (system.getUEI32(SYSTEM_OPTION_CHIP_ID, subindex, &read.word[3 - subindex]) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", subindex);
      return false;
    }
  }
  out = read;
  if (reset)
    system.reset();
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serialNumber, std::string birdPath,
                              uint32_t rate, bool reset) {
  if (_get_fingerprint_lpc(port, rate, out)) {
    chipType = CHIP_TYPE_LPC;
    return true;
  }
  chipType = CHIP_TYPE_IMX;
  return _get_fingerprint_imx(display, *this, port, serialNumber, birdPath, out, reset);
}
