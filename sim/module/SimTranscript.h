// Timestamped record of what the simulated module saw and sent, so tests can
// assert on the wire traffic and wait for it without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace jvsim {

using Bytes = std::vector<uint8_t>;

enum class Dir : uint8_t {
  In,     // a packet from the host, parsed
  Out,    // bytes the module wrote in one go
  Junk,   // host bytes that framed no packet
  Event,  // connection changes, heartbeat checks, fault triggers
};

struct TranscriptLine {
  double ms = 0;  // since the transcript began, steady clock
  Dir dir = Dir::Event;
  Bytes bytes;
  std::string text;  // events only
};

class Transcript {
 public:
  Transcript();

  void add(Dir dir, Bytes bytes, std::string text = {});
  void clear();

  std::vector<TranscriptLine> lines() const;
  // Lines of one direction whose bytes equal `bytes` exactly.
  size_t count(Dir dir, const Bytes& bytes) const;
  // Event lines whose text begins with `prefix`.
  size_t countEvents(const std::string& prefix) const;
  // Lines of one direction (any bytes).
  size_t countDir(Dir dir) const;

  // Waits on the steady clock until count(dir, bytes) >= n or the time is up.
  bool waitFor(Dir dir, const Bytes& bytes, size_t n, std::chrono::milliseconds timeout) const;
  bool waitForEvent(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const;

  // One line per entry: "   12.345 in  AD 00"; events as "   12.345 ev  connect".
  std::string text() const;
  static std::string format(const TranscriptLine& line);
  static std::string hex(const Bytes& bytes);

  // Each line added is also written here (for the standalone program); null for none.
  void setEcho(FILE* out);

 private:
  size_t countLocked(Dir dir, const Bytes& bytes) const;
  size_t countEventsLocked(const std::string& prefix) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::chrono::steady_clock::time_point start_;
  std::vector<TranscriptLine> lines_;
  FILE* echo_ = nullptr;
};

}  // namespace jvsim
