// A simulated LPC17xx boot ROM speaking the UART in-system-programming text
// protocol on the master side of a pseudo-terminal, so the host opens a real
// tty path. It parses and writes the protocol itself (it shares no code with
// the product), keeps a flash image and a RAM image, carries fault switches
// and keeps a transcript tests can wait on.
//
// Protocol served: "?" autobaud answered "Synchronized\r\n"; the
// "Synchronized" line and the crystal line, each echoed and acknowledged
// "OK\r\n"; then command lines ended by CR LF (echoed while echo is on), each
// answered with a decimal return code line:
//   U 23130 | B rate stop | A 0/1 | W addr count | R addr count | P a b |
//   C flash ram count | E a b | G addr T | J | K | N
// W and R carry uuencoded lines with a decimal checksum after every 20 lines
// and at the end, answered "OK\r\n" or "RESEND\r\n".
//
// Threads: one thread serves the pty; it starts in the constructor (which
// returns once it runs) and stops in stop() or the destructor. Every public
// function may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lpcsim {

// Return codes of the boot ROM.
enum RomCode : int {
  kSuccess = 0,
  kInvalidCommand = 1,
  kSrcAddrError = 2,
  kDstAddrError = 3,
  kSrcAddrNotMapped = 4,
  kDstAddrNotMapped = 5,
  kCountError = 6,
  kInvalidSector = 7,
  kSectorNotBlank = 8,
  kSectorNotPrepared = 9,
  kCompareError = 10,
  kBusy = 11,
  kParamError = 12,
  kAddrError = 13,
  kAddrNotMapped = 14,
  kCmdLocked = 15,
  kInvalidCode = 16,
  kInvalidBaudRate = 17,
  kInvalidStopBit = 18,
  kCodeReadProtection = 19,
};

constexpr uint32_t kFlashSize = 0x80000;       // 512 KB, sectors 0-29
constexpr uint32_t kRamStart = 0x10000000;     // local SRAM
constexpr uint32_t kRamSize = 0x8000;          // 32 KB
constexpr uint32_t kRamIspLimit = 0x10000200;  // W may not write below this

struct Faults {
  bool silent = false;            // answers nothing, not even the autobaud
  std::string syncReply;          // replaces "Synchronized\r\n" (sent as given)
  std::string syncAck;            // replaces the "OK\r\n" after the Synchronized line
  std::string crystalAck;         // replaces the "OK\r\n" after the crystal line
  bool silentAfterSync = false;   // once synchronised, reads but answers nothing
  char failCommand = 0;           // this command letter answers failCode ...
  int failCode = kParamError;
  unsigned failAfter = 0;         // ... from its (failAfter + 1)-th use on
  char garbleCommand = 0;         // this command's return-code line is garbleReply
  std::string garbleReply;        // sent as given (include any CR LF yourself)
  unsigned resendCount = 0;       // the first N write checksums are answered RESEND
  std::string checksumReply;      // when set, every write checksum is answered with it
  unsigned corruptWriteLine = 0;  // the N-th write data line (1-based) arrives with a flipped bit
  unsigned badReadChecksums = 0;  // the first N read checksums sent are off by one
  unsigned dropReply = 0;         // the N-th reply line (1-based, any kind) is not sent
};

struct Config {
  uint32_t deviceId[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  uint32_t partId = 0x26013F37;
  int bootMajor = 4;
  int bootMinor = 1;
  Faults faults;
  // Called on the serving thread after a G command was answered.
  std::function<void()> onGo;
  // Called on the serving thread with the autobaud "?" and with each command
  // line (without CR LF) before it is answered, so a host that waits for the
  // answer still has the port it set up: `tty` is the pty's slave side, whose
  // terminal settings (rate and all) are the ones the host gave its port. G
  // is not answered: its host may have closed the port by then.
  std::function<void(const std::string& line, int tty)> onReceive;
};

// What the ROM saw and did, one line per event:
//   "autobaud", "in <line>" (a received line without CR LF), "out <line>"
//   (a reply line sent, without CR LF), "drop <line>" (a reply withheld by
//   the fault), "data <n>" (a write data line of n bytes), "checksum <v> OK"
//   or "checksum <v> RESEND", and the effects: "synced", "unlock",
//   "echo 0|1", "write <addr> <count>", "read <addr> <count>",
//   "prepare <a> <b>", "erase <a> <b>", "copy <flash> <ram> <count>",
//   "go <addr>", "fail <letter> <code>".
class Transcript {
 public:
  void add(std::string line);
  std::vector<std::string> lines() const;
  // Lines beginning with prefix.
  size_t count(const std::string& prefix) const;
  // Waits on the steady clock until count(prefix) >= n or the time is up.
  bool waitFor(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const;
  std::string text() const;
  // Each line added is also written here (the standalone program); null for none.
  void setEcho(FILE* out);

 private:
  size_t countLocked(const std::string& prefix) const;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  FILE* echo_ = nullptr;
};

class LpcRom {
 public:
  // Opens the pty and starts serving; throws std::runtime_error when the pty
  // cannot be made.
  explicit LpcRom(Config config = {});
  ~LpcRom();
  LpcRom(const LpcRom&) = delete;
  LpcRom& operator=(const LpcRom&) = delete;

  // The slave side's path, for the host to open.
  const std::string& path() const { return path_; }
  Transcript& transcript() { return transcript_; }

  // Copies of the memories (flash starts erased, 0xFF; RAM starts 0x00).
  std::vector<uint8_t> flash() const;
  std::vector<uint8_t> ram() const;
  void setFlash(uint32_t offset, const std::vector<uint8_t>& bytes);
  bool echo() const;
  bool unlocked() const;
  // Bytes the host sent so far, faults or not.
  size_t bytesReceived() const { return received_; }

  // Stops the thread (idempotent).
  void stop();

 private:
  void run();
  void feed(uint8_t b);
  void onLine(const std::string& line);
  void onCommand(const std::string& line);
  void onWriteLine(const std::string& line);
  void onReadAck(const std::string& line);
  void sendReadBlock();
  void reply(const std::string& line);  // one line, CR LF added
  void replyCode(char letter, int code);
  void sendRaw(const std::string& bytes);
  bool rangeIn(uint32_t address, uint32_t count, uint32_t start, uint32_t size) const;

  enum class State { Autobaud, SyncLine, Crystal, Command, WriteData, ReadAck, Running };

  Config config_;
  Transcript transcript_;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;  // held so the pty stays up while the host reopens it
  int wake_ = -1;   // eventfd that stops the thread
  std::thread thread_;
  std::atomic<bool> stopped_{false};
  std::atomic<size_t> received_{0};

  mutable std::mutex memMutex_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  bool echo_ = true;
  bool unlocked_ = false;

  // Serving thread only.
  State state_ = State::Autobaud;
  std::string line_;
  std::vector<bool> prepared_;
  unsigned commandUses_[128] = {};
  unsigned replies_ = 0;
  unsigned writeChecksums_ = 0;
  unsigned writeLines_ = 0;
  unsigned readChecksums_ = 0;
  // Current W or R transfer.
  uint32_t xferAddress_ = 0;
  uint32_t xferCount_ = 0;
  uint32_t xferDone_ = 0;       // bytes accepted (W) or acknowledged (R)
  std::vector<uint8_t> block_;  // W: bytes since the last good checksum
  unsigned blockLines_ = 0;
  uint32_t readBlockBytes_ = 0;  // R: bytes in the block awaiting its answer
};

// Uuencoding as the protocol uses it: count character, then four characters
// per three bytes; 0 is sent as '`'.
std::string uuencodeLine(const uint8_t* data, size_t n);
// Decodes one line (without CR LF); false when it is malformed.
bool uudecodeLine(const std::string& line, std::vector<uint8_t>* out);

}  // namespace lpcsim
