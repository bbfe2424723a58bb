#pragma once
// The host side of a module's loader protocol (command 0x5F): the running
// firmware takes a small loader program and starts it; the loader takes the
// new firmware piece by piece, checks each piece's byte sum, writes it and
// reboots the module. Each operation is one request kind; the block
// transfers sit on top. All packets are [0x5F][option][fields, big-endian]:
//
//   INIT     5F 00                -> 5F 00 base(4)
//   PREPARE  5F 03 flags addr(4)  -> 5F 07 status size(2)
//   DATA     5F 01 bytes(1..26)   -> 5F 01 taken
//   SUM      5F 04                -> 5F 07 status sum(4)
//   WRITE    5F 05 size(2)        -> 5F 07 status
//   LOAD     5F 02                -> 5F 02
//   REBOOT   5F 06                (no reply: the module's link drops)
//   DATA_UEI a UEI byte-block set of option 10: a whole piece at once
//
// Every operation returns an aErr (aErrNone on success). Block data start
// with the block's 4-byte big-endian load address, and block lengths count
// those 4 bytes; a null block or one shorter than its address gives
// aErrParam before anything is sent. Each reply is awaited 1000 ms; a
// reply shorter than the fields read gives aErrPacket; late replies of an
// earlier request are dropped before each request, so they never confirm
// the next one.
//
// Calling order. Loader phase: init, LoaderInit, then per loader block
// TransferPrepare and LoaderTransfer, then LoaderStart (refused when a
// loader block of this phase failed: a partial loader is never started).
// Firmware phase, on a fresh entity: init, optionally CheckUEIDataSupport
// and CheckPooledPacketsSupport, then per firmware block TransferPrepare
// and FirmwareTransfer with the block size just received, then
// LoaderReboot. Retrying a failed block (from TransferPrepare) is the
// caller's decision.
//
// Threads: one entity is used from one thread at a time; it blocks on the
// replies. Diagnostics go to Log under DEBUG_Network_FIRM (reconnection
// under DEBUG_Network); failures that end a transfer also under package 0.

#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

class UpdaterEntity : public Tovanire::Jorvanite::EntityClass {
 public:
  // Option codes: the second data byte of every packet of command 0x5F.
  enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
  };

  static constexpr uint32_t ADDRESS_PREFIX_SIZE = 4;
  static constexpr uint8_t DATA_MAX_BYTES = 26;  // a packet's 28 data bytes less command and option
  // A DATA piece whose reply echoes another count is sent again at most this
  // many times, then the transfer fails with aErrPacket.
  static constexpr int DATA_RESEND_LIMIT = 5;
  // How long LoaderReboot waits for the link to drop before it gives up
  // with aErrTimeout (a module reboot takes a few seconds).
  static constexpr uint32_t REBOOT_WAIT_MS = 60000;
  static constexpr uint32_t REBOOT_POLL_MS = 250;
  // Probes unanswered this long after the last answer (or the request)
  // count as a module gone quiet; from then on each pass also looks for the
  // module with a new connection, bounded by FRESH_LOOK_MS, so that one back
  // from a dark spell is seen within a pass or two of its return. Long
  // enough that a module kept busy for a moment does not count as gone.
  static constexpr uint32_t PROBE_SILENCE_MS = 2000;
  static constexpr uint32_t FRESH_LOOK_MS = 500;
  static constexpr int RECONNECT_ATTEMPTS = 5;  // per series: stored specifier, then the default serial

  UpdaterEntity();
  ~UpdaterEntity() override;

  // Binds command 0x5F and the index on the module and sets the flags;
  // clears ueiData and the loader-phase state.
  void init(Tovanire::Jorvanite::Module* module, uint8_t index, bool verify, bool noRebootWait);

  // INIT exchange; the load base is logged, not kept. A reply of 5 data
  // bytes or fewer: aErrPacket.
  aErr LoaderInit();
  // PREPARE exchange for the block at data (address prefix first). A
  // nonzero status: aErrInvalidOption. On success *blockSize is the piece
  // size the module announced; outside the loader phase (no LoaderInit on
  // this entity) a size of 0 is refused with aErrInvalidOption, for no
  // firmware piece could ever go. A missing reply is the receive error
  // (aErrTimeout), which the loader phase may ride over.
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
  // Sends a loader block's bytes after its address as one block transfer
  // (no WRITE follows: the loader's bytes are only stored).
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  // LOAD exchange. When the echo does not come (or the link went), the
  // module is reconnected and the echo awaited again on the new link;
  // aErrTimeout when it never comes. aErrCancel, with nothing sent, when a
  // loader block of this phase failed.
  aErr LoaderStart();
  // Asks whether option 10 can be set (Module::hasUEI) and, when it can
  // (answer aErrNone), sends pieces as one UEI byte block from now on.
  // Returns the module's answer.
  aErr CheckUEIDataSupport();
  // Switches the link to pooled writes when bit 31 of the module's protocol
  // feature word is set. The read's error, or the switch's result.
  aErr CheckPooledPacketsSupport();
  // Sends a firmware block piece by piece (at most blockSize bytes each):
  // each piece transferred, its sum checked, then written; the display's
  // progress bar follows. Stops at the first error. A block of its address
  // alone sends nothing and succeeds; blockSize 0 with bytes to send gives
  // aErrInvalidOption.
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize, UpdaterDisplayInterface& display);
  // WRITE exchange for a piece of `size` bytes (sent as 16 bits). No reply,
  // no status byte or a nonzero status: aErrInvalidOption.
  aErr FirmwareWrite(uint32_t size);
  // REBOOT, then waits until the module is seen to restart: its link went
  // down, or its connection was lost or replaced since the request (the
  // link's connection epoch), with an address query sent each 250 ms pass
  // so that a stack that restarted under the link gives itself away, or,
  // once the queries went unanswered PROBE_SILENCE_MS, a TCPIP module took
  // a new connection. Turns the spinner each pass (one pass only with
  // noRebootWait). Returns the send result, or aErrTimeout after
  // rebootWaitMs, logged (package 0) as a module that kept its link when it
  // still answers, else as one that stopped answering and did not come
  // back.
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  // Building blocks of the operations above.
  // Drops and re-opens the module's connection: up to 5 attempts from the
  // stored specifier, then up to 5 over USB with the default serial number,
  // `delayMs` after each failure. The last attempt's result.
  aErr _reconnect(uint32_t delayMs);
  // Moves `length` bytes by DATA packets (or one DATA_UEI write with
  // ueiData), then, with verifyTransfer, checks the module's sum of them.
  // *count is a diagnostic tally of packets accepted. No DATA reply:
  // aErrPacket; a sum that differs or a nonzero SUM status: aErrInvalidOption.
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t* count);
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t* count, uint32_t* sum);

  Tovanire::Jorvanite::Module* module;  // borrowed; null until init
  bool verifyTransfer;                  // ask for each piece's sum and compare; true at construction
  bool noRebootWait;                    // LoaderReboot waits one polling pass only
  bool ueiData;                         // pieces go as one UEI byte block; set by CheckUEIDataSupport
  uint32_t rebootWaitMs;                // REBOOT_WAIT_MS unless changed

 private:
  aErr _prepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t* blockSize);
  // Sends [0x5F][request] and awaits the first packet that begins with 0x5F
  // and `replyOption` (queued ones from the module dropped first) into a
  // 28-byte buffer; *length is its data length, *sent whether it was queued.
  aErr _ask(const uint8_t* request, uint8_t requestLength, uint8_t replyOption, uint8_t* reply, uint8_t* length,
            bool* sent);
  // Awaits the first packet that begins with 0x5F and `replyOption` into a
  // 28-byte buffer; *length is its data length.
  aErr _await(uint8_t replyOption, uint8_t* reply, uint8_t* length);

  bool m_loaderPhase;   // LoaderInit succeeded on this binding
  bool m_loaderFailed;  // a loader block of this phase failed
};
