// Installing a firmware build on a module: choosing the build, loading and
// patching its BIRD file, connecting (directly or through a router),
// checking the file against the module, the loader phase, the firmware
// phase, and recording the transfer once it is complete.

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostHold.h"
#include "Link.h"
#include "Log.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "Updater_Builds.h"
#include "Updater_Discover.h"
#include "Updater_Update.h"
#include "aDefs.h"
#include "aOpenFailure.h"
#include "aTime.h"

using Tovanire::Jorvanite::Module;
using Tovanire::Jorvanite::SystemClass;

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// Finding the module again once its loader runs: tries a second apart, the
// USB context dropped before every third so enumeration starts afresh.
const int kRediscoverTries = 15;
const int kContextRefreshEvery = 3;
const uint32_t kRediscoverDelayMS = 1000;

const char* const kLatestDownload = "LATEST_DOWNLOAD";
const char* const kLatestTransfer = "LATEST_TRANSFER";
const char* const kLastTransferDate = "LAST_TRANSFER_DATE";

std::string _bird_name(uint32_t build) {
  return std::to_string(build) + ".bird";
}

// The settings hold "<build>.bird" or a path; both read as their leading
// digits, and anything else as 0. Read as text so that a key the module
// lacks is not added to its settings.
uint32_t _setting_build(const KeyValueStore& settings, const char* key) {
  uint32_t build = 0;
  if (!_parse_build(settings.GetString(key), build))
    return 0;
  return build;
}

// The build to install when the caller named none: the server's latest when
// its file is already in the store, else the latest download, else the
// latest transfer; 0 when there is none.
uint32_t _settle_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t serialNumber, uint32_t build,
                       const std::string& serverUrl) {
  if (build == 0) {
    std::string latest;
    std::string firmwareId;
    UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, serverUrl.c_str());
    if (!_parse_build(latest, build)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
      build = 0;
    }
    if (build != 0) {
      try {
        item.ReadBirdFile(_bird_name(build));
      } catch (const UpdaterStoreRefusal&) {
        throw;
      } catch (const std::runtime_error&) {
        display.message(kInfo, "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        build = 0;
      }
    }
  }
  if (build == 0) {
    build = _setting_build(item.Settings(), kLatestDownload);
    if (build != 0)
      display.message(kInfo, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = _setting_build(item.Settings(), kLatestTransfer);
    if (build != 0)
      display.message(kInfo, "Updating with the Latest Transfer");
  }
  return build;
}

// Connects on USB, else (when the module is not on USB) over TCPIP to the
// one address that answers for it. aErrDuplicate (the refusal shown) when
// two do.
aErr _connect_usb_then_tcpip(UpdaterDisplayInterface& display, Module& module, uint32_t serialNumber) {
  // Whatever failed before this attempt must not be given as its cause.
  aOpenFailure_Clear();
  aErr err = module.connect(LINK_USB, serialNumber);
  if (err != aErrNotFound)
    return err;
  linkSpec spec{};
  err = _find_network_module(display, serialNumber, &spec);
  if (err != aErrNone)
    return err;
  return module.connectFromSpec(spec);
}

// Says that the module (or the router, `what` "link module") could not be
// reached, with why its link did not open when the library noted it.
void _connect_failed(UpdaterDisplayInterface& display, const char* what, uint32_t serialNumber) {
  aOpenFailure failure;
  char cause[256] = "";
  if (aOpenFailure_Last(&failure))
    aOpenFailure_Describe(failure, cause, sizeof cause);
  if (cause[0])
    display.message(kError, "Failed to connect to %s [%08X]: %s", what, serialNumber, cause);
  else
    display.message(kError, "Failed to connect to %s [%08X]", what, serialNumber);
}

// The bus address of the module behind the router, from a router scan; 0
// when the scan does not list it (the last entry of that serial number wins).
uint16_t _find_network_address(Updater& updater, uint32_t serialNumber, uint32_t routerSerialNumber, bool* empty) {
  // Link type 0: the router on USB, else over TCPIP.
  std::vector<DeviceInfo> devices = updater.Discover_JVNetwork_Devices(routerSerialNumber, static_cast<linkType>(0));
  *empty = devices.empty();
  uint16_t address = 0;
  for (const DeviceInfo& info : devices) {
    if (info.spec.serialNumber == serialNumber)
      address = info.networkAddress;
  }
  return address;
}

// The router an update goes through: connected, routing its I2C network to
// the host for as long as the update runs, and handed back without routing.
struct RouterSession {
  std::unique_ptr<Module> router;
  bool routing = false;

  ~RouterSession() {
    if (!routing)
      return;
    SystemClass system;
    system.init(router.get(), 0);
    system.routeToMe(0);
  }
};

// Connects the module through its router. False (the message shown) when
// the update cannot go on; otherwise *err is the connection's result.
bool _connect_through_router(Updater& updater, Module& module, uint32_t serialNumber, uint32_t routerSerialNumber,
                             RouterSession& session, aErr* err) {
  if (module.getModuleAddress() == 0) {
    bool empty = false;
    const uint16_t address = _find_network_address(updater, serialNumber, routerSerialNumber, &empty);
    if (empty) {
      updater.display.message(kError, "Unable to find modules on Network");
      return false;
    }
    if (address == 0) {
      updater.display.message(kError,
                              "Module address required for indirect firmware update, could not find serial "
                              "number [0x%08X] on network",
                              serialNumber);
      return false;
    }
    module.setModuleAddress(static_cast<uint8_t>(address & 0xFF));
  }

  session.router = std::make_unique<Module>(0, 0);
  Module& router = *session.router;
  *err = _disableLinkSharing(router, updater.display);
  if (*err != aErrNone)
    return true;
  *err = _connect_usb_then_tcpip(updater.display, router, routerSerialNumber);
  if (*err != aErrNone) {
    if (*err != aErrDuplicate)
      _connect_failed(updater.display, "link module", routerSerialNumber);
    return false;
  }
  // The router scan hands routing back when it ends; without it the module
  // behind the router would never be heard.
  SystemClass system;
  system.init(&router, 0);
  *err = system.routeToMe(1);
  if (*err != aErrNone) {
    updater.display.message(kError, "Error %d on route to me", *err);
    return false;
  }
  session.routing = true;
  aOpenFailure_Clear();
  *err = module.connectThroughLinkModule(&router);
  if (*err != aErrNone)
    _connect_failed(updater.display, "module", serialNumber);
  return true;
}

linkType _link_type(const Module& module) {
  linkSpec spec{};
  if (module.getLinkSpecifier(&spec) != aErrNone)
    return LINK_USB;
  return spec.type;
}

// After the loader starts the module may have left and come back: find it
// again. The result is not an error of its own; a module still gone fails
// the firmware phase at its first request.
aErr _rediscover(Module& module, uint32_t serialNumber) {
  const bool usb = _link_type(module) == LINK_USB;
  const RefindPlan plan{kRediscoverTries, kRediscoverDelayMS, usb ? kContextRefreshEvery : 0};
  // A USB module is looked for again; a network one comes back where it was.
  return _refind_module(module, plan, {[&](int) {
                          return usb ? module.discoverAndConnect(LINK_USB, serialNumber) : module.reconnect();
                        }});
}

std::string _local_time_text() {
  char text[64] = "";
  const time_t now = time(nullptr);
  if (ctime_r(&now, text) == nullptr)
    return "";
  std::string out(text);
  if (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module, uint32_t serialNumber) {
  if (bird.BlockCount() == 0)
    return false;
  if (!bird.HasSerialOffsets() && !bird.ValidateSerialNumber(serialNumber))
    return false;

  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t moduleSerial = 0;
  aErr err = system.getSerialNumber(&moduleSerial);
  if (err != aErrNone)
    moduleSerial = 0;
  if (moduleSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }

  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!bird.ValidateModel(name)) {
    display.message(kError, "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    return err;
  }

  display.message(kInfo, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int number = 1;
  uint32_t total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(kInfo, "Transferring loader block %d of %d, %d bytes", number, static_cast<int>(blocks.size()),
                    static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
    // A prepare left unanswered does not stop the block; a refused one does.
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      // The loader would start with a block missing: stop before LOAD.
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    total += block.length;
    ++number;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", number - 1, static_cast<int>(total));
  display.display_progress(false);

  if (err == aErrNone) {
    display.message(kInfo, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
      Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
      err = aErrNone;
    } else if (err != aErrNone) {
      display.message(kError, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
    }
  }
  return err;
}

namespace {

// Whether the module's link was lost since the watch began: down, or its
// connection replaced (a stream that reconnected on its own still carries a
// loader that forgot the block under way).
class LinkWatch {
 public:
  explicit LinkWatch(Module& module) : module_(module) { haveEpoch_ = _epoch(&epoch_); }
  bool lost() const {
    if (!module_.isConnected())
      return true;
    uint64_t now = 0;
    return haveEpoch_ && _epoch(&now) && now != epoch_;
  }

 private:
  bool _epoch(uint64_t* epoch) const {
    Tovanire::Jorvanite::Link* link = module_.getLink();
    return link && link->getConnectionEpoch(epoch) == aErrNone;
  }
  Module& module_;
  uint64_t epoch_ = 0;
  bool haveEpoch_ = false;
};

// A prepare the module refused in words (an error status), or a block it
// cannot be given: trying again changes nothing. (A wrong sum or a refused
// write of a piece is worth another try.)
bool _refused(aErr err) {
  return err == aErrInvalidOption || err == aErrParam;
}

void _show_block_failure(UpdaterDisplayInterface& display, unsigned number, unsigned count, int tries, aErr err,
                         bool lost) {
  char cause[128];
  if (lost) {
    std::snprintf(cause, sizeof cause, "the link to the module was lost");
  } else if (err == aErrTimeout || err == aErrPacket) {
    std::snprintf(cause, sizeof cause, "the module did not answer in time");
  } else {
    std::snprintf(cause, sizeof cause, "the module answered error %d (%s)", err, aError_GetErrorText(err));
  }
  display.message(kError, "Firmware block %u of %u failed after %d %s: %s", number, count, tries,
                  tries == 1 ? "try" : "tries", cause);
}

enum class PhaseEnd { Done, Failed, LinkLost };

// One pass of the firmware phase over the module's current link.
PhaseEnd _firmware_pass(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, bool noRebootWait,
                        bool ueiBytes, bool mayStartOver, aErr* result) {
  const LinkWatch watch(module);
  UpdaterEntity entity;
  entity.init(&module, 0, true, noRebootWait);
  if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone)
    entity.CheckPooledPacketsSupport();

  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.Path().c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const unsigned count = static_cast<unsigned>(blocks.size());
  unsigned number = 1;
  uint32_t total = 0;
  aErr err = aErrNone;
  bool lost = false;
  for (const BirdBlock& block : blocks) {
    int tries = 0;
    while (tries < BLOCK_RETRIES) {
      display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", number, count,
                      static_cast<int>(block.length));
      if (tries > 0)
        display.message(kInfo, "  Retry %d", tries);
      ++tries;
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
      const bool refused = _refused(err);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
      } else {
        err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
        if (err == aErrNone)
          break;
        Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
      }
      // A lost link is not retried on: the module's loader is elsewhere now.
      lost = watch.lost();
      if (lost || refused)
        break;
    }
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      if (!(lost && mayStartOver))
        _show_block_failure(display, number, count, tries, err, lost);
      break;
    }
    total += block.length;
    ++number;
  }
  display.message(kInfo, "Transferred %d blocks, %d total bytes", static_cast<int>(number - 1),
                  static_cast<int>(total));
  *result = err;
  if (err != aErrNone)
    return lost ? PhaseEnd::LinkLost : PhaseEnd::Failed;
  *result = entity.LoaderReboot(display);
  return *result == aErrNone ? PhaseEnd::Done : PhaseEnd::Failed;
}

}  // namespace

bool _hold_module(UpdaterDisplayInterface& display, const std::string& entryPath, uint32_t serialNumber,
                  UpdaterStoreHold& hold) {
  hold = UpdaterStoreHold::Take(entryPath);
  if (!hold.Refusal().empty()) {
    _show_refusal(display, UpdaterStoreRefusal(hold.Refusal()));
    return false;
  }
  if (hold.Holder() != 0) {
    display.message(kError, "Another run (process %ld) is updating module [%08X]; try again when it ends.",
                    static_cast<long>(hold.Holder()), serialNumber);
    return false;
  }
  // Without a usable lock file (a store this user may not write to) the
  // run goes on as a lone run would; what it then cannot write it reports.
  if (!hold.Held()) {
    Log::log(DEBUG_Updater, "Going on without a hold on module [%08X]: %s\n", serialNumber, hold.Problem().c_str());
  }
  return true;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, bool noRebootWait,
                        bool ueiBytes, const FirmwareRefind& refind) {
  aErr err = aErrNone;
  for (int pass = 0;; ++pass) {
    const bool mayStartOver = refind && pass < kFirmwarePhaseRestarts;
    if (_firmware_pass(display, module, bird, noRebootWait, ueiBytes, mayStartOver, &err) != PhaseEnd::LinkLost ||
        !mayStartOver) {
      return err;
    }
    display.message(kInfo, "The link to the module was lost; finding it again (%d of %d)", pass + 1,
                    kFirmwarePhaseRestarts);
    const aErr found = refind();
    if (found != aErrNone) {
      display.message(kError, "Could not find the module again after its link was lost [%d, %s]", found,
                      aError_GetErrorText(found));
      return found;
    }
  }
}

BirdFile Updater::load_bird(const char* action, std::string path, uint32_t serialNumber, uint32_t build,
                            bool allowDownload) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "load_bird");
  if (!store)
    return BirdFile();
  if (!path.empty()) {
    display.message(kInfo, "%s from Birdfile: %s", action, path.c_str());
    // A refusal goes to the caller, whose message names its cause.
    return BirdFile::LoadWhole(path);
  }
  UpdaterStoreItem item = store->AddDevice(serialNumber);
  display.message(kInfo, "%s firmware with build: %u", action, build);
  std::string name = _bird_name(build);
  const auto read = [&] { return item.ReadBirdFile(name); };
  try {
    return read();
  } catch (const UpdaterStoreRefusal&) {
    // Not the store's file: nothing is fetched over it.
    throw;
  } catch (const BirdFile::Incomplete& e) {
    if (!allowDownload)
      throw;
    // Said now: the copy fetched next takes its place.
    display.message(kError, "%s", e.what());
  } catch (const std::runtime_error& e) {
    if (!allowDownload)
      throw std::runtime_error("Error reading birdfile: " + BirdFile::FailureText(e));
  }
  display.message(kInfo, "Downloading firmware build %u", build);
  // Build 0 downloads the latest, stored under its own number: read that.
  const uint32_t downloaded = Download_Firmware(serialNumber, std::to_string(build), false, false);
  if (downloaded != 0)
    name = _bird_name(downloaded);
  return read();
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdPath, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool override) {
  if (serialNumber == 0) {
    display.message(kError, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Update_Firmware");
  if (!store)
    return false;

  UpdaterStoreItem item;
  try {
    if (!store->FindDevice(serialNumber, &item))
      item = store->AddDevice(serialNumber);
  } catch (const UpdaterStoreRefusal& refusal) {
    _show_refusal(display, refusal);
    return false;
  } catch (const std::runtime_error& e) {
    display.message(kError, "Could not create directory for storing BIRD file: %s", e.what());
    return false;
  }
  // Kept until the update returns: a second update of the module, started
  // meanwhile, would talk to a module in its loader.
  UpdaterStoreHold hold;
  if (!_hold_module(display, item.Path(), serialNumber, hold))
    return false;
  // Also kept for every run on this host, whatever its store: a listing
  // leaves the module alone, and a run through the same router (which
  // carries one host connection at a time) waits its turn.
  const HostHold moduleClaim = TakeHostHold(display, "Module", serialNumber);
  const HostHold routerClaim =
      routerSerialNumber != 0 ? TakeHostHold(display, "Router", routerSerialNumber) : HostHold();

  const uint64_t start = aTime_GetMSTicks();
  if (birdPath.empty()) {
    try {
      build = _settle_build(display, item, serialNumber, build, serverUrl);
    } catch (const UpdaterStoreRefusal& refusal) {
      _show_refusal(display, refusal);
      return false;
    }
    if (build == 0) {
      display.message(kError, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile bird;
  try {
    bird = load_bird("Updating", birdPath, serialNumber, build, false);
  } catch (const std::runtime_error& e) {
    display.message(kError, "Failed to load bird file: %s", BirdFile::FailureText(e).c_str());
    return false;
  }
  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    // Rebooting the module and recording a transfer of nothing would report
    // an update that never happened.
    display.message(kError, "The BIRD file holds no firmware");
    return false;
  }

  if (bird.HasSerialOffsets()) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(kError, "Unable to write the serial number into %s: %s", bird.Path().c_str(),
                      bird.SerialNumberProblem().c_str());
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  RouterSession routerSession;
  Module module(moduleAddress, 0);
  aErr err = _disableLinkSharing(module, display);
  if (err == aErrNone) {
    if (routerSerialNumber != 0) {
      if (!_connect_through_router(*this, module, serialNumber, routerSerialNumber, routerSession, &err)) {
        return false;
      }
    } else {
      err = _connect_usb_then_tcpip(display, module, serialNumber);
      if (err != aErrNone && err != aErrDuplicate)
        _connect_failed(display, "module", serialNumber);
    }
  }

  if (err == aErrNone && !override && !_validate_birdfile(display, bird, module, serialNumber)) {
    display.message(kError, "Birdfile failed validation");
    return false;
  }
  if (err == aErrNone)
    err = _transfer_loader(display, module, bird);
  // A module that its re-find window did not bring back is not looked for a
  // second time by the firmware phase: the verdict would only come later.
  bool refound = true;
  if (err == aErrNone && !module.isConnected())
    refound = _rediscover(module, serialNumber) == aErrNone;
  // Behind a router the module's reboot leaves the router's link up: no
  // drop to wait for.
  // A module that loses its link in the firmware phase is looked for the way
  // it was found after its loader started.
  FirmwareRefind refind;
  if (refound)
    refind = [&] { return _rediscover(module, serialNumber); };
  if (err == aErrNone) {
    err = _transfer_firmware(display, module, bird, routerSerialNumber != 0, ueiBytesLoad, refind);
  }

  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    return false;
  }

  // Recorded only now that every block was verified and written and the
  // module rebooted; the settings file is replaced whole or not at all. A
  // transfer the store does not know of leaves the next update choosing its
  // build from stale settings, so an unrecorded update is not a success,
  // though the module does run the new firmware.
  KeyValueStore& settings = item.Settings();
  settings.Add(kLatestTransfer, birdPath.empty() ? _bird_name(build) : birdPath);
  settings.Add(kLastTransferDate, _local_time_text());
  const bool recorded = settings.Save();
  if (!recorded) {
    display.message(kError, "Could not record the transfer in %s", settings.Path().c_str());
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(kInfo, "Update time: %.4f sec", static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
  return recorded;
}
