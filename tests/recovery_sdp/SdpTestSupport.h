// Shared pieces of the serial download tests: a scripted transport that
// records what the engine writes and answers its reads from a script, and
// the adapter that puts the simulated ROM's HID endpoint under the test
// hidapi table.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "SDPLoader_Interface.h"
#include "SdpHidEndpoint.h"
#include "aHIDSeamTest.h"

namespace sdptest {

using Bytes = std::vector<uint8_t>;

// Replies in the serial shape: HAB word, then the status word, little-endian.
inline Bytes reply(uint32_t status, uint32_t hab = 0x56787856) {
  Bytes r;
  for (uint32_t w : {hab, status})
    for (int i = 0; i < 4; ++i) r.push_back(uint8_t(w >> (8 * i)));
  return r;
}

class ScriptedTransport : public SDPLoader_Interface {
 public:
  struct Read {
    uint32_t timeoutMs;
    size_t writesBefore;  // how many reports had been written when it came
  };

  // Decides the answer to each read from what has been written so far.
  using Answer = std::function<Bytes(const std::vector<Bytes>& writes, uint32_t timeoutMs)>;

  explicit ScriptedTransport(Answer answer, bool* destroyed = nullptr)
      : answer_(std::move(answer)), destroyed_(destroyed) {}
  ~ScriptedTransport() override {
    if (destroyed_) *destroyed_ = true;
  }

  bool initResult = true;
  int64_t writeResult = -2;  // -2: the report's size
  std::vector<Bytes> writes;
  std::vector<Read> reads;

  bool init() override { return initResult; }
  int64_t writeData(const Bytes& report) override {
    writes.push_back(report);
    return writeResult == -2 ? int64_t(report.size()) : writeResult;
  }
  int64_t readData(Bytes& out, uint32_t timeoutMs) override {
    reads.push_back({timeoutMs, writes.size()});
    Bytes r = answer_(writes, timeoutMs);
    out.insert(out.end(), r.begin(), r.end());
    return int64_t(r.size());
  }
  bool getDataFromBuffer(const Bytes& r, uint32_t index, uint32_t& value) override {
    if (r.size() != 8 || index != 0) return false;
    value |= uint32_t(r[4]) | uint32_t(r[5]) << 8 | uint32_t(r[6]) << 16 | uint32_t(r[7]) << 24;
    return true;
  }

  // Writes whose first byte (report ID) is id.
  std::vector<Bytes> reportsWithId(uint8_t id) const {
    std::vector<Bytes> out;
    for (const Bytes& w : writes)
      if (!w.empty() && w[0] == id) out.push_back(w);
    return out;
  }

 private:
  Answer answer_;
  bool* destroyed_;
};

// A well-behaved ROM in scripted form: answers a status probe and a finished
// transfer, stays quiet during one.
inline ScriptedTransport::Answer healthyRom(uint32_t finalStatus = 0x88888888) {
  return [finalStatus](const std::vector<Bytes>& writes, uint32_t timeoutMs) -> Bytes {
    if (writes.empty() || timeoutMs == 0) return {};
    const Bytes& last = writes.back();
    if (last[0] == 1 && last[1] == 0x05) return reply(0xF0F0F0F0);
    if (last[0] == 1 && last[1] == 0x0B) {
      Bytes habOnly = reply(0);
      habOnly.resize(4);
      return habOnly;
    }
    return reply(finalStatus);
  };
}

// The simulated ROM's HID endpoint behind the test hidapi table.
class HidDevice : public aHIDTestDevice {
 public:
  explicit HidDevice(sdpsim::SdpHidEndpoint& endpoint) : endpoint_(endpoint) {}
  int write(const uint8_t* data, size_t length) override { return endpoint_.write(data, length); }
  int read(uint8_t* data, size_t length, int timeoutMs) override { return endpoint_.read(data, length, timeoutMs); }

 private:
  sdpsim::SdpHidEndpoint& endpoint_;
};

// Installs the test hidapi table for a test's lifetime, with a clean state.
class HidSeamGuard {
 public:
  HidSeamGuard() {
    aHIDSeamTest::reset();
    previous_ = aHIDSeam_Install(&aHIDSeamTest::table);
  }
  ~HidSeamGuard() {
    aHIDSeam_Install(previous_);
    aHIDSeamTest::reset();
  }

 private:
  const aHIDSeam* previous_;
};

inline Bytes pattern(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = uint8_t(seed >> 16);
  }
  return b;
}

}  // namespace sdptest
