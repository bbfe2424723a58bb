#include "UpdaterEntity.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Link.h"
#include "LoaderReplies.h"
#include "Log.h"
#include "SystemClass.h"
#include "Updater.h"
#include "Updater_Discover.h"
#include "aByteOrder.h"
#include "aPacket.h"
#include "aTime.h"
#include "uei.h"

using Tovanire::Jorvanite::cmdUPGRADE;
using Tovanire::Jorvanite::Module;

namespace {

constexpr uint32_t kLoaderStartReconnectMS = 500;
constexpr uint32_t kProtocolPooledPackets = 0x80000000u;
using loaderreply::kStatusOK;

// Whole milliseconds from now until t; none once t has passed.
uint64_t _ms_until(std::chrono::steady_clock::time_point t) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - std::chrono::steady_clock::now()).count();
  return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

bool _has_prefix(const uint8_t* data, uint32_t length) {
  return data && length >= UpdaterEntity::ADDRESS_PREFIX_SIZE;
}

}  // namespace

UpdaterEntity::UpdaterEntity()
    : module(nullptr),
      verifyTransfer(true),
      noRebootWait(false),
      ueiData(false),
      rebootWaitMs(REBOOT_WAIT_MS),
      m_loaderPhase(false),
      m_loaderFailed(false) {}

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* m, uint8_t index, bool verify, bool noWait) {
  EntityClass::init(m, cmdUPGRADE, index);
  module = m;
  verifyTransfer = verify;
  noRebootWait = noWait;
  ueiData = false;
  m_loaderPhase = false;
  m_loaderFailed = false;
}

aErr UpdaterEntity::_ask(const uint8_t* request, uint8_t requestLength, uint8_t replyOption, uint8_t* reply,
                         uint8_t* length, bool* sent) {
  const uint8_t prefix[2] = {cmdUPGRADE, replyOption};
  *length = sizeof prefix;
  return exchangePacket(cmdUPGRADE, requestLength, request, prefix, length, reply, sent);
}

aErr UpdaterEntity::_await(uint8_t replyOption, uint8_t* reply, uint8_t* length) {
  const uint8_t prefix[2] = {cmdUPGRADE, replyOption};
  *length = sizeof prefix;
  return receivePacket(prefix, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const uint8_t request[1] = {val_UPGRADE_INIT};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  bool sent = false;
  const aErr err = _ask(request, sizeof request, val_UPGRADE_INIT, reply, &length, &sent);
  if (!sent)
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
  if (err != aErrNone)
    return err;
  uint32_t base = 0;
  if (loaderreply::init(reply, length, &base) != aErrNone)
    return aErrPacket;
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  m_loaderPhase = true;
  m_loaderFailed = false;
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize) {
  const aErr err = _prepare(data, length, flags, blockSize);
  // A missing status reply does not stop a loader block (its sum check
  // decides); any other failure leaves the loader incomplete.
  if (m_loaderPhase && err != aErrNone && err != aErrTimeout)
    m_loaderFailed = true;
  return err;
}

aErr UpdaterEntity::_prepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize) {
  if (!_has_prefix(data, length) || !blockSize) {
    Log::log(0, "NETWORK: TransferPrepare refused: a block of %u bytes has no 4-byte address.\n", data ? length : 0u);
    return aErrParam;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           *blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags, data[0],
           data[1], data[2], data[3]);
  const uint32_t address = aByteOrder::be32(data);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(address));

  const uint8_t request[6] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  bool sent = false;
  const aErr err = _ask(request, sizeof request, val_UPGRADE_STATUS, reply, &replyLength, &sent);
  if (!sent)
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
  if (err != aErrNone)
    return err;
  uint16_t size = 0;
  uint8_t status = kStatusOK;
  const aErr parsed = loaderreply::prepare(reply, replyLength, &status, &size);
  if (parsed == aErrInvalidOption) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
  }
  if (parsed != aErrNone)
    return parsed;
  if (size == 0 && !m_loaderPhase) {
    // Pieces of 0 bytes would never move the block on.
    Log::log(0, "NETWORK: The loader announced a block size of 0 for the block at %08X.\n", address);
    return aErrInvalidOption;
  }
  *blockSize = size;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", size);
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t* count, uint32_t* sum) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  Tovanire::Jorvanite::uei record{};
  record.type = Tovanire::Jorvanite::ueiTypeBytes;
  // The record carries a writable pointer for receives; a set only reads it.
  record.value.bytes = const_cast<uint8_t*>(data);
  record.count = length;
  const aErr err = setUEI(val_UPGRADE_DATA_UEI, &record);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  for (uint32_t i = 0; i < length; ++i)
    *sum += data[i];
  *count = 1;
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t* count) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  if ((!data && length) || !count)
    return aErrParam;
  uint32_t sum = 0;
  uint32_t remaining = length;
  aErr err = aErrNone;

  if (ueiData) {
    if (length) {
      err = _block_transfer_uei_helper(data, length, count, &sum);
      if (err != aErrNone)
        return err;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    remaining = 0;
  } else {
    const uint8_t* at = data;
    int resends = 0;
    while (remaining > 0 && err == aErrNone) {
      const uint8_t piece = static_cast<uint8_t>(remaining < DATA_MAX_BYTES ? remaining : DATA_MAX_BYTES);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", piece);
      uint8_t request[1 + DATA_MAX_BYTES];
      request[0] = val_UPGRADE_DATA;
      std::memcpy(&request[1], at, piece);
      uint8_t reply[aPACKET_MAX_DATA];
      uint8_t replyLength = 0;
      bool sent = false;
      const aErr asked = _ask(request, static_cast<uint8_t>(1 + piece), val_UPGRADE_DATA, reply, &replyLength, &sent);
      if (!sent) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", asked);
        return asked;
      }
      uint8_t accepted = 0;
      if (asked != aErrNone || loaderreply::dataAck(reply, replyLength, &accepted) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = aErrPacket;
        break;
      }
      if (accepted != piece) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted, piece);
        if (++resends > DATA_RESEND_LIMIT) {
          Log::log(0, "\nNETWORK: The module refused a %d-byte piece %d times; giving up.\n", piece, resends);
          err = aErrPacket;
        }
        continue;
      }
      resends = 0;
      for (uint8_t i = 0; i < piece; ++i)
        sum += at[i];
      at += piece;
      remaining -= piece;
      *count += 1;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", piece,
               static_cast<int>(remaining), static_cast<int>(length));
    }
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));

  if (err == aErrNone && verifyTransfer) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[1] = {val_UPGRADE_SUM};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    bool sent = false;
    // A failed send shows as the missing reply.
    uint8_t status = kStatusOK;
    uint32_t theirs = 0;
    if (_ask(request, sizeof request, val_UPGRADE_STATUS, reply, &replyLength, &sent) != aErrNone || replyLength < 3) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
      err = aErrPacket;
    } else if (loaderreply::sum(reply, replyLength, &status, &theirs) != aErrNone) {
      Log::log(0, "\nNETWORK: The sum reply of %d bytes carries no sum.\n", replyLength);
      err = aErrPacket;
    } else {
      if (status != kStatusOK || theirs != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, theirs);
        err = aErrInvalidOption;
      } else {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 theirs, static_cast<int>(*count));
      }
    }
  }
  return err;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (!_has_prefix(data, length)) {
    Log::log(0, "NETWORK: Loader block of %u bytes refused: it has no 4-byte address.\n", data ? length : 0u);
    m_loaderFailed = true;
    return aErrParam;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aByteOrder::be32(data),
           static_cast<int>(length - ADDRESS_PREFIX_SIZE));
  uint32_t count = 0;
  const aErr err = _block_transfer(data + ADDRESS_PREFIX_SIZE, length - ADDRESS_PREFIX_SIZE, &count);
  if (err != aErrNone)
    m_loaderFailed = true;
  return err;
}

aErr UpdaterEntity::LoaderStart() {
  if (m_loaderFailed) {
    // Starting a loader with blocks missing would leave the module running
    // whatever half of it arrived.
    Log::log(0, "NETWORK: Loader not started: a loader block failed.\n");
    return aErrCancel;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const uint8_t request[1] = {val_UPGRADE_LOAD};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  bool sent = false;
  aErr err = _ask(request, sizeof request, val_UPGRADE_LOAD, reply, &length, &sent);
  if (!sent) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  err = _reconnect(kLoaderStartReconnectMS);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = _await(val_UPGRADE_LOAD, reply, &length);
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           aError_GetErrorText(err));
  return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
  if (!module)
    return aErrResource;
  const RefindPlan plan{RECONNECT_ATTEMPTS, delayMs, 0};
  // Each attempt's outcome, as the pause (if any) follows it.
  const auto reported = [this, delayMs](aErr err) {
    if (module->isConnected()) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
    } else {
      Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
    }
    return err;
  };
  // First the link's own specifier, then the default serial number a
  // module's loader may come back with.
  const aErr err = _refind_module(*module, plan, {[&](int attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, RECONNECT_ATTEMPTS);
    return reported(module->reconnect());
  }});
  if (err == aErrNone)
    return err;
  return _refind_module(*module, plan, {[&](int attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
             RECONNECT_ATTEMPTS);
    return reported(module->connect(LINK_USB, DEFAULT_SERIAL_NUMBER));
  }});
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (!module)
    return aErrResource;
  const aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), Tovanire::Jorvanite::ueiOPTION_SET);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", answer);
  if (answer == aErrNone)
    ueiData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (!module)
    return aErrResource;
  Tovanire::Jorvanite::SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  const aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone)
    return err;
  if (!(features & kProtocolPooledPackets))
    return aErrNone;
  Tovanire::Jorvanite::Link* link = module->getLink();
  return link ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t size) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(size));
  uint8_t request[3] = {val_UPGRADE_WRITE};
  aByteOrder::putBE16(&request[1], static_cast<uint16_t>(size));
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  bool sent = false;
  const aErr err = _ask(request, sizeof request, val_UPGRADE_STATUS, reply, &length, &sent);
  if (!sent) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return err;
  }
  if (err != aErrNone || loaderreply::write(reply, length) != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (!_has_prefix(data, length)) {
    Log::log(0, "NETWORK: Firmware block of %u bytes refused: it has no 4-byte address.\n", data ? length : 0u);
    return aErrParam;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aByteOrder::be32(data),
           static_cast<int>(length - ADDRESS_PREFIX_SIZE));
  uint32_t remaining = length - ADDRESS_PREFIX_SIZE;
  const uint8_t* at = data + ADDRESS_PREFIX_SIZE;
  uint32_t count = 0;
  aErr err = aErrNone;
  if (remaining > 0 && blockSize == 0) {
    Log::log(0, "NETWORK: Firmware block at %08X cannot go in pieces of 0 bytes.\n", aByteOrder::be32(data));
    err = aErrInvalidOption;
  }

  Log::timestamped = false;
  display.display_progress(true);
  while (remaining > 0 && err == aErrNone) {
    const uint32_t piece = remaining < blockSize ? remaining : blockSize;
    err = _block_transfer(at, piece, &count);
    if (err == aErrNone) {
      remaining -= piece;
      at += piece;
      count += 1;
      display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", static_cast<int>(piece),
               static_cast<int>(remaining), static_cast<int>(length));
    }
    if (err == aErrNone)
      err = FirmwareWrite(piece);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  if (err != aErrNone)
    Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  // A network module may restart without its link ever reporting down: the
  // stream reconnects to a module that is back at once, and one that reset
  // or closed under an idle link is seen only when something is sent. The
  // connection epoch, noted before the request, shows every such restart.
  Tovanire::Jorvanite::Link* link = module ? module->getLink() : nullptr;
  uint64_t epochBefore = 0;
  const bool haveEpoch = link && link->getConnectionEpoch(&epochBefore) == aErrNone;
  const auto restarted = [&] {
    if (!module->isConnected())
      return true;
    uint64_t epoch = 0;
    return haveEpoch && link->getConnectionEpoch(&epoch) == aErrNone && epoch != epochBefore;
  };

  const uint8_t request[1] = {val_UPGRADE_REBOOT};
  aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
  if (err != aErrNone)
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  const auto requested = Clock::now();
  const auto deadline = requested + milliseconds(rebootWaitMs);
  // Silence is counted from the request: the module may go at once.
  auto lastAnswer = requested;
  const auto sinceRequest = [&](Clock::time_point t) {
    return static_cast<unsigned>(std::chrono::duration_cast<milliseconds>(t - requested).count());
  };
  while (module && !restarted()) {
    const auto now = Clock::now();
    if (now >= deadline) {
      if (now - lastAnswer < milliseconds(PROBE_SILENCE_MS)) {
        Log::log(0, "NETWORK: The module kept its link %u ms after the reboot request.\n", rebootWaitMs);
      } else {
        Log::log(0,
                 "NETWORK: The module stopped answering %u ms after the reboot request and did not come back "
                 "within %u ms.\n",
                 sinceRequest(lastAnswer), rebootWaitMs);
      }
      err = aErrTimeout;
      break;
    }
    const auto passEnd = now + milliseconds(REBOOT_POLL_MS);
    // Sent before the pause, so the answer of a restarted stack is in by its end.
    if (link)
      link->probe();
    // A module gone quiet may be back on a fresh stack while the old
    // connection waits out TCP's retransmission back-off, which after a
    // dark spell runs to many seconds: a new connection it takes shows it
    // at once.
    if (link && now - lastAnswer >= milliseconds(PROBE_SILENCE_MS)) {
      const uint64_t bound = std::min<uint64_t>(FRESH_LOOK_MS, _ms_until(deadline));
      if (link->answersAnew(bound) == aErrNone) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: The module took a new connection %u ms after the reboot request while its link went "
                 "unanswered: it restarted.\n",
                 sinceRequest(Clock::now()));
        break;
      }
    }
    if (link && link->takeProbeAnswer(_ms_until(passEnd)) == aErrNone) {
      lastAnswer = Clock::now();
    }
    if (const uint64_t pause = _ms_until(passEnd))
      aTime_MSSleep(static_cast<uint32_t>(pause));
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noRebootWait)
      break;
  }
  display.update_spinner(false, "Verifying Update");
  return err;
}
