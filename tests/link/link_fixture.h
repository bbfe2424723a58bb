// Shared set-up for the link tests: a simulated module in-process and small
// helpers to talk to it through the link engine.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimModule.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aPacket.h"
#include "aUSBSeamScript.h"

namespace linktest {

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::Dir;
using jvsim::SimModule;

inline uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;  // network byte order
}

inline bool isEcho(const aPacket* p, void*) { return p->length > 0 && p->data[0] == jvsim::kCmdEcho; }

// Sends 0x17 + payload to the module and returns the echo's data, or empty.
inline Bytes echo(aLinkRef ref, const Bytes& payload, uint64_t waitMs = 1000, uint8_t address = 4) {
  Bytes data{jvsim::kCmdEcho};
  data.insert(data.end(), payload.begin(), payload.end());
  aPacket* out = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  aErr err = aLink_PutPacket(ref, out);
  aPacket_Destroy(&out);
  if (err != aErrNone) return {};
  aPacket* in = aLink_AwaitFirst(ref, isEcho, nullptr, waitMs);
  if (!in) return {};
  Bytes got(in->data, in->data + in->length);
  aPacket_Destroy(&in);
  return got;
}

// A module on TCP at 127.0.0.2 (an ephemeral port) with a link to it.
class TcpLinkTest : public ::testing::Test {
 protected:
  void startModule(jvsim::SimConfig config = {}) {
    sim_ = SimModule::overTcp("127.0.0.2", 0, config);
    sim_->start();
  }
  void SetUp() override {
    startModule(config());
    ref_ = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim_->tcp()->port());
    ASSERT_NE(ref_, 0u);
    ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x01}, 1, 2s));
  }
  void TearDown() override {
    if (ref_) aLink_Destroy(&ref_);
    sim_.reset();
  }
  virtual jvsim::SimConfig config() { return {}; }

  // Waits on the steady clock for the link's status, checking every few ms.
  bool waitStatus(uint32_t status, std::chrono::milliseconds within = 3s) {
    auto deadline = std::chrono::steady_clock::now() + within;
    while (aLink_GetStatus(ref_) != status) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  std::unique_ptr<SimModule> sim_;
  aLinkRef ref_ = 0;
};

// Carries bytes between a scripted USB device's test peer and a simulated
// module's byte pipe, one thread per direction.
class UsbBridge {
 public:
  UsbBridge(aUSBScript& script, size_t device, std::shared_ptr<jvsim::BytePipe> pipe)
      : script_(script), device_(device), pipe_(std::move(pipe)) {
    toHost_ = std::thread([this] {
      uint8_t buf[256];
      while (running_) {
        long n = pipe_->hostRead(buf, sizeof buf, 20);
        if (n < 0) break;
        if (n > 0) script_.peerSend(device_, Bytes(buf, buf + n));
      }
    });
    toModule_ = std::thread([this] {
      size_t seen = 0;
      while (running_) {
        if (!script_.peerWaitReceived(device_, seen + 1, 20ms)) continue;
        Bytes all = script_.peerReceived(device_);
        if (!pipe_->hostWrite(all.data() + seen, all.size() - seen)) break;
        seen = all.size();
      }
    });
  }
  ~UsbBridge() {
    running_ = false;
    toHost_.join();
    toModule_.join();
  }

 private:
  aUSBScript& script_;
  size_t device_;
  std::shared_ptr<jvsim::BytePipe> pipe_;
  std::atomic<bool> running_{true};
  std::thread toHost_;
  std::thread toModule_;
};

}  // namespace linktest
