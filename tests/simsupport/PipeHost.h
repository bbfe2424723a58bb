// The host's side of a simulated module's in-process byte pipe, speaking raw
// packet bytes (address, length, data) so the simulator's own tests depend on
// nothing of the product's library.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "SimTranscript.h"
#include "SimTransport.h"

namespace simtest {

using namespace std::chrono_literals;

class PipeHost {
 public:
  explicit PipeHost(std::shared_ptr<jvsim::BytePipe> pipe, uint8_t address = 0x04)
      : pipe_(std::move(pipe)), address_(address) {}

  void send(uint8_t address, const jvsim::Bytes& d) {
    jvsim::Bytes w{address, static_cast<uint8_t>(d.size())};
    w.insert(w.end(), d.begin(), d.end());
    ASSERT_TRUE(pipe_->hostWrite(w.data(), w.size()));
  }

  // The next packet's address and data, or empty when none comes in time or the pipe closed.
  jvsim::Bytes packet(std::chrono::milliseconds wait = 1000ms) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
      if (buf_.size() >= 2 && buf_.size() >= 2u + buf_[1]) {
        jvsim::Bytes p{buf_[0]};
        p.insert(p.end(), buf_.begin() + 2, buf_.begin() + 2 + buf_[1]);
        buf_.erase(buf_.begin(), buf_.begin() + 2 + buf_[1]);
        return p;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return {};
      uint8_t b[64];
      const long n = pipe_->hostRead(b, sizeof b, static_cast<int>(left.count()));
      if (n < 0) {
        closed = true;
        return {};
      }
      buf_.insert(buf_.end(), b, b + n);
    }
  }

  // One request, the data of its one reply (empty: none within `wait`).
  jvsim::Bytes ask(const jvsim::Bytes& d) { return ask(d, address_); }
  jvsim::Bytes ask(const jvsim::Bytes& d, uint8_t address, std::chrono::milliseconds wait = 1000ms) {
    send(address, d);
    jvsim::Bytes p = packet(wait);
    if (p.empty()) return {};
    lastAddress = p[0];
    return jvsim::Bytes(p.begin() + 1, p.end());
  }

  // Waits until the module drops this pipe.
  bool waitClosed(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!closed && std::chrono::steady_clock::now() < deadline) packet(50ms);
    return closed;
  }

  bool closed = false;
  uint8_t lastAddress = 0;

 private:
  std::shared_ptr<jvsim::BytePipe> pipe_;
  uint8_t address_;
  jvsim::Bytes buf_;
};

}  // namespace simtest
