// The simulated module's streaming (command 0x5D), from its own reading of
// the wire. A host asks it to stream values; while a request covers them it
// sends, unasked, one timestamped sample packet per value every period.
//
// Requests (to the layer's address) and its replies:
//   enable    5D 81 20 AA CC OO II  ->  5D C1 00   start streaming the pattern
//   disable   5D 82 20 AA CC OO II  ->  5D C2 00   stop every pattern it covers
//   state     5D 41 20              ->  5D 01 00 S S = 1 while anything streams
// AA CC OO II: module address, command, option, index; 0xFF is "every".
// A request of the wrong length gives the error reply 5D <option> 80 0E,
// another option of 0x5D 5D <option> 80 1D.
//
// Sample packet, from the layer's address:
//   CC OO|0 II|0x40 TT [SS] T3 T2 T1 T0 t3 t2 t1 t0 value 00
// TT the type: 1 u8, 2 u16, 3 u32, or 5, 6, 7 the same with the subindex SS;
// the timestamp is microseconds since the layer began (upper and lower
// 32-bit halves, big-endian), strictly increasing; the value is big-endian;
// the last byte (sequence and continue flag) is 0.
//
// In-process use:
//
//   auto stream = jvsim::SimStream::install(*sim, cmds);   // any time
//   stream->addStreamable(jvsim::kCmdSystem, 0, jvsim::kOptInputVoltage, jvsim::ValueType::U32);
//   stream->faults().malformed = 3;                        // next 3 samples malformed
//   stream->burst(600);                                    // 600 samples now, values 0..599
//
// The values of the regular samples are read from the command layer at each
// sample, so a set shows up in the next one. The layer is reached through
// the command layer's own dispatch (it must be installed on that layer); it
// keeps no thread: its samples are timed actions of the module's service
// thread. It may be destroyed before or after the module.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "SimCommands.h"
#include "SimModule.h"

namespace jvsim {

constexpr uint8_t kCmdStream = 0x5D;

// How a malformed sample is spoiled.
enum class Malformed : int {
  ShortLength = 0,  // the last value byte missing: the length fits no type
  Trailer = 1,      // the last byte 0x81 (a block chunk, not a sample)
  TypeZero = 2,     // type byte 0
  TypeEight = 3,    // type byte 8
};

struct StreamFaults {
  std::atomic<int> malformed{0};  // "next N" samples (-1 every one) spoiled as below
  std::atomic<int> malformedKind{static_cast<int>(Malformed::ShortLength)};
  std::atomic<bool> neverStops{false};  // a disable is acknowledged, the streams go on
  std::atomic<int> errorReplies{0};     // "next N" enable or disable requests refused
  std::atomic<int> errorCode{code::kInvalidOption};
};

class SimStream : public std::enable_shared_from_this<SimStream> {
 public:
  // Puts a stream layer behind the command layer `commands` of `module`.
  static std::shared_ptr<SimStream> install(SimModule& module, std::shared_ptr<SimCommands> commands,
                                            int periodMs = 5);
  // The command layer's hook: true when the packet was a stream request
  // for a layer installed on `commands` (then answered).
  static bool dispatch(SimCommands& commands, SimModule& module, const Packet& packet);

  SimStream(SimModule& module, std::shared_ptr<SimCommands> commands, int periodMs);
  ~SimStream();
  SimStream(const SimStream&) = delete;
  SimStream& operator=(const SimStream&) = delete;

  // A value that may stream; `subindexes` > 0 sends one sample per subindex
  // 0 .. subindexes - 1 with a subindex type. Any thread.
  void addStreamable(uint8_t command, uint8_t index, uint8_t option, ValueType type, uint8_t subindexes = 0);
  // Sends `count` samples of every value streaming now, back to back on the
  // service thread, with the values 0, 1, ... (cut to the value's width).
  void burst(int count);
  // Sends one regular round of samples now, on the service thread.
  void sampleNow();

  bool streaming() const;
  size_t patterns() const;
  uint64_t samplesSent() const { return samplesSent_; }
  StreamFaults& faults() { return faults_; }

 private:
  struct Pattern {
    uint8_t address, command, option, index;
  };
  struct Streamable {
    uint8_t command, index, option;
    ValueType type;
    uint8_t subindexes;
  };

  bool handle(SimModule& module, const Packet& packet);
  void schedule();
  void tick();
  void sendSamples(const uint32_t* fixedValue);
  void sendSample(const Streamable& s, uint8_t subindex, uint32_t value);
  void reply(SimModule& module, const Packet& request, Bytes data);
  void event(const std::string& text);
  bool covered(const Streamable& s) const;  // caller holds mutex_

  SimModule& module_;
  std::shared_ptr<SimCommands> commands_;
  const int periodMs_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  StreamFaults faults_;
  std::atomic<uint64_t> samplesSent_{0};

  mutable std::mutex mutex_;  // guards what follows
  std::vector<Pattern> patterns_;
  std::vector<Streamable> streamables_;
  bool ticking_ = false;
  uint64_t lastTimestamp_ = 0;
};

}  // namespace jvsim
