// The link-sharing server on a USB link (driver node) to the simulated
// module: the process's own client link, further clients speaking the
// server's protocol directly over ZeroMQ, stream fan-out, refused force
// routes, clients that leave, reset of a client link and shutdown.
#include <czmq.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../link/link_fixture.h"
#include "ResidentSize.h"
#include "SimCommands.h"
#include "SimStream.h"
#include "aLinkInternal.h"
#include "aLinkTableInternal.h"
#include "aServer.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"

namespace {

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::Dir;
using jvsim::SimModule;
using linktest::ipv4;

constexpr uint32_t kSerial = 0x0012ABCD;

// An echo round trip on a link, with room for a loaded machine.
Bytes echo(aLinkRef ref, const Bytes& payload) { return linktest::echo(ref, payload, 5000); }
constexpr uint8_t kModel = 0x13;

std::string nodeFormat() {
  return (std::filesystem::temp_directory_path() / ("jvserver-" + std::to_string(getpid()) + "-%08X")).string();
}
std::string nodePath(uint32_t serial) {
  char buf[512];
  std::snprintf(buf, sizeof buf, nodeFormat().c_str(), serial);
  return buf;
}

// A client speaking the server's protocol itself: one packet frame per
// message out, payload frames in.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    socket_ = zsock_new(ZMQ_DEALER);
    zsock_set_linger(socket_, 0);
    EXPECT_EQ(zsock_connect(socket_, "tcp://127.0.0.1:%u", static_cast<unsigned>(port)), 0);
  }
  ~RawClient() { zsock_destroy(&socket_); }
  void send(const Bytes& frame) {
    zframe_t* f = zframe_new(frame.data(), frame.size());
    ASSERT_EQ(zframe_send(&f, socket_, 0), 0);
  }
  // The next payload, or empty after the time-out.
  Bytes next(int timeoutMs = 5000) {
    zsock_set_rcvtimeo(socket_, timeoutMs);
    zframe_t* f = zframe_recv(socket_);
    if (!f) return {};
    Bytes b(zframe_data(f), zframe_data(f) + zframe_size(f));
    zframe_destroy(&f);
    return b;
  }
  // Echo round trip: payloads received before the echo's answer go to *before.
  Bytes echo(uint8_t tag, std::vector<Bytes>* before = nullptr) {
    send({4, 2, 0x17, tag});
    for (int i = 0; i < 20; ++i) {
      Bytes b = next();
      if (b.empty()) return {};
      if (b == Bytes{4, 2, 0x17, tag}) return b;
      if (before) before->push_back(b);
    }
    return {};
  }

 private:
  zsock_t* socket_ = nullptr;
};

Bytes sample(uint8_t tag) { return {0x03, 0x07, 0x40, tag, 0, 0, 1}; }
Bytes sampleFrame(uint8_t tag) {
  Bytes d = sample(tag);
  Bytes f{4, static_cast<uint8_t>(d.size())};
  f.insert(f.end(), d.begin(), d.end());
  return f;
}

// Runs ahead of the command layer: once armed, the module's service thread
// stops at the next host packet of the byte-block set until the test opens
// it, so the module reads nothing meanwhile.
class Stall : public jvsim::CommandHandler {
 public:
  void arm() {
    std::lock_guard<std::mutex> lock(m_);
    armed_ = true;
  }
  bool waitStalled() {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, 10s, [&] { return stalled_; });
  }
  void open() {
    {
      std::lock_guard<std::mutex> lock(m_);
      armed_ = false;
    }
    cv_.notify_all();
  }
  bool handle(SimModule&, const jvsim::Packet& p) override {
    std::unique_lock<std::mutex> lock(m_);
    if (armed_ && !stalled_ && p.data.size() > 1 && p.data[1] == (0x80 | 32)) {
      stalled_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return !armed_; });
    }
    return false;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool armed_ = false, stalled_ = false;
};

class ServerLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(jvusb_set_node_path_format(nodeFormat().c_str()), aErrNone);
    sim_ = SimModule::overPty(nodePath(kSerial));
    sim_->addHandler(stall_);
    cmds_ = jvsim::SimCommands::install(*sim_);
    sim_->start();
    iface_ = ipv4("127.0.0.1");
    client_ = aLink_CreateServer(kSerial, &port_, &iface_, true);
    ASSERT_NE(client_, 0u) << sim_->transcript().text();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    if (client_) aLink_Destroy(&client_);
    sim_.reset();
    jvusb_set_node_path_format(nullptr);
  }
  aServer* server() {
    linkItem* c = aLink_LookupEntry(client_);
    linkItem* usb = c ? aLink_LookupEntry(c->dependentRef) : nullptr;
    return usb ? usb->server : nullptr;
  }

  std::shared_ptr<Stall> stall_ = std::make_shared<Stall>();
  std::unique_ptr<SimModule> sim_;
  std::shared_ptr<jvsim::SimCommands> cmds_;
  uint16_t port_ = 0;
  uint32_t iface_ = 0;
  aLinkRef client_ = 0;
};

TEST_F(ServerLinkTest, OwnClientLinkReachesTheModuleAndHoldsTheUsbLink) {
  EXPECT_EQ(iface_, ipv4("127.0.0.1"));
  linkItem* entry = aLink_LookupEntry(client_);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->type, static_cast<uint32_t>(LINK_ALANIC));
  ASSERT_NE(server(), nullptr);
  EXPECT_EQ(server()->model.load(), kModel);
  EXPECT_EQ(server()->moduleAddress, 4);
  EXPECT_EQ(echo(client_, {0x42}), (Bytes{0x17, 0x42}));
  // A one-byte reply makes a frame as long as a server command.
  EXPECT_EQ(echo(client_, {}), (Bytes{0x17}));
  EXPECT_EQ(echo(client_, {0x43}), (Bytes{0x17, 0x43}));
  // The shared module is reached only as a client of its server.
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  // The client link's force routes were refused: the module saw only the USB link's.
  EXPECT_EQ(sim_->forceRoutes(), (std::vector<uint8_t>{1}));

  const aLinkRef usb = entry->dependentRef;
  aLink_Destroy(&client_);
  EXPECT_EQ(aLink_LookupEntry(usb), nullptr);
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
  // Unshared again, the module opens as a plain USB link.
  aLinkRef plain = aLink_CreateUSB(kSerial);
  EXPECT_NE(plain, 0u);
  aLink_Destroy(&plain);
}

TEST_F(ServerLinkTest, TwoClientsAtOnceEachGetOnlyTheirOwnReplies) {
  constexpr int kRounds = 40;
  std::atomic<int> wrong{0}, missing{0};
  auto run = [&](uint8_t base) {
    RawClient c(port_);
    for (int i = 0; i < kRounds; ++i) {
      const uint8_t tag = static_cast<uint8_t>(base + i);
      c.send({4, 2, 0x17, tag});
      Bytes got = c.next();
      if (got.empty()) {
        ++missing;
      } else if (got != Bytes{4, 2, 0x17, tag}) {
        ++wrong;
      }
    }
  };
  std::thread a(run, 0x00), b(run, 0x80);
  // The process's own client link shares the server at the same time.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(echo(client_, {0x55, static_cast<uint8_t>(i)}), (Bytes{0x17, 0x55, static_cast<uint8_t>(i)}));
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(missing.load(), 0);
}

TEST_F(ServerLinkTest, ForceRouteFromClientsIsRefused) {
  RawClient c(port_);
  c.send({0xAF, 1, 0});
  // 0xAF with two data bytes is no force route: it reaches the module, unanswered.
  c.send({0xAF, 2, 7, 7});
  ASSERT_EQ(c.echo(1), (Bytes{4, 2, 0x17, 1}));
  EXPECT_EQ(sim_->forceRoutes(), (std::vector<uint8_t>{1}));
  EXPECT_EQ(sim_->transcript().count(Dir::In, {0xAF, 0x02, 7, 7}), 1u);
  // Nothing waits for it: the next request is answered, by its own reply.
  EXPECT_EQ(c.echo(2), (Bytes{4, 2, 0x17, 2}));
}

TEST_F(ServerLinkTest, StreamPacketsGoOnlyToClientsThatEnabledStreaming) {
  RawClient subscriber(port_), other(port_);
  const Bytes enable{4, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
  subscriber.send(enable);
  ASSERT_EQ(subscriber.echo(1, nullptr), (Bytes{4, 2, 0x17, 1}));  // the enable was handled
  ASSERT_EQ(other.echo(1), (Bytes{4, 2, 0x17, 1}));

  sim_->send({4, sample(0xA1)});
  sim_->send({4, sample(0xA2)});
  sim_->sendHeartbeat(0);  // flushes the batch
  Bytes batch = sampleFrame(0xA1);
  const Bytes second = sampleFrame(0xA2);
  batch.insert(batch.end(), second.begin(), second.end());
  std::vector<Bytes> got;
  Bytes payload;
  while (got.empty() && !(payload = subscriber.next()).empty()) {
    if (payload.size() > 4 && payload[2] == 0x03) got.push_back(payload);  // not an enable's answer
  }
  ASSERT_EQ(got, (std::vector<Bytes>{batch}));
  // The batch reached the subscriber once, and never the other client: what
  // either receives before its next echo's answer holds no sample.
  std::vector<Bytes> before;
  ASSERT_EQ(subscriber.echo(2, &before), (Bytes{4, 2, 0x17, 2}));
  for (const Bytes& b : before) EXPECT_NE(b, batch);
  before.clear();
  ASSERT_EQ(other.echo(2, &before), (Bytes{4, 2, 0x17, 2}));
  EXPECT_TRUE(before.empty());
  // Samples never reach the input queue, so they are no one's reply.
  EXPECT_EQ(echo(client_, {0x44}), (Bytes{0x17, 0x44}));
  // The heartbeat was still answered by the USB link.
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {4, 2, 0, 2}, 1, 2s));
}

// Clients come and go (a client link's reset makes a new identity): the
// identities that are gone leave the subscriber list, whose bound would else
// soon shut new subscribers out.
TEST_F(ServerLinkTest, SubscribersThatLeftMakeRoomForNewOnes) {
  const Bytes enable{4, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
  const Bytes batch = sampleFrame(0xB1);
  // Enables are answered (and stream nothing of the module's own).
  const auto streams = jvsim::SimStream::install(*sim_, cmds_);
  auto sendBatch = [&] {
    sim_->send({4, sample(0xB1)});
    sim_->sendHeartbeat(0);  // flushes the batch
  };
  // Whether the batch comes within the time-out (other payloads are passed over).
  auto awaitBatch = [&](RawClient& c, int timeoutMs) {
    for (Bytes b; !(b = c.next(timeoutMs)).empty();) {
      if (b == batch) return true;
    }
    return false;
  };
  std::vector<std::unique_ptr<RawClient>> full;
  for (size_t i = 0; i < kServerMaxSubscribers; ++i) {
    full.push_back(std::make_unique<RawClient>(port_));
    full.back()->send(enable);
    ASSERT_EQ(full.back()->echo(1), (Bytes{4, 2, 0x17, 1})) << i;
  }
  RawClient late(port_);
  late.send(enable);
  ASSERT_EQ(late.echo(1), (Bytes{4, 2, 0x17, 1}));
  sendBatch();
  ASSERT_TRUE(awaitBatch(*full.front(), 5000));
  // The fan-out is over: a batch for the late client would come before the
  // answer to its echo.
  std::vector<Bytes> before;
  ASSERT_EQ(late.echo(2, &before), (Bytes{4, 2, 0x17, 2}));
  EXPECT_EQ(std::count(before.begin(), before.end(), batch), 0) << "subscribed beyond the bound";

  full.clear();  // all of them leave
  // The server learns of leavers in the background, and batches find them
  // gone; then the late client's enable is taken.
  bool subscribed = false;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!subscribed && std::chrono::steady_clock::now() < deadline) {
    sendBatch();
    late.send(enable);
    sendBatch();
    subscribed = awaitBatch(late, 1000);
  }
  EXPECT_TRUE(subscribed) << "the identities that left still fill the list";
}

TEST_F(ServerLinkTest, ClientThatLeavesMidRequestDoesNotDisturbOthers) {
  {
    RawClient leaving(port_);
    sim_->faults().lateMs = 300;
    leaving.send({4, 2, 0x17, 0x66});
    ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {4, 2, 0x17, 0x66}, 1, 2s));
  }  // gone before its reply comes
  sim_->faults().lateMs = 0;
  RawClient staying(port_);
  std::vector<Bytes> before;
  EXPECT_EQ(staying.echo(0x67, &before), (Bytes{4, 2, 0x17, 0x67}));
  EXPECT_TRUE(before.empty());  // the leaver's reply went nowhere
  EXPECT_EQ(echo(client_, {0x68}), (Bytes{0x17, 0x68}));
}

TEST_F(ServerLinkTest, ByteBlockSetReachesTheModuleWholeAndIsAnsweredOnce) {
  RawClient c(port_);
  Bytes block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 1);
  std::vector<Bytes> chunks;
  for (size_t at = 0, seq = 0; at < block.size(); at += 24, ++seq) {
    const size_t n = std::min<size_t>(24, block.size() - at);
    Bytes d{0x03, 0x80 | 32, 0x20};  // set the name option, index 0
    d.insert(d.end(), block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + n));
    d.push_back(static_cast<uint8_t>((at + n < block.size() ? 0x80 : 0) | seq));
    Bytes f{4, static_cast<uint8_t>(d.size())};
    f.insert(f.end(), d.begin(), d.end());
    chunks.push_back(f);
  }
  ASSERT_EQ(chunks.size(), 5u);
  for (size_t i = 0; i + 1 < chunks.size(); ++i) c.send(chunks[i]);
  // Held back: an echo sent after them gets through first.
  ASSERT_EQ(c.echo(9), (Bytes{4, 2, 0x17, 9}));
  EXPECT_EQ(sim_->transcript().count(Dir::In, chunks[0]), 0u);
  c.send(chunks.back());
  Bytes answer = c.next();
  ASSERT_GE(answer.size(), 5u) << sim_->transcript().text();
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 3), (Bytes{4, 3, 0x03}));
  EXPECT_EQ(answer[4], 0x00);  // index byte without the error bit
  EXPECT_EQ(cmds_->getBytes(32), block);
  for (const Bytes& f : chunks) EXPECT_EQ(sim_->transcript().count(Dir::In, f), 1u);
  EXPECT_EQ(c.echo(10), (Bytes{4, 2, 0x17, 10}));  // nothing more came for the block
}

// The module answers a byte-block get in chunks; all of them go to the
// client that asked, in order, before a request queued behind it is served.
TEST_F(ServerLinkTest, ReplyInThreeChunksReachesTheClientThatAskedAsThreePackets) {
  Bytes block(50);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0xC0 + i);
  cmds_->setBytes(jvsim::kOptName, block);
  RawClient asking(port_), queued(port_);
  sim_->faults().lateMs = 300;  // the second request waits while the chunks are due
  asking.send({4, 3, jvsim::kCmdSystem, 0x40 | jvsim::kOptName, 0x20});  // get the name, index 0
  queued.send({4, 2, 0x17, 0x51});
  std::vector<Bytes> chunks;
  for (int i = 0; i < 3; ++i) chunks.push_back(asking.next());
  sim_->faults().lateMs = 0;
  ASSERT_EQ(chunks.size(), 3u);
  const size_t lengths[] = {28, 28, 6};
  const uint8_t trailers[] = {0x80, 0x81, 0x02};  // continue bit and sequence
  Bytes received;
  for (size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(chunks[i].size(), lengths[i] + 2);
    EXPECT_EQ(Bytes(chunks[i].begin(), chunks[i].begin() + 3), (Bytes{4, static_cast<uint8_t>(lengths[i]), 0x03}));
    EXPECT_EQ(chunks[i].back(), trailers[i]);
    received.insert(received.end(), chunks[i].begin() + 5, chunks[i].end() - 1);
  }
  EXPECT_EQ(received, block);
  std::vector<Bytes> before;
  EXPECT_EQ(queued.next(), (Bytes{4, 2, 0x17, 0x51}));
  EXPECT_EQ(asking.echo(0x52, &before), (Bytes{4, 2, 0x17, 0x52}));
  EXPECT_TRUE(before.empty()) << "more than three packets for one get";
}

// A request the module never answers holds the link for the reply wait
// (2000 ms), and nobody gets an answer for it; then the next request, from
// another client, is served with its own answer.
TEST_F(ServerLinkTest, RequestWithoutReplyIsDroppedAfterTheReplyWait) {
  RawClient unanswered(port_), next(port_);
  cmds_->faults().silence = 1;
  const auto sent = std::chrono::steady_clock::now();
  unanswered.send({4, 2, 0x17, 0x61});
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {4, 2, 0x17, 0x61}, 1, 5s));
  next.send({4, 2, 0x17, 0x62});
  EXPECT_EQ(next.next(10000), (Bytes{4, 2, 0x17, 0x62}));
  const auto waited = std::chrono::steady_clock::now() - sent;
  EXPECT_GE(waited, std::chrono::milliseconds(kServerReplyWaitMS));
  EXPECT_LT(waited, std::chrono::milliseconds(kServerReplyWaitMS) + 5s) << "waited far longer than the reply wait";
  std::vector<Bytes> before;
  EXPECT_EQ(unanswered.echo(0x63, &before), (Bytes{4, 2, 0x17, 0x63}));
  EXPECT_TRUE(before.empty());
}

// 64 KiB: 2731 chunks, more than a pool lives for when counted from its
// first chunk, more than the hand-over to the sync actor queues by default
// and more than the link's output queue holds; once with a module that
// reads on, once with one that stalls at the first chunk for a while.
TEST_F(ServerLinkTest, LongByteBlockSetReachesTheModuleWhole) {
  for (bool stalled : {false, true}) {
    SCOPED_TRACE(stalled ? "module stalls" : "module reads on");
    RawClient c(port_);
    Bytes block(64 * 1024);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (stalled ? 3 : 1));
    cmds_->setByteLimit(32, block.size());
    if (stalled) stall_->arm();
    size_t chunks = 0;
    for (size_t at = 0; at < block.size(); at += 24, ++chunks) {
      const size_t n = std::min<size_t>(24, block.size() - at);
      Bytes d{0x03, 0x80 | 32, 0x20};
      d.insert(d.end(), block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at + n));
      d.push_back(static_cast<uint8_t>((at + n < block.size() ? 0x80 : 0) | (chunks & 0x7F)));
      Bytes f{4, static_cast<uint8_t>(d.size())};
      f.insert(f.end(), d.begin(), d.end());
      c.send(f);
    }
    ASSERT_EQ(chunks, 2731u);
    if (stalled) {
      ASSERT_TRUE(stall_->waitStalled());
      // Not a synchronisation: the time the module reads nothing, long
      // enough for the sync actor to meet a full output queue.
      std::this_thread::sleep_for(300ms);
      stall_->open();
    }
    Bytes answer = c.next(10000);
    ASSERT_GE(answer.size(), 5u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 5), (Bytes{4, 3, 0x03, 0xC0 | 32, 0x00}));
    EXPECT_EQ(cmds_->getBytes(32), block);
  }
}

// Client A queues requests to a module address nobody answers, each holding
// the link for the reply wait; B's request, sent while A's first waits, is
// served next, ahead of A's others.
TEST_F(ServerLinkTest, OneClientsUnansweredRequestsDelayAnotherByOneReplyWaitAtMost) {
  constexpr uint8_t kNobody = 0x0A;
  constexpr int kQueued = 5;
  RawClient a(port_), b(port_);
  for (int i = 0; i < kQueued; ++i) a.send({kNobody, 2, 0x17, static_cast<uint8_t>(i)});
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {kNobody, 2, 0x17, 0}, 1, 5s));
  b.send({4, 2, 0x17, 0xB1});
  ASSERT_EQ(b.next(kQueued * kServerReplyWaitMS + 10000), (Bytes{4, 2, 0x17, 0xB1}));
  // What the module received before B's request: A's first only.
  std::vector<Bytes> before;
  for (const jvsim::TranscriptLine& line : sim_->transcript().lines()) {
    if (line.dir != Dir::In) continue;
    if (line.bytes == Bytes{4, 2, 0x17, 0xB1}) break;
    if (!line.bytes.empty() && line.bytes[0] == kNobody) before.push_back(line.bytes);
  }
  EXPECT_EQ(before, (std::vector<Bytes>{{kNobody, 2, 0x17, 0}}));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kFreedMemoryLeaves = false;  // the sanitizers hold freed memory back
#else
constexpr bool kFreedMemoryLeaves = true;
#endif

// A client sends as fast as it can and never reads: to an address nobody
// answers, or to the module, which answers every one. The server keeps its
// share and drops the rest; its memory does not grow with what was sent.
TEST_F(ServerLinkTest, ClientFloodingWithoutReadingCostsNoMoreThanItsShare) {
  constexpr size_t kFlood = 100000;
  for (uint8_t address : {uint8_t{0x0A}, uint8_t{4}}) {
    SCOPED_TRACE(address == 4 ? "answered" : "nobody answers");
    const uint64_t droppedBefore = server()->droppedRequests.load();
    const Bytes request{address, 2, 0x17, 0x5A};
    const size_t residentBefore = residentBytes();
    {
      RawClient flood(port_);
      for (size_t i = 0; i < kFlood; ++i) flood.send(request);
      // Every request is taken by the server: queued within the share, handed
      // to the module, or dropped.
      const auto deadline = std::chrono::steady_clock::now() + 60s;
      auto accounted = [&] {
        const uint64_t dropped = server()->droppedRequests.load() - droppedBefore;
        const size_t handed = sim_->transcript().count(Dir::In, request);
        return dropped + handed + kServerClientPacketsWaiting >= kFlood;
      };
      while (!accounted() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
      ASSERT_TRUE(accounted()) << "dropped " << server()->droppedRequests.load() - droppedBefore;
      // What the server took in and let go is not resident any more; 100000
      // requests held would be tens of MiB.
      if (kFreedMemoryLeaves) {
        EXPECT_LT(residentBytes() - std::min(residentBytes(), residentBefore), size_t{16} << 20);
      }
    }
    // The server still serves others.
    sim_->transcript().clear();
    RawClient other(port_);
    EXPECT_EQ(other.echo(0x77), (Bytes{4, 2, 0x17, 0x77}));
  }
}

TEST_F(ServerLinkTest, FlushWhileARequestIsOutstandingDropsOnlyItsAnswer) {
  RawClient c(port_);
  sim_->faults().lateMs = 400;
  c.send({4, 2, 0x17, 0x70});
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {4, 2, 0x17, 0x70}, 1, 2s));
  ASSERT_EQ(aServer_FlushFIFO(server()), aErrNone);
  sim_->faults().lateMs = 0;
  // Sent while the flushed answer is still to come: it must not be handed
  // the stale answer, from this client or another.
  RawClient other(port_);
  std::vector<Bytes> before;
  EXPECT_EQ(other.echo(0x72, &before), (Bytes{4, 2, 0x17, 0x72}));
  EXPECT_TRUE(before.empty());
  EXPECT_EQ(c.echo(0x71, &before), (Bytes{4, 2, 0x17, 0x71}));
  EXPECT_TRUE(before.empty());
}

// The module's answers are taken in turn; a packet it sent unasked, or an
// answer that came after its request gave up, must not become the answer to
// the next request and push every later answer one client along.
TEST_F(ServerLinkTest, StrayPacketFromTheModuleIsNobodysAnswer) {
  RawClient c(port_);
  sim_->send({4, {0x17, 0x99}});  // unasked: waits in the link's input queue
  const aPacketFifoId queue = server()->linkEntry->link->inputFifo;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (aPacketFifo_GetLength(queue) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(aPacketFifo_GetLength(queue), 1u);
  std::vector<Bytes> before;
  EXPECT_EQ(c.echo(0x21, &before), (Bytes{4, 2, 0x17, 0x21}));
  EXPECT_TRUE(before.empty());
  EXPECT_EQ(c.echo(0x22, &before), (Bytes{4, 2, 0x17, 0x22}));
  EXPECT_TRUE(before.empty());
}

TEST_F(ServerLinkTest, ClientLinkResetKeepsItsIdAndWorksAgain) {
  const aLinkRef id = client_;
  EXPECT_EQ(aLink_Reset(client_), aErrNone);
  EXPECT_EQ(client_, id);
  EXPECT_EQ(aLink_GetStatus(client_), linkStateRunning);
  EXPECT_EQ(echo(client_, {0x31}), (Bytes{0x17, 0x31}));
}

TEST_F(ServerLinkTest, ShutdownWithClientsConnectedReleasesEverything) {
  RawClient a(port_), b(port_);
  ASSERT_EQ(a.echo(1), (Bytes{4, 2, 0x17, 1}));
  ASSERT_EQ(b.echo(1), (Bytes{4, 2, 0x17, 1}));
  b.send({4, 2, 0x17, 2});  // maybe outstanding while the server goes
  aLink_Destroy(&client_);
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
  // The module is free for a new server; the old clients reach nothing.
  client_ = aLink_CreateServer(kSerial, &port_, &iface_, true);
  ASSERT_NE(client_, 0u) << sim_->transcript().text();
  EXPECT_EQ(echo(client_, {0x05}), (Bytes{0x17, 0x05}));
}

TEST(ServerCreateTest, UnknownLinkOrMissingModuleGivesNothing) {
  EXPECT_EQ(aServer_Create(0xFFFFFF00u, 0, true), nullptr);
  aServer* none = nullptr;
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  uint16_t port = 0;
  uint32_t iface = 0;
  EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
  EXPECT_EQ(aServer_GetInterface(nullptr, &iface), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
  EXPECT_EQ(aLink_CreateServer(kSerial, nullptr, &iface, true), 0u);
  EXPECT_EQ(aLink_CreateServer(kSerial, &port, nullptr, true), 0u);
  // No module on USB at all.
  ASSERT_EQ(jvusb_set_node_path_format(nodeFormat().c_str()), aErrNone);
  EXPECT_EQ(aLink_CreateServer(0x0BADF00D, &port, &iface, true), 0u);
  jvusb_set_node_path_format(nullptr);
}

TEST(ServerCreateTest, CreateStoresLoopbackForInterfaceZero) {
  auto sim = SimModule::overTcp("127.0.0.2", 0);
  sim->start();
  aLinkRef tcp = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim->tcp()->port());
  ASSERT_NE(tcp, 0u);
  aServer* server = aServer_Create(tcp, 0, true);
  ASSERT_NE(server, nullptr);
  uint32_t iface = 0;
  EXPECT_EQ(aServer_GetInterface(server, &iface), aErrNone);
  EXPECT_EQ(iface, ipv4("127.0.0.1"));
  // Never started: destroying it releases what there is.
  EXPECT_EQ(aServer_Destroy(&server), aErrNone);
  EXPECT_EQ(server, nullptr);
  // Started and destroyed on its own, the link keeps working without its filter.
  server = aServer_Create(tcp, 0, true);
  ASSERT_EQ(aServer_Start(server), aErrNone);
  EXPECT_EQ(aServer_Destroy(&server), aErrNone);
  EXPECT_EQ(echo(tcp, {0x01}), (Bytes{0x17, 0x01}));
  aLink_Destroy(&tcp);
}

}  // namespace
