// Serial_SDPLoader on a line slower than the kernel's hand-over. A UART takes
// a write into its driver's output buffer at once and sends it at the line's
// rate; the boot ROM answers only once the whole image is in, and the engine
// reads that answer 100 ms after the last write returns. A write that returned
// with the image still queued would have its answer miss the window, and a
// good load would be reported as failed.
//
// A pseudo-terminal sends everything at once, so this binary wraps ioctl at
// link time: while a case runs, the transport's TIOCOUTQ (what the driver
// still holds) is the bytes the far side has not read yet.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <thread>
#include <vector>

#include "Serial_SDPLoader.h"
#include "sdp_pty.h"

namespace {

// Each case writes one report of this many payload bytes; it fits a
// pseudo-terminal unread, so the kernel takes the whole write at once.
constexpr long kReport = 3000;

struct SlowLine {
  std::atomic<bool> armed{false};
  std::atomic<long> delivered{0};  // report bytes read by the far side
  std::atomic<int> asked{0};       // TIOCOUTQ queries
};
SlowLine gLine;

}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCOUTQ && gLine.armed) {
    ++gLine.asked;
    *static_cast<int*>(arg) = static_cast<int>(kReport - gLine.delivered);
    return 0;
  }
  return __real_ioctl(fd, request, arg);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SdpSerialLine, WriteReturnsOnceTheLineHasSentTheReport) {
  struct Case {
    const char* name;
    bool sends;  // else the line stops with the report queued
  } cases[] = {{"LineSends", true}, {"LineStops", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sdptest::Pty pty;
    ASSERT_FALSE(pty.path.empty());
    Serial_SDPLoader serial(pty.path.c_str());
    ASSERT_TRUE(serial.init());
    const std::vector<uint8_t> data = sdptest::report(kReport);
    gLine.delivered = 0;
    gLine.asked = 0;
    gLine.armed = true;

    // The far side starts taking bytes only once the transport asks the line
    // what it still holds, and then at a slow line's pace: a write that does
    // not wait for the line returns with nothing delivered.
    std::atomic<bool> writeEnded{false};
    std::thread far([&] {
      const auto deadline = Clock::now() + 30s;  // bounds a write that never ends
      uint8_t piece[256];
      while (!writeEnded && Clock::now() < deadline) {
        pollfd p{pty.master, POLLIN, 0};
        if (!c.sends || gLine.asked == 0 || poll(&p, 1, 20) <= 0) {
          std::this_thread::sleep_for(1ms);
          continue;
        }
        const ssize_t n = read(pty.master, piece, sizeof piece);
        if (n <= 0) break;
        gLine.delivered += n;
        std::this_thread::sleep_for(5ms);  // the line's pace, not a wait for an event
      }
    });
    const auto start = Clock::now();
    const int64_t result = serial.writeData(data);
    const auto elapsed = Clock::now() - start;
    const long delivered = gLine.delivered;
    writeEnded = true;
    far.join();
    gLine.armed = false;

    if (c.sends) {
      EXPECT_EQ(result, static_cast<int64_t>(kReport));
      EXPECT_EQ(delivered, kReport) << "the write returned before the line sent the report";
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(delivered, 0);
      EXPECT_GE(elapsed, std::chrono::milliseconds(Serial_SDPLoader::WRITE_STALL_MS));
      EXPECT_LT(elapsed, 15s);
    }
  }
}

}  // namespace
