#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "DarkPort.h"
#include "aStreamSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A loopback listener on an ephemeral port (or a given one, to come back
// on the same port after a "restart").
class Listener {
public:
  // rcvbuf > 0 asks for that receive buffer on accepted connections (the
  // kernel caps it at its maximum).
  explicit Listener(uint16_t port = 0, int rcvbuf = 0)
  {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (rcvbuf > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    a.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(Listener&& other) noexcept
  {
    close();
    fd_ = other.fd_;
    port_ = other.port_;
    other.fd_ = -1;
    return *this;
  }
  void close()
  {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }
  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  // The next connection, or -1 when none comes within ms.
  int accept(int ms = 5000)
  {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
      return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Reads exactly n bytes from fd within a few seconds.
std::string receive(int fd, size_t n)
{
  std::string got;
  char buf[65536];
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (got.size() < n && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0)
      continue;
    const ssize_t k = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
    if (k <= 0)
      break;
    got.append(buf, static_cast<size_t>(k));
  }
  return got;
}

void closeWithReset(int fd)
{
  const linger drop{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
  ::close(fd);
}

// One byte through get, sleeping on the stream's wait in between.
aErr getWaiting(aStream* s, uint8_t* b, milliseconds within = milliseconds(5000))
{
  const auto deadline = Clock::now() + within;
  for (;;) {
    const aErr e = aStream_Read(s, b, 1);
    if (e != aErrNotReady || Clock::now() >= deadline)
      return e;
    aStream_WaitReadable(s, 100);
  }
}

class Socket : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, server.port(), &s));
    ASSERT_NE(nullptr, s);
    peer = server.accept();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override
  {
    if (s) {
      EXPECT_EQ(aErrNone, aStream_Destroy(&s));
    }
    if (peer >= 0)
      ::close(peer);
  }
  aErr write(const std::string& data)
  {
    return aStream_Write(s, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  Listener server;
  aStream* s = nullptr;
  int peer = -1;
};

TEST(SocketCreate, NothingListening)
{
  uint16_t port = 0;
  {
    Listener gone;
    ASSERT_TRUE(gone.ok());
    port = gone.port();
  }  // closed: nothing listens there now
  aStream* s = reinterpret_cast<aStream*>(&port);  // must be cleared
  EXPECT_EQ(aErrResource, aStream_CreateSocket(kLoopback, port, &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrResource, aStream_CreateSocket(kLoopback, port, nullptr));
}

TEST_F(Socket, GetNeverWaits)
{
  uint8_t b = 0;
  const auto start = Clock::now();
  EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  ASSERT_EQ(1, ::send(peer, "Q", 1, 0));
  EXPECT_EQ(aErrNone, getWaiting(s, &b));
  EXPECT_EQ('Q', b);
  EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
}

TEST_F(Socket, BytesArriveInOrderAcrossBlocks)
{
  std::string sent;
  for (int i = 0; i < 10000; ++i)
    sent.push_back(static_cast<char>(i * 7));
  std::thread sender([&] { ::send(peer, sent.data(), sent.size(), 0); });
  std::string got;
  uint8_t b = 0;
  while (got.size() < sent.size() && getWaiting(s, &b) == aErrNone)
    got.push_back(static_cast<char>(b));
  sender.join();
  EXPECT_EQ(sent, got);
}

TEST_F(Socket, WaitWakesWhenByteArrives)
{
  uint8_t b = 0;
  EXPECT_EQ(aErrTimeout, aStream_WaitReadable(s, 30));
  std::promise<void> waiting;
  std::thread sender([&, f = waiting.get_future()]() mutable {
    f.wait();
    std::this_thread::sleep_for(milliseconds(30));
    ::send(peer, "W", 1, 0);
  });
  waiting.set_value();
  const auto start = Clock::now();
  EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 10000));
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  sender.join();
  EXPECT_EQ(aErrNone, aStream_Read(s, &b, 1));
  EXPECT_EQ('W', b);
}

TEST_F(Socket, WriteBlockArrivesWhole)
{
  const std::string block = "0123456789abcdefghij";
  EXPECT_EQ(aErrNone, write(block));
  EXPECT_EQ(block, receive(peer, block.size()));
  EXPECT_EQ(aErrNone, write("x"));  // one byte goes through put
  EXPECT_EQ("x", receive(peer, 1));
}

// The module side goes away and comes back on the same port; the next
// write finds the old connection dead, reconnects and delivers the block.
class SocketRestart : public Socket, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketRestart, BlockDeliveredToNewPeer)
{
  const bool reset = GetParam();
  const uint16_t port = server.port();
  if (reset)
    closeWithReset(peer);
  else
    ::close(peer);
  peer = -1;
  server.close();
  Listener again(port);
  ASSERT_TRUE(again.ok());
  // While the peer is gone reads report nothing to read, not an error.
  uint8_t b = 0;
  std::this_thread::sleep_for(milliseconds(20));
  const aErr readErr = aStream_Read(s, &b, 1);
  EXPECT_TRUE(readErr == aErrNotReady || readErr == aErrNone) << aError_GetErrorText(readErr);

  const std::string block = "after-restart";
  EXPECT_EQ(aErrNone, write(block));
  peer = again.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(block, receive(peer, block.size()));
  EXPECT_EQ(-1, again.accept(100)) << "the stream connected more than once";
  // And the new connection reads too.
  ASSERT_EQ(1, ::send(peer, "R", 1, 0));
  EXPECT_EQ(aErrNone, getWaiting(s, &b));
  EXPECT_EQ('R', b);
}

INSTANTIATE_TEST_SUITE_P(Stream, SocketRestart, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Reset" : "Close"; });

// A reader waiting on an idle link wakes when the other thread reconnects,
// and bytes from the new peer reach it.
TEST_F(Socket, ReaderFollowsReconnectByWriter)
{
  const uint16_t port = server.port();
  closeWithReset(peer);
  peer = -1;
  server.close();
  Listener again(port);
  ASSERT_TRUE(again.ok());

  std::promise<void> readerStarted;
  std::future<std::string> reader = std::async(std::launch::async, [&] {
    readerStarted.set_value();
    std::string got;
    uint8_t b = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.size() < 3 && Clock::now() < deadline) {
      const aErr e = aStream_Read(s, &b, 1);
      if (e == aErrNone)
        got.push_back(static_cast<char>(b));
      else if (e == aErrNotReady)
        aStream_WaitReadable(s, 200);
      else
        break;
    }
    return got;
  });
  readerStarted.get_future().wait();
  EXPECT_EQ(aErrNone, write("ping"));
  peer = again.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ("ping", receive(peer, 4));
  ASSERT_EQ(3, ::send(peer, "pong", 3, 0));
  EXPECT_EQ("pon", reader.get());
  EXPECT_EQ(-1, again.accept(100)) << "the stream connected more than once";
}

// Both threads of a link meet the broken connection at once: one of them
// reconnects, and the other carries on over that connection. The meeting is
// a race, so it is run for several rounds.
TEST_F(Socket, ConcurrentBreakReconnectsOnce)
{
  const uint16_t port = server.port();
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    closeWithReset(peer);
    peer = -1;
    server.close();
    server = Listener(port);
    ASSERT_TRUE(server.ok());
    std::this_thread::sleep_for(milliseconds(10));  // let the reset arrive

    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::future<aErr> reader = std::async(std::launch::async, [&] {
      start.wait();
      uint8_t x = 0;
      return aStream_Read(s, &x, 1);
    });
    std::future<aErr> writer = std::async(std::launch::async, [&] {
      start.wait();
      return write("block");
    });
    go.set_value();
    const aErr re = reader.get();
    EXPECT_TRUE(re == aErrNotReady || re == aErrNone) << aError_GetErrorText(re);
    EXPECT_EQ(aErrNone, writer.get());
    peer = server.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ("block", receive(peer, 5));
    ASSERT_EQ(-1, server.accept(50)) << "both threads reconnected";
  }
}

// The most the kernel can take of a block that nobody reads: the sender's
// buffer at its largest plus what the receiving socket holds.
size_t kernelTakes(int receiver)
{
  size_t wmemMax = 4 * 1024 * 1024;  // the usual tcp_wmem maximum
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "r")) {
    unsigned long lo = 0, def = 0, hi = 0;
    if (std::fscanf(f, "%lu %lu %lu", &lo, &def, &hi) == 3)
      wmemMax = hi;
    std::fclose(f);
  }
  int rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  ::getsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
  return wmemMax + static_cast<size_t>(rcvbuf);
}

// Bytes waiting to be read on fd.
int queued(int fd)
{
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// The connection breaks while a long block is half on the wire and the
// reader thread is busy on the same stream: the new peer receives the whole
// block from its first byte, never the tail of it alone.
TEST_F(Socket, BlockCutByBreakIsSentWholeOnNewConnection)
{
  const uint16_t port = server.port();
  // Longer than the kernel can take while the old peer reads nothing, so the
  // write is still under way when the connection breaks; no longer, since
  // the new peer must drain the rest within the write's retry budget.
  std::string block(kernelTakes(peer) + 1024 * 1024, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i % 251);

  std::atomic<bool> reading{true};
  std::thread reader([&] {
    uint8_t b = 0;
    while (reading) {
      if (aStream_Read(s, &b, 1) == aErrNotReady)
        aStream_WaitReadable(s, 50);
    }
  });
  std::future<aErr> writer = std::async(std::launch::async, [&] { return write(block); });
  // The block's start has reached the old peer: the write is under way.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (queued(peer) == 0 && Clock::now() < deadline) {
    pollfd p{peer, POLLIN, 0};
    ::poll(&p, 1, 100);
  }
  ASSERT_GT(queued(peer), 0) << "the block never reached the old peer";
  // The new listener is up before the break, so the stream's reconnect
  // finds it whenever it comes; it takes as much as it may unread, which
  // leaves the new peer less to keep up with.
  server.close();
  server = Listener(port, 1 << 30);
  ASSERT_TRUE(server.ok());
  closeWithReset(peer);
  peer = server.accept();
  ASSERT_GE(peer, 0);
  const std::string got = receive(peer, block.size());
  EXPECT_EQ(aErrNone, writer.get());
  reading = false;
  reader.join();
  ASSERT_EQ(block.size(), got.size());
  EXPECT_TRUE(got == block) << "the new connection did not get the block from its start";
}

TEST_F(Socket, PeerGoneForGoodThenConnectionError)
{
  closeWithReset(peer);
  peer = -1;
  server.close();
  EXPECT_EQ(aErrConnection, write("lost"));
  uint8_t b = 0;
  EXPECT_EQ(aErrConnection, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrConnection, write("still lost"));
  EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 10000));  // lets the reader see the error at once
}

// The reader is the first to meet the reset, and the module is not there to
// take the reconnect: the read reports the failed reconnect, and the stream
// stays unconnected for reads and writes alike.
TEST_F(Socket, ReadMeetsResetAndReconnectFails)
{
  closeWithReset(peer);
  peer = -1;
  server.close();
  // The wait wakes once the reset has arrived, so the read below meets it.
  ASSERT_EQ(aErrNone, aStream_WaitReadable(s, 10000));
  uint8_t b = 0;
  EXPECT_EQ(aErrConnection, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrConnection, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrConnection, write("after"));
}

// The epoch moves once the peer is gone, however it went, and even when the
// stream has reconnected to it before anyone asked; a healthy exchange
// leaves it where it was.
TEST_F(Socket, EpochShowsEveryLossOfThePeer)
{
  uint64_t before = 0, now = 0;
  ASSERT_EQ(aErrNone, aStream_GetEpoch(s, &before));
  ASSERT_EQ(aErrNone, write("ok"));
  EXPECT_EQ("ok", receive(peer, 2));
  ASSERT_EQ(aErrNone, aStream_GetEpoch(s, &now));
  EXPECT_EQ(before, now) << "nothing was lost";

  // An orderly close is seen without reading (and without writing).
  ::close(peer);
  peer = -1;
  ASSERT_EQ(aErrNone, aStream_WaitReadable(s, 10000));
  ASSERT_EQ(aErrNone, aStream_GetEpoch(s, &now));
  EXPECT_NE(before, now) << "closed peer";

  // A reset that the reader meets is reconnected at once: the new
  // connection hides the loss from reads and writes, not from the epoch.
  ASSERT_EQ(aErrNone, write("x"));  // reconnects after the close
  peer = server.accept();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(aErrNone, aStream_GetEpoch(s, &before));
  closeWithReset(peer);
  peer = -1;
  ASSERT_EQ(aErrNone, aStream_WaitReadable(s, 10000));
  uint8_t b = 0;
  EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
  peer = server.accept();
  ASSERT_GE(peer, 0) << "the reader did not reconnect";
  ASSERT_EQ(aErrNone, aStream_GetEpoch(s, &now));
  EXPECT_NE(before, now) << "reset and reconnected";

  EXPECT_EQ(aErrParam, aStream_GetEpoch(s, nullptr));
}

// A peer that stops reading: once the send buffers are full the write gives
// up with an error instead of reporting success, and since part of the block
// is on the wire, the stream starts over on a fresh connection so the next
// block is not read as the rest of this one.
TEST_F(Socket, StalledWriteFailsAndStartsClean)
{
  const int small = 4096;
  ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string huge(32 * 1024 * 1024, 'H');
  EXPECT_EQ(aErrTimeout, write(huge));
  int fresh = server.accept();
  ASSERT_GE(fresh, 0) << "no clean connection after the stalled write";
  EXPECT_EQ(aErrNone, write("next"));
  EXPECT_EQ("next", receive(fresh, 4));
  ::close(fresh);
}

// A peer that stops answering without a word (its network went dark): no
// connect waits longer than its bound, whether it opens the stream or
// replaces a connection that a read or a write found reset, and an
// interrupt ends one in progress at once. The kernel alone would wait out
// two minutes of SYN retries.
const milliseconds kConnectBound(aSOCKET_CONNECT_BOUND_MS);

TEST(SocketDark, CreateGivesUpAtTheConnectBound)
{
  jvtest::DarkPort dark;
  ASSERT_TRUE(dark.ok());
  aStream* s = nullptr;
  const auto start = Clock::now();
  EXPECT_EQ(aErrResource, aStream_CreateSocket(kLoopback, dark.port(), &s));
  const auto took = Clock::now() - start;
  EXPECT_EQ(nullptr, s);
  EXPECT_GE(took, kConnectBound) << "a slow answer deserves the whole bound";
  EXPECT_LT(took, 3 * kConnectBound);
}

struct DarkReconnect {
  const char* name;
  // The operation that meets the reset and reconnects.
  aErr (*meet)(aStream* s);
};

void PrintTo(const DarkReconnect& c, std::ostream* os) { *os << c.name; }

class SocketDarkReconnect : public ::testing::TestWithParam<DarkReconnect> {
protected:
  // A stream whose peer resets the connection and then answers nothing.
  void SetUp() override
  {
    ASSERT_TRUE(dark.ok());
    ASSERT_EQ(aErrNone, aStream_CreateSocket(kLoopback, dark.port(), &s));
    const int peer = dark.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(dark.goDark());
    closeWithReset(peer);
    ASSERT_EQ(aErrNone, aStream_WaitReadable(s, 10000)) << "the reset did not arrive";
  }
  void TearDown() override
  {
    if (s) {
      EXPECT_EQ(aErrNone, aStream_Destroy(&s));
    }
  }
  jvtest::DarkPort dark{true};
  aStream* s = nullptr;
};

TEST_P(SocketDarkReconnect, GivesUpAtTheConnectBound)
{
  const auto start = Clock::now();
  EXPECT_EQ(aErrConnection, GetParam().meet(s));
  EXPECT_LT(Clock::now() - start, 3 * kConnectBound);
  uint8_t b = 0;
  EXPECT_EQ(aErrConnection, aStream_Read(s, &b, 1)) << "the failed reconnect leaves the stream down";
}

TEST_P(SocketDarkReconnect, InterruptEndsItAtOnce)
{
  auto meeting = std::async(std::launch::async, GetParam().meet, s);
  ASSERT_TRUE(dark.awaitConnectWaiting()) << "no reconnect began";
  ASSERT_EQ(aErrNone, aStream_Interrupt(s));
  // At once: well inside the bound the connect would otherwise wait out.
  ASSERT_EQ(std::future_status::ready, meeting.wait_for(kConnectBound / 2));
  EXPECT_EQ(aErrConnection, meeting.get());
}

INSTANTIATE_TEST_SUITE_P(
    Stream, SocketDarkReconnect,
    ::testing::Values(DarkReconnect{"Read",
                                    [](aStream* s) {
                                      uint8_t b = 0;
                                      return aStream_Read(s, &b, 1);
                                    }},
                      DarkReconnect{"Write",
                                    [](aStream* s) {
                                      const uint8_t block[4] = {2, 2, 0x17, 1};
                                      return aStream_Write(s, block, sizeof block);
                                    }}),
    [](const ::testing::TestParamInfo<DarkReconnect>& info) { return std::string(info.param.name); });

}  // namespace
