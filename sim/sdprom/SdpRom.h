// A simulated boot ROM in serial download mode: 16-byte commands in, replies
// out (a 4-byte HAB mode word, then a status or data word), images written
// into a sparse memory, and a jump that ends the ROM's part. It knows nothing
// of how the bytes travel: SdpHidEndpoint and SdpPty frame them. It writes and
// parses every byte itself and links none of the product's code.
//
// Thread-safe: a transport's thread feeds it while a test reads its state.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sdpsim {

using Bytes = std::vector<uint8_t>;

// Command types (the first two bytes of a command carry the same one).
enum : uint8_t {
  kReadRegister = 0x01,
  kWriteFile = 0x04,
  kErrorStatus = 0x05,
  kJumpAddress = 0x0B,
};

// Status words, little-endian on the wire.
inline constexpr uint32_t kStatusAck = 0xF0F0F0F0;           // no error recorded
inline constexpr uint32_t kStatusWriteComplete = 0x88888888;  // a WRITE_FILE transfer is in
inline constexpr uint32_t kStatusBadCommand = 0x55555555;     // unknown or garbled command
inline constexpr uint32_t kStatusAborted = 0xAAAAAAAA;        // told during a transfer (fault)

// Fault switches; all off by default.
struct Faults {
  bool silent = false;           // answers nothing, ever
  int silentProbes = 0;          // leaves the first N ERROR_STATUS commands unanswered
  uint32_t writeStatus = kStatusWriteComplete;  // status after a transfer ("wrong status")
  bool corrupt = false;          // every status or data word arrives with its bits garbled
  bool shortReply = false;       // replies stop after the HAB word (no status part)
  long dropAfter = -1;           // the line drops on this many-th command (counted from 1)
  bool chatter = false;          // speaks (an abort status) after the first piece of a transfer
};

// One reply unit: report 3 carries the HAB word, report 4 a status or data
// word (or up to 64 data bytes). Payloads are as the ROM means them; a
// transport adds its framing.
struct Reply {
  uint8_t report = 0;
  Bytes payload;
};

struct Config {
  uint32_t habMode = 0x56787856;
  uint32_t cfg0 = 0x0A1B2C3D;  // unique-ID fuse words
  uint32_t cfg1 = 0x11223344;
  Faults faults;
};

inline constexpr uint32_t kFuseCfg0 = 0x401F4410;
inline constexpr uint32_t kFuseCfg1 = 0x401F4420;

class SdpRom {
 public:
  explicit SdpRom(Config config = {});

  // A 16-byte command (no report ID). Returns what the ROM sends back; empty
  // while it keeps silent or waits for a transfer's data.
  std::vector<Reply> command(const uint8_t* cmd);
  // Image bytes of the transfer in progress; returns at most `n` consumed in
  // *used (the rest is not the ROM's) and the replies due.
  std::vector<Reply> data(const uint8_t* p, size_t n, size_t* used);
  // Bytes still expected by the transfer in progress (0: none running).
  uint32_t dataExpected() const;

  // The line has dropped (fault) or the ROM has jumped: transports stop.
  bool dropped() const;
  bool jumped() const;
  uint32_t jumpAddress() const;
  // Called (on the feeding thread, no lock held) once the ROM has jumped.
  void onJump(std::function<void()> callback);

  // Memory as written; unwritten bytes read as 0.
  Bytes memory(uint32_t address, size_t n) const;
  // Each completed transfer: its load address and the bytes it carried.
  std::vector<std::pair<uint32_t, Bytes>> transfers() const;

  // Event lines: "ERROR_STATUS", "WRITE_FILE 20000000 4660", "DATA 1024",
  // "WRITE_DONE 20000000", "READ_REGISTER 401F4410 4", "JUMP 20000400",
  // "BAD_COMMAND 07 07", "SILENT", "DROP", "CHATTER", "REPORT ..." (transports).
  void note(const std::string& line);
  std::vector<std::string> transcript() const;
  size_t count(const std::string& prefix) const;
  bool waitFor(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const;
  // Each line is also written here (the standalone program); null for none.
  void setEcho(FILE* out);

 private:
  void noteLocked(const std::string& line);
  uint32_t wordAt(uint32_t address) const;
  uint8_t byteAt(uint32_t address) const;
  void store(uint32_t address, const Bytes& bytes);
  Reply hab() const;
  Reply status(uint32_t word) const;
  Reply dataReply(Bytes bytes) const;
  void finishTransfer(std::vector<Reply>& out);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Config config_;
  long commands_ = 0;
  int probes_ = 0;
  bool dropped_ = false;
  bool jumped_ = false;
  uint32_t jumpAddress_ = 0;
  uint32_t lastStatus_ = kStatusAck;
  // Transfer in progress.
  uint32_t loadAddress_ = 0;
  uint32_t expected_ = 0;
  Bytes received_;
  bool chattered_ = false;
  // RAM in pages by base address, so a load costs a copy per page rather
  // than a map node per byte: the ROM's answer to a load must come within the
  // host's 100 ms even in a sanitized build on a busy machine.
  static constexpr uint32_t kPageBytes = 4096;
  std::map<uint32_t, std::array<uint8_t, kPageBytes>> memory_;
  std::vector<std::pair<uint32_t, Bytes>> transfers_;
  std::vector<std::string> lines_;
  FILE* echo_ = nullptr;
  std::function<void()> onJump_;
};

std::string hex32(uint32_t v);

}  // namespace sdpsim
