// A client link in a process that handles SIGINT itself and lives on after
// a Ctrl+C: CZMQ's interrupted flag stays set for good, and the client
// stream forwards the interruption to the process's own handler. The link's
// receive thread must then keep waiting on the stream, not spin on it.
//
// Its own executable: the process's handler has to be in place before CZMQ
// installs its own (with the first socket), which CZMQ saves and puts back
// when it forwards the interruption.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "aLink.h"
#include "aLinkTable.h"
#include "aStreamClient.h"
#include "aStreamInternal.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> gInterrupts{0};
int gInterruptPipe[2] = {-1, -1};  // the handler writes a byte per interruption

// The process's own SIGINT handling, in place before main runs.
const bool gHandlerInstalled = [] {
  if (pipe(gInterruptPipe) != 0) return false;
  struct sigaction action{};
  action.sa_handler = [](int) {
    gInterrupts.fetch_add(1);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(gInterruptPipe[1], &byte, 1);
  };
  sigemptyset(&action.sa_mask);
  return sigaction(SIGINT, &action, nullptr) == 0;
}();

// Waits for the handler to run, up to the deadline.
bool awaitInterrupt(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{gInterruptPipe[0], POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) == 1) return true;  // else the signal itself woke us
  }
}

// Counts the receive thread's calls into the stream.
std::atomic<uint64_t> gCalls{0};
aStreamGetProc gGet = nullptr;
aStreamWaitProc gWait = nullptr;
aErr countedGet(uint8_t* byte, void* ref) {
  gCalls.fetch_add(1);
  return gGet(byte, ref);
}
aErr countedWait(uint64_t ms, void* ref) {
  gCalls.fetch_add(1);
  return gWait(ms, ref);
}

// Calls into the stream over a window of the given length.
uint64_t callsOver(std::chrono::milliseconds window) {
  const uint64_t before = gCalls.load();
  std::this_thread::sleep_for(window);
  return gCalls.load() - before;
}

TEST(ClientInterruptTest, InterruptedStreamLeavesTheLinkIdle) {
  ASSERT_TRUE(gHandlerInstalled);
  aStream* stream = nullptr;
  // No server: the link only waits for one.
  ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), 9, &stream), aErrNone);
  gGet = stream->get;
  gWait = stream->wait;
  stream->get = countedGet;
  stream->wait = countedWait;
  aLinkRef link = aLink_Create(stream);
  ASSERT_NE(link, 0u);

  // Idle, the thread wakes every few tens of milliseconds: a few dozen calls
  // a second. Spinning, it makes hundreds of thousands.
  constexpr auto kWindow = 500ms;
  constexpr uint64_t kIdleBound = 1000;
  EXPECT_LT(callsOver(kWindow), kIdleBound) << "spins before any interruption";

  zsys_interrupted = 1;  // what CZMQ's handler does on a Ctrl+C
  ASSERT_TRUE(awaitInterrupt(10s));
  ASSERT_EQ(gInterrupts.load(), 1) << "the interruption was not handed to the process's own handler";
  EXPECT_LT(callsOver(kWindow), kIdleBound) << "the receive thread spins after the interruption";
  EXPECT_EQ(gInterrupts.load(), 1) << "one Ctrl+C was forwarded more than once";

  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  zsys_interrupted = 0;
}

}  // namespace
