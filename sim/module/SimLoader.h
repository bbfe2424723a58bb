// The simulated module's loader protocol (command 0x5F), written from the
// wire bytes alone. Every request and reply is one packet whose data start
// with 0x5F and an option byte; numbers are big-endian:
//
//   INIT     5F 00                  -> 5F 00 base(4)
//   PREPARE  5F 03 flags addr(4)    -> 5F 07 status size(2)
//   DATA     5F 01 bytes(1..26)     -> 5F 01 taken
//   SUM      5F 04                  -> 5F 07 status sum(4)
//   WRITE    5F 05 size(2)          -> 5F 07 status
//   LOAD     5F 02                  -> 5F 02
//   REBOOT   5F 06                  (no reply; the module restarts)
//   a UEI byte-block set of option 10 on entity 0x5F stands for the DATA
//   packets of a whole piece (acknowledged by the command layer).
//
// The module starts in its running firmware, which takes a loader: INIT,
// then per loader block PREPARE, DATA and SUM (the bytes are stored at the
// block's address), then LOAD, which restarts the module into the loader.
// The loader takes firmware blocks: PREPARE opens a block at its address
// and announces the piece size; each piece is DATA (or one UEI block), SUM
// and WRITE, which commits the piece at the block's address plus what the
// block already wrote. REBOOT drops the link (by reset, orderly close or
// a silent chip reset: LoaderFaults::rebootRestart) and, over TCP, refuses
// connections while the module reboots, unless it is back at once (a
// module behind a router keeps its router's link); the module comes back
// in its firmware. LOAD keeps the
// link unless restartDropsLink says otherwise.
// Status 0 is success. What arrives out of order is refused the way a
// careful loader would: DATA with no open block takes nothing, PREPARE
// before INIT and WRITE of another size than the piece held give a nonzero
// status.
//
// In-process use:
//
//   auto sim = jvsim::SimModule::overTcp("127.0.0.1");
//   auto cmds = jvsim::SimCommands::install(*sim);
//   auto loader = jvsim::SimLoader::install(*sim, cmds);     // or installSub(...)
//   loader->faults().sumMismatch = 4;                        // next four SUMs disagree
//   sim->start();
//   ... update ...
//   loader->firmwareBytes(0x8000, n) == payload;  loader->stats().reboots;
//
// Fault switches are "next N" counters (N > 0 the next N, -1 every one, 0
// none) and hit the transfer named by `phase`; they may be flipped while the
// module runs. A serial number or model that differs from the BIRD file is
// the command layer's value: SimCommands::set(kOptSerialNumber / kOptModel).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "SimCommands.h"
#include "SimModule.h"

namespace jvsim {

class SimRouter;

// Option codes of command 0x5F (data byte 1).
namespace upgrade {
constexpr uint8_t kInit = 0;
constexpr uint8_t kData = 1;
constexpr uint8_t kLoad = 2;
constexpr uint8_t kPrepare = 3;
constexpr uint8_t kSum = 4;
constexpr uint8_t kWrite = 5;
constexpr uint8_t kReboot = 6;
constexpr uint8_t kStatus = 7;
constexpr uint8_t kDataUei = 10;
constexpr size_t kMaxDataBytes = 26;
}  // namespace upgrade

// Memory as runs of bytes: start address -> contiguous bytes, runs merged
// where they touch or overlap (a later write wins).
using MemoryImage = std::map<uint32_t, Bytes>;

struct LoaderConfig {
  uint32_t loadBase = 0x20000000u;  // INIT's answer
  uint16_t blockSize = 512;         // PREPARE's answer in the loader: the piece size
  size_t loaderCapacity = 65536;    // bytes one loader block may hold
  // LOAD restarts the module with its link dropping before the echo could go
  // out (a module that leaves the bus at once); the loader then echoes on the
  // next link. Off: the echo goes out and the loader keeps the link.
  bool restartDropsLink = false;
  // A pending echo goes out this long after the last connection, force
  // route, sync or address query of the next link, once the host settled it.
  int echoAfterSyncMs = 300;
  // How long the module stays unreachable (connections refused, where the
  // transport can) when a restart drops the link, and while it reboots.
  int restartOfflineMs = 300;
  int rebootOfflineMs = 1000;
  // After a reboot that followed written firmware, the command layer reports
  // this build (system option 43); 0 keeps the build.
  uint32_t buildAfterReboot = 0;
  // With a new build, also this firmware version (system option 7); 0 keeps it.
  uint32_t versionAfterReboot = 0;
  // False for a sub-module: its restarts and reboots leave the router's link up.
  bool ownsLink = true;
};

enum class LoaderMode : uint8_t {
  Firmware,  // the running firmware: takes a loader
  Loader,    // the loader: takes firmware
  Gone,      // restarted and never came back
};

// The moment at which the module's network goes dark once (Transport::goDark):
// its stack reboots under the host, and nothing of it is heard, not even a
// reset, until it is back.
enum class DarkAt : uint8_t {
  Never,
  Load,    // LOAD restarts the module into its loader before the echo; the
           // loader echoes on the next link once it is back (for good: the
           // loader never comes up)
  Echo,    // just after the LOAD echo went out; back in the loader
  Piece,   // the firmware piece numbered darkAtCount (from 1, over the whole
           // firmware phase) arrives and is not answered; back in the loader
           // with no block open
  Reboot,  // REBOOT; back in the firmware (the way a reboot comes back)
};

// Which transfer a block fault hits.
enum LoaderPhase : int { kPhaseAny = -1, kPhaseLoader = 0, kPhaseFirmware = 1 };

struct LoaderFaults {
  std::atomic<int> phase{kPhaseFirmware};
  std::atomic<int> wrongDataCount{0};  // DATA reply echoes another count; the bytes are not taken
  std::atomic<int> sumMismatch{0};     // SUM reply carries the sum plus one
  std::atomic<int> prepareError{0};    // PREPARE reply with status prepareStatus
  std::atomic<int> prepareStatus{1};
  std::atomic<int> blockSizeZero{0};   // PREPARE reply announces block size 0
  std::atomic<int> shortInit{0};       // INIT reply of 5 data bytes (load base cut short)
  std::atomic<int> shortWrite{0};      // WRITE reply of 2 data bytes (no status byte)
  std::atomic<bool> noLoadEcho{false};  // LOAD restarts without its echo; the loader echoes on the next link
  // After this many more pieces taken (DATA packets, or UEI blocks), the
  // loader answers nothing more; 0 off.
  std::atomic<int> silenceAfterData{0};
  std::atomic<bool> neverComesBack{false};  // LOAD drops the link and the module stays silent for good
  // How REBOOT ends the module's own link, and after how long it listens
  // again (-1: LoaderConfig::rebootOfflineMs; 0: at once).
  std::atomic<Restart> rebootRestart{Restart::Reset};
  std::atomic<int> rebootBackMs{-1};
  // REBOOT is taken and nothing happens: the module keeps running its
  // loader, link and all.
  std::atomic<bool> ignoreReboot{false};
  // The loader's link drops (the way `dropAfterLoadHow` says) this long
  // after the LOAD echo went out, and the module is back in its loader
  // after LoaderConfig::restartOfflineMs; 0 off.
  std::atomic<int> dropAfterLoadMs{0};
  std::atomic<Restart> dropAfterLoadHow{Restart::Reset};
  // At the first piece of this firmware block (counted from 1 by the
  // loader's PREPAREs), the loader stays silent for `quietForMs` on the
  // same link, then answers again; 0 off.
  std::atomic<int> quietAtBlock{0};
  std::atomic<int> quietForMs{0};
  // The module goes dark once, at `darkAt`, for `darkForMs` (kDarkForever:
  // for good); the loader answers nothing while it is dark.
  std::atomic<DarkAt> darkAt{DarkAt::Never};
  std::atomic<int> darkAtCount{1};
  std::atomic<int> darkForMs{kDarkForever};
};

struct LoaderStats {
  std::atomic<uint32_t> inits{0};
  std::atomic<uint32_t> prepares{0};
  std::atomic<uint32_t> dataPackets{0};  // DATA packets whose bytes were taken
  std::atomic<uint32_t> ueiPieces{0};    // UEI blocks taken
  std::atomic<uint32_t> sums{0};
  std::atomic<uint32_t> writes{0};       // WRITEs that committed a piece
  std::atomic<uint32_t> loads{0};        // LOADs that restarted the module into its loader
  std::atomic<uint32_t> reboots{0};
};

using SteadyTime = std::chrono::steady_clock::time_point;

struct PreparedBlock {
  LoaderMode mode;
  uint8_t flags;
  uint32_t address;
};

class SimLoader : public CommandHandler, public std::enable_shared_from_this<SimLoader> {
 public:
  SimLoader(std::shared_ptr<SimCommands> commands, LoaderConfig config);
  ~SimLoader() override;

  // Adds the loader to the module whose command layer `commands` is, and
  // registers option 10 of entity 0x5F with the command layer (so hasUEI
  // reports it and its byte blocks reach the loader).
  static std::shared_ptr<SimLoader> install(SimModule& module, std::shared_ptr<SimCommands> commands,
                                            LoaderConfig config = {});
  // The same for the sub-module at a bus address behind a router (its link
  // is the router's: ownsLink is cleared). Throws std::invalid_argument
  // when there is no such sub-module.
  static std::shared_ptr<SimLoader> installSub(SimModule& module, SimRouter& router, uint8_t busAddress,
                                               LoaderConfig config = {});

  bool handle(SimModule& module, const Packet& packet) override;
  // Connection changes, force routes, sync and address queries of the module's link.
  void linkEvent(SimModule& module, const std::string& event);

  uint8_t address() const { return commands_->address(); }
  LoaderMode mode() const;
  // Puts the module straight into its loader (a module found already
  // running it), with no link change.
  void enterLoader();

  // What WRITE committed, and what the firmware stored of loader blocks
  // (cleared by each INIT of the firmware).
  MemoryImage firmwareImage() const;
  MemoryImage loaderImage() const;
  // `length` bytes from `address` of the written firmware, `fill` where
  // nothing was written.
  Bytes firmwareBytes(uint32_t address, size_t length, uint8_t fill = 0xFF) const;
  std::vector<PreparedBlock> prepared() const;
  void clearFirmwareImage();

  // Whether option 10 (a whole piece as a UEI byte block) is offered.
  void setUeiData(bool offered);

  LoaderFaults& faults() { return faults_; }
  const LoaderStats& stats() const { return stats_; }
  // When the module last came back from a reboot: reachable again (at the
  // reboot itself when it comes back at once). Empty before that.
  std::optional<SteadyTime> backAt() const;

 private:
  void reply(SimModule& module, Bytes data);
  void event(SimModule& module, const std::string& text);
  bool applies() const;  // the fault phase covers the current mode (lock held)
  int phaseOf(LoaderMode mode) const;

  void onInit(SimModule& module);
  void onPrepare(SimModule& module, const Bytes& d);
  void onData(SimModule& module, const Bytes& d);
  void onSum(SimModule& module);
  void onWrite(SimModule& module, const Bytes& d);
  void onLoad(SimModule& module);
  void onReboot(SimModule& module);
  // Takes a piece's bytes into the open block: false (nothing taken) when no
  // block is open or they do not fit. Lock held.
  bool takePiece(const Bytes& bytes);
  // Counts a taken piece toward the silence fault. Lock held; true when the
  // loader just went silent.
  bool countPiece();
  uint8_t takeUeiPiece(const Bytes& bytes);
  void scheduleEcho(SimModule& module);
  void scheduleDropAfterLoad(SimModule& module);
  // Starts the quiet spell when the open block is the one it falls on. Lock held.
  bool startQuiet(SimModule& module);
  // Whether the fault's moment is `at` (a module that owns its link).
  bool darkNow(DarkAt at) const;
  // Goes dark for the fault's time; the loader answers nothing until the
  // link is back online. Lock not held.
  void goDark(SimModule& module, const char* moment);
  // Counts a firmware piece that starts now; true when the darkness falls
  // on it. Lock held.
  bool darkPiece();

  const std::shared_ptr<SimCommands> commands_;
  const LoaderConfig config_;
  SimModule* module_ = nullptr;  // the module it was installed on
  LoaderFaults faults_;
  LoaderStats stats_;

  mutable std::mutex mutex_;  // guards what follows
  LoaderMode mode_ = LoaderMode::Firmware;
  bool initialised_ = false;  // INIT seen by the running firmware
  bool blockOpen_ = false;
  uint32_t blockAddress_ = 0;
  uint32_t blockWritten_ = 0;  // bytes of the open block committed so far
  uint16_t pieceSize_ = 0;     // the size PREPARE announced
  Bytes piece_;                // bytes taken since PREPARE or the last WRITE
  bool silent_ = false;
  bool wroteFirmware_ = false;
  bool echoPending_ = false;
  int firmwareBlocks_ = 0;  // PREPAREs the loader took (for the quiet spell)
  bool quietHere_ = false;  // the open block is the quiet spell's
  bool quiet_ = false;      // inside the quiet spell: nothing is answered
  uint64_t echoGeneration_ = 0;
  bool rebooting_ = false;  // a reboot took the module offline; "online" brings it back
  bool dark_ = false;       // gone dark; "online" brings it back
  int firmwarePieces_ = 0;  // firmware pieces started (for the darkness)
  std::optional<SteadyTime> backAt_;
  MemoryImage firmware_;
  MemoryImage loader_;
  std::vector<PreparedBlock> prepared_;
};

// The `sim` program's loader options (the loader is on every module it
// simulates; faults act on the module --fault-sub names, else the top one):
//
//   --block-size N         piece size the loader announces (default 512)
//   --restart-drops        LOAD drops the link at once; the echo comes on the next link
//   --build-after N        build reported after a reboot into written firmware
//   --fault-phase loader|firmware|any   which transfer the block faults hit (firmware)
//   --fault-data-count N   next N DATA replies echo another count
//   --fault-sum N          next N SUM replies disagree
//   --fault-prepare N[:STATUS]   next N PREPARE replies fail (status 1)
//   --fault-block-zero N   next N PREPARE replies announce block size 0
//   --fault-short-init N   next N INIT replies carry 3 bytes of the load base
//   --fault-short-write N  next N WRITE replies lack their status byte
//   --fault-no-load-echo   LOAD is not echoed before the restart
//   --fault-no-uei         option 10 is not offered (hasUEI refuses it)
//   --fault-serial HEX     the system entity reports this serial number
//   --fault-model N        the system entity reports this model
//   --fault-silence-after N   the loader falls silent after N more pieces
//   --fault-never-back     LOAD drops the link and the module never answers again
//   --fault-reboot reset|close|silent[:MS]   how REBOOT ends the link (reset), and
//                          after how many ms the module listens again (0: at once)
//   --fault-ignore-reboot  REBOOT changes nothing: the module keeps its link
//   --fault-dark WHEN:MS   the module's network goes dark (SimTransport.h)
//                          at WHEN: load, echo, pieceN (the Nth firmware
//                          piece) or reboot; back after MS (0 or "forever":
//                          for good). Needs root and an address off loopback.
struct LoaderSetup {
  LoaderConfig config;
  int phase = kPhaseFirmware;
  int dataCount = 0, sum = 0, prepare = 0, prepareStatus = 1, blockZero = 0, shortInit = 0, shortWrite = 0;
  bool noLoadEcho = false, noUei = false, neverBack = false, ignoreReboot = false;
  int silenceAfter = 0;
  Restart rebootRestart = Restart::Reset;
  int rebootBackMs = -1;
  int dropAfterLoadMs = 0;
  Restart dropAfterLoadHow = Restart::Reset;
  int quietAtBlock = 0, quietForMs = 0;
  DarkAt darkAt = DarkAt::Never;
  int darkAtCount = 1, darkForMs = kDarkForever;
  int64_t serial = -1;
  int model = -1;
};

// Takes argv[i] (and its value, advancing i) when it is one of the options
// above: 1 when taken, 0 when not ours, -1 when its value is bad (the
// message is on standard error).
int parseLoaderOption(int argc, char** argv, int& i, LoaderSetup& setup);

// Puts a loader on the module and on each sub-module of its router, after
// the command layer is installed; the faults go to the one at `faultSub`
// (-1: the module itself). False with a message on standard error when the
// command layer is missing.
bool installLoaders(SimModule& module, const LoaderSetup& setup, int faultSub);

const char* loaderUsage();

}  // namespace jvsim
