// Serial_SDPLoader against a bare pseudo-terminal whose far side the test
// drives itself: a port that stops taking bytes ends a write after the
// stall bound instead of holding the recovery forever, a slow port that
// keeps taking them is waited for however long the whole write lasts, and
// an init that refuses its device leaves no descriptor behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "sdp_pty.h"

namespace {

using namespace std::chrono_literals;
using sdptest::Pty;
using sdptest::report;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

size_t openDescriptors() {
  size_t n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - 1;  // the listing's own descriptor
}

// Far more than a pty holds unread, so a port nobody reads fills up.
constexpr size_t kLarge = 256 * 1024;
// What a slow port takes in somewhat more than the stall bound.
constexpr size_t kSlow = 160 * 1024;

// The transport opened on a fresh pty.
class SdpSerialDrain : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty.path.empty());
    ASSERT_TRUE(serial.init());
  }
  Pty pty;
  Serial_SDPLoader serial{pty.path.c_str()};
};

TEST_F(SdpSerialDrain, PortThatStopsTakingBytesEndsTheWriteAfterTheStallBound) {
  const Bytes data = report(kLarge);
  const auto start = Clock::now();
  auto written = std::async(std::launch::async, [&] { return serial.writeData(data); });
  // Bounds a transport that never gives up: a closed far side fails its
  // writes, which ends the call, and the late result shows the fault.
  bool released = false;
  if (written.wait_for(30s) != std::future_status::ready) {
    released = true;
    pty.closeMaster();
  }
  const int64_t result = written.get();
  const auto elapsed = Clock::now() - start;
  EXPECT_FALSE(released) << "the write never gave up on a port that takes nothing";
  EXPECT_EQ(result, -1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(Serial_SDPLoader::WRITE_STALL_MS));
  EXPECT_LT(elapsed, 15s);
}

TEST_F(SdpSerialDrain, SlowPortThatKeepsTakingBytesGetsTheWholeReport) {
  // The far side takes a little at a time, well inside the stall bound
  // between takes, so the whole write lasts longer than that bound.
  const Bytes data = report(kSlow);
  Bytes received;
  std::atomic<bool> writeEnded{false};
  std::thread reader([&] {
    // Bounds a write that never ends.
    const auto deadline = Clock::now() + 60s;
    uint8_t piece[2048];
    while (received.size() < kSlow && Clock::now() < deadline) {
      pollfd p{pty.master, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        if (writeEnded) break;  // nothing more is coming
        continue;
      }
      const ssize_t n = read(pty.master, piece, sizeof piece);
      if (n <= 0) break;
      received.insert(received.end(), piece, piece + n);
      std::this_thread::sleep_for(40ms);  // the port's pace, not a wait for an event
    }
  });
  const auto start = Clock::now();
  const int64_t result = serial.writeData(data);
  const auto elapsed = Clock::now() - start;
  writeEnded = true;
  reader.join();

  EXPECT_EQ(result, static_cast<int64_t>(kSlow));
  EXPECT_GT(elapsed, std::chrono::milliseconds(Serial_SDPLoader::WRITE_STALL_MS))
      << "the port drained too fast to tell a stall bound from a bound on the whole write";
  ASSERT_EQ(received.size(), kSlow);
  EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin() + 1));
}

TEST(SdpSerialInit, RefusedInitLeavesNoDescriptorOpen) {
  char file[] = "/tmp/sdp_drain_XXXXXX";
  const int made = mkstemp(file);
  ASSERT_GE(made, 0);
  close(made);
  for (const char* path : {static_cast<const char*>(file), "/dev/null"}) {
    SCOPED_TRACE(path);
    const size_t before = openDescriptors();
    {
      Serial_SDPLoader serial(path);
      EXPECT_FALSE(serial.init());
      EXPECT_EQ(openDescriptors(), before) << "after the refused init";
    }
    {
      SDPLoader loader;
      ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(path)));
      EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);
      EXPECT_EQ(openDescriptors(), before) << "after the engine's refused init";
    }
    EXPECT_EQ(openDescriptors(), before);
  }
  unlink(file);
}

}  // namespace
