// The link engine against the simulated module over TCP, and over streams
// made here where a behaviour needs exact control of the bytes.
#include <mutex>

#include "aLinkInternal.h"
#include "aLinkTableInternal.h"
#include "link_fixture.h"

namespace linktest {
namespace {

TEST_F(TcpLinkTest, EchoRoundTrip) {
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateRunning);
  EXPECT_EQ(echo(ref_, {0x01, 0x02, 0x03}), (Bytes{0x17, 0x01, 0x02, 0x03}));
  // A full 28-byte packet survives too.
  Bytes big(27);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(0xC0 + i);
  Bytes expected{0x17};
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(echo(ref_, big), expected);
}

// A module whose chip resets under the link, and is back at once, leaves
// the link running: the probe's address query meets the fresh stack's reset,
// the stream reconnects, and only the connection epoch tells. A healthy
// module answers the probe and the epoch stays.
TEST_F(TcpLinkTest, ProbeMakesASilentRestartShowInTheEpoch) {
  auto isEmptyFromModule = [](const aPacket* p, void*) { return p->address == 4 && p->length == 0; };
  uint64_t before = 0, now = 0;
  ASSERT_EQ(aLink_GetConnectionEpoch(ref_, &before), aErrNone);
  ASSERT_EQ(aLink_Probe(ref_), aErrNone);
  aPacket* answer = aLink_AwaitFirst(ref_, isEmptyFromModule, nullptr, 2000);
  ASSERT_NE(answer, nullptr) << "the probe is an address query the module answers";
  aPacket_Destroy(&answer);
  ASSERT_EQ(aLink_GetConnectionEpoch(ref_, &now), aErrNone);
  EXPECT_EQ(now, before);

  const uint32_t connections = sim_->stats().connections;
  sim_->transport().goOffline(0, jvsim::Restart::Silent);
  ASSERT_TRUE(sim_->transcript().waitForEvent("disconnect (restart)", 1, 2s));
  ASSERT_EQ(aLink_Probe(ref_), aErrNone);
  ASSERT_TRUE(sim_->transcript().waitForEvent("connect", 2, 5s)) << "the stream did not reconnect";
  EXPECT_EQ(sim_->stats().connections, connections + 1);
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateRunning);
  ASSERT_EQ(aLink_GetConnectionEpoch(ref_, &now), aErrNone);
  EXPECT_NE(now, before);

  EXPECT_EQ(aLink_GetConnectionEpoch(ref_, nullptr), aErrParam);
  EXPECT_EQ(aLink_GetConnectionEpoch(0, &now), aErrParam);
  EXPECT_EQ(aLink_Probe(0), aErrParam);
}

TEST_F(TcpLinkTest, HeartbeatsAreAnsweredNotDelivered) {
  struct {
    uint8_t value;
    uint8_t reply;
  } cases[] = {{0x00, 0x02}, {0x01, 0x03}, {0xFF, 0x01}, {0x7E, 0x80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    sim_->sendHeartbeat(c.value);
    EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0x04, 0x02, 0x00, c.reply}, 1, 2s)) << sim_->transcript().text();
    EXPECT_EQ(aLink_GetPacket(ref_), nullptr);
  }
  EXPECT_EQ(sim_->stats().heartbeatsWrong, 0u);
}

TEST_F(TcpLinkTest, TwoBytePacketThatIsNoHeartbeatIsDelivered) {
  sim_->sendRaw({0x04, 0x02, 0x01, 0x00});
  aPacket* p = aLink_AwaitPacket(ref_, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->length, 2);
  EXPECT_EQ(p->data[0], 1);
  aPacket_Destroy(&p);
  EXPECT_EQ(sim_->transcript().countDir(Dir::In), 1u);  // only the force route
}

struct FilterSpy {
  std::mutex m;
  std::condition_variable cv;
  std::vector<Bytes> seen;
};

bool swallowHeartbeats(const aPacket* p, void* ref) {
  auto* spy = static_cast<FilterSpy*>(ref);
  {
    std::lock_guard<std::mutex> lock(spy->m);
    spy->seen.emplace_back(p->data, p->data + p->length);
  }
  spy->cv.notify_all();
  return p->length == 2 && p->data[0] == 0;
}

class FilterTest : public TcpLinkTest {
  jvsim::SimConfig config() override {
    jvsim::SimConfig c;
    c.heartbeatAnswerMs = 300;
    return c;
  }
};

TEST_F(FilterTest, FilterThatTakesHeartbeatsSuppressesTheirAnswer) {
  FilterSpy spy;
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref_, swallowHeartbeats, &spy), aErrNone);
  sim_->sendHeartbeat(0);
  EXPECT_TRUE(sim_->transcript().waitForEvent("heartbeat missed", 1, 2s));
  EXPECT_EQ(sim_->transcript().count(Dir::In, {0x04, 0x02, 0x00, 0x02}), 0u);
  // What the filter declines still reaches the application.
  EXPECT_EQ(echo(ref_, {0x42}), (Bytes{0x17, 0x42}));
  {
    std::lock_guard<std::mutex> lock(spy.m);
    EXPECT_EQ(spy.seen, (std::vector<Bytes>{{0x00, 0x00}, {0x17, 0x42}}));
  }
  // Removed: heartbeats are answered again.
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref_, nullptr, nullptr), aErrNone);
  sim_->sendHeartbeat(0);
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0x04, 0x02, 0x00, 0x02}, 1, 2s));
}

class HeartbeatTrafficTest : public TcpLinkTest {
  jvsim::SimConfig config() override {
    jvsim::SimConfig c;
    c.heartbeatMs = 10;
    return c;
  }
};

TEST_F(HeartbeatTrafficTest, PeriodicHeartbeatsAmidTrafficAreAllAnsweredAndNoneDelivered) {
  for (int i = 0; i < 300; ++i) {
    const uint8_t v = static_cast<uint8_t>(i);
    ASSERT_EQ(echo(ref_, {v, static_cast<uint8_t>(~v)}), (Bytes{0x17, v, static_cast<uint8_t>(~v)})) << i;
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(aLink_GetPacket(ref_), nullptr);
  const auto& st = sim_->stats();
  EXPECT_GE(st.heartbeatsAnswered, 3u);
  EXPECT_EQ(st.heartbeatsWrong, 0u);
  EXPECT_EQ(st.heartbeatsMissed, 0u);
}

TEST_F(TcpLinkTest, OddByteResynchronises) {
  sim_->sendRaw({0x03});
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAD, 0x00}, 6, 2s));
  // The module answers the six queries; the link is back and carries packets.
  EXPECT_TRUE(waitStatus(linkStateRunning));
  EXPECT_EQ(sim_->transcript().count(Dir::In, {0xAD, 0x00}), 6u);
  aLink_DrainPackets(ref_, drainAll, nullptr);  // the answers after the handshake's two
  EXPECT_EQ(echo(ref_, {0x09}), (Bytes{0x17, 0x09}));
}

TEST_F(TcpLinkTest, HandshakeByteSequences) {
  auto& t = sim_->transcript();
  sim_->faults().silent = true;  // only the bytes sent below reach the link
  sim_->sendRaw({0x03});
  ASSERT_TRUE(t.waitFor(Dir::In, {0xAD, 0x00}, 6, 2s));
  ASSERT_EQ(aLink_GetStatus(ref_), linkStateSyncing);

  // Two empty packets from one address complete it.
  sim_->sendRaw({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(waitStatus(linkStateRunning));

  // An address mismatch in the second packet: the next byte starts a new round.
  sim_->sendRaw({0x03});
  ASSERT_TRUE(t.waitFor(Dir::In, {0xAD, 0x00}, 12, 2s));
  sim_->sendRaw({0x04, 0x00, 0x06});
  sim_->sendRaw({0x00});
  EXPECT_TRUE(t.waitFor(Dir::In, {0xAD, 0x00}, 18, 2s));
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateSyncing);
  sim_->sendRaw({0x04, 0x00, 0x04, 0x00});
  EXPECT_TRUE(waitStatus(linkStateRunning));
}

TEST_F(TcpLinkTest, SilentHandshakeRestartsAboutOnceASecond) {
  auto& t = sim_->transcript();
  sim_->faults().silent = true;
  sim_->sendRaw({0x03});
  ASSERT_TRUE(t.waitFor(Dir::In, {0xAD, 0x00}, 6, 2s));
  std::this_thread::sleep_for(2500ms);
  // The first round and two or three restarts, not one per empty read.
  size_t queries = t.count(Dir::In, {0xAD, 0x00});
  EXPECT_GE(queries, 12u);
  EXPECT_LE(queries, 24u);
  sim_->faults().silent = false;
  EXPECT_TRUE(waitStatus(linkStateRunning));
}

TEST_F(TcpLinkTest, SyncSurvivesABrokenHandshake) {
  sim_->faults().brokenHandshake = 1;
  EXPECT_EQ(aLink_Sync(ref_), aErrNone);
  EXPECT_EQ(sim_->transcript().countEvents("fault broken handshake"), 1u);
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateRunning);
  // The sync drains the spare answers it waited for; on a busy machine a
  // few arrive later still. Those are the module's own empty answers and
  // nothing else, and the link carries traffic past them.
  while (aPacket* p = aLink_GetPacket(ref_)) {
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 0);
    aPacket_Destroy(&p);
  }
  EXPECT_EQ(echo(ref_, {0x09}), (Bytes{0x17, 0x09}));
}

TEST_F(TcpLinkTest, SyncOnSilentModuleFailsAndEmptiesBothQueues) {
  sim_->faults().silent = true;
  sim_->sendRaw({0x04, 0x02, 0x01, 0x00});  // a packet waiting for the application
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::Out, {0x04, 0x02, 0x01, 0x00}, 1, 1s));
  std::this_thread::sleep_for(50ms);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Sync(ref_), aErrNotReady);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 4s);
  EXPECT_EQ(aLink_GetPacket(ref_), nullptr);
  aLink* link = aLink_GetLinkObject(ref_);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(link->outputFifo), 0u);
}

TEST_F(TcpLinkTest, AwaitFirstOnlyWaitsOnARunningLink) {
  sim_->sendRaw({0x04, 0x02, 0x17, 0x01});
  ASSERT_TRUE(sim_->transcript().waitFor(Dir::Out, {0x04, 0x02, 0x17, 0x01}, 1, 1s));
  aPacket* p = aLink_AwaitPacket(ref_, 1000);  // now it is queued ...
  ASSERT_NE(p, nullptr);
  aLink* link = aLink_GetLinkObject(ref_);
  ASSERT_EQ(aPacketFifo_Put(link->inputFifo, p), aErrNone);
  aPacket_Destroy(&p);
  // ... and a timeout of 0 still gives nothing.
  EXPECT_EQ(aLink_AwaitFirst(ref_, isEcho, nullptr, 0), nullptr);
  p = aLink_AwaitFirst(ref_, isEcho, nullptr, 100);
  EXPECT_NE(p, nullptr);
  aPacket_Destroy(&p);
}

// The address query, as a Link asks it (the first empty packet answers;
// other packets stay for their waiters) and as a link-sharing server's own
// client asks it (the next packet answers, whatever it is; what was queued
// before the query is no answer to it).
TEST_F(TcpLinkTest, AddressQueryTakesItsAnswerAndLeavesTheRest) {
  const Bytes stray{0x04, 0x02, 0x42, 0x01};  // a packet the module sent unasked
  const auto isStray = [](const aPacket* p, void*) { return p->length == 2 && p->data[0] == 0x42; };
  struct Case {
    const char* name;
    bool nextPacket;
    bool strayBefore;    // queued before the query is asked
    bool strayAsAnswer;  // the module answers the query with it instead
    aErr result;
    uint8_t address;     // 0x99: left as it was
    bool strayLeft;      // still queued afterwards
  } cases[] = {
      {"empty answer, stray kept", false, true, false, aErrNone, 4, true},
      {"next packet, stray dropped first", true, true, false, aErrNone, 4, false},
      {"next packet not empty", true, false, true, aErrIO, 0x99, false},
      {"no empty packet comes", false, false, true, aErrTimeout, 0x99, true},
  };
  const Bytes query{kSyncQueryAddress, 0x00};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.strayBefore) {
      sim_->sendRaw(stray);
      ASSERT_EQ(echo(ref_, {0x01}), (Bytes{0x17, 0x01}));  // the stray, sent first, is queued now
    }
    uint8_t address = 0x99;
    aErr result = aErrUnknown;
    if (c.strayAsAnswer) {
      sim_->faults().silent = true;
      const size_t asked = sim_->transcript().count(Dir::In, query);
      std::thread asker([&] { result = aLink_QueryModuleAddress(ref_, c.nextPacket ? 3000 : 300, c.nextPacket, &address); });
      ASSERT_TRUE(sim_->transcript().waitFor(Dir::In, query, asked + 1, 3s));
      sim_->sendRaw(stray);
      asker.join();
      sim_->faults().silent = false;
    } else {
      result = aLink_QueryModuleAddress(ref_, 1000, c.nextPacket, &address);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(address, c.address);
    aPacket* left = c.strayLeft ? aLink_AwaitFirst(ref_, isStray, nullptr, 2000) : aLink_GetFirst(ref_, isStray, nullptr);
    EXPECT_EQ(left != nullptr, c.strayLeft);
    if (left) aPacket_Destroy(&left);
  }
}

TEST_F(TcpLinkTest, StartWhileRunningSendsNoForceRoute) {
  EXPECT_EQ(aLink_Start(ref_), aErrNone);
  EXPECT_EQ(echo(ref_, {0x01}), (Bytes{0x17, 0x01}));  // everything queued before it is out
  EXPECT_EQ(sim_->transcript().count(Dir::In, {0xAF, 0x01, 0x01}), 1u);
}

TEST_F(TcpLinkTest, StopSendsForceRouteZeroAndDoesNotSitOutTheSendWait) {
  aLink* link = aLink_GetLinkObject(ref_);
  ASSERT_NE(link, nullptr);
  std::this_thread::sleep_for(50ms);  // the send thread is in its wait now
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateStopped);
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
  EXPECT_EQ(aLink_Stop(link), aErrNone);  // stopped already: nothing more
  EXPECT_EQ(sim_->transcript().count(Dir::In, {0xAF, 0x01, 0x00}), 1u);
  // Started again, it carries packets again.
  EXPECT_EQ(aLink_Start(ref_), aErrNone);
  EXPECT_EQ(echo(ref_, {0x05}), (Bytes{0x17, 0x05}));
}

bool isFlood1000(const aPacket* p, void*) {
  return p->length == 3 && p->data[0] == jvsim::kCmdEcho && p->data[1] == 0x03 && p->data[2] == 0xE8;
}

TEST_F(TcpLinkTest, FloodPastTheQueueLimitKeepsTheNewestPackets) {
  // Nobody reads meanwhile: the 1001st packet finds the input queue full.
  sim_->flood(1001);
  aPacket* last = aLink_AwaitFirst(ref_, isFlood1000, nullptr, 5000);
  ASSERT_NE(last, nullptr);
  aPacket_Destroy(&last);
  EXPECT_EQ(aLink_GetStatus(ref_), linkStateRunning);
  // The oldest gave way: packets 1 to 999 are left, in order.
  aLink* link = aLink_GetLinkObject(ref_);
  EXPECT_EQ(aPacketFifo_GetLength(link->inputFifo), 999u);
  aPacket* oldest = aLink_GetPacket(ref_);
  ASSERT_NE(oldest, nullptr);
  EXPECT_EQ(oldest->data[2], 1);
  aPacket_Destroy(&oldest);
  aLink_DrainPackets(ref_, drainAll, nullptr);
  EXPECT_EQ(echo(ref_, {0x33}), (Bytes{0x17, 0x33}));
}

TEST_F(TcpLinkTest, DroppedConnectionIsRemadeByTheStream) {
  sim_->dropConnection();
  ASSERT_TRUE(sim_->transcript().waitForEvent("disconnect", 1, 2s));
  // The stream notices the break on its next read or write and reconnects.
  Bytes got;
  for (int i = 0; i < 5 && got.empty(); ++i) got = echo(ref_, {0x44}, 500);
  EXPECT_EQ(got, (Bytes{0x17, 0x44}));
  EXPECT_EQ(sim_->stats().connections, 2u);
}

TEST_F(TcpLinkTest, ResetKeepsTheIdAndMakesANewConnection) {
  const aLinkRef before = ref_;
  EXPECT_EQ(aLink_Reset(ref_), aErrNone);
  EXPECT_EQ(ref_, before);
  EXPECT_TRUE(sim_->transcript().waitForEvent("connect", 2, 2s));
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x01}, 2, 2s));
  EXPECT_EQ(echo(ref_, {0x66}), (Bytes{0x17, 0x66}));
}

// ---- streams made here -------------------------------------------------

// A stream whose reads and writes the test controls: reads come from `in`
// (aErrNotReady when empty, or readError), writes are recorded one by one,
// and the first write may be held until the test lets it go.
struct ScriptedStream {
  std::mutex m;
  std::condition_variable cv;
  Bytes in;
  aErr readError = aErrNone;
  std::vector<Bytes> writes;
  bool holdFirstWrite = false;
  bool firstWriteStarted = false;
  bool released = false;
  std::atomic<int> deletes{0};

  std::atomic<int> gets{0};

  static aErr get(uint8_t* b, void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    s->gets++;
    std::lock_guard<std::mutex> lock(s->m);
    if (s->readError != aErrNone) return s->readError;
    if (s->in.empty()) return aErrNotReady;
    *b = s->in.front();
    s->in.erase(s->in.begin());
    return aErrNone;
  }
  static aErr put(const uint8_t* b, void* ref) { return write(b, 1, ref); }
  static aErr write(const uint8_t* data, uint64_t n, void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    std::unique_lock<std::mutex> lock(s->m);
    if (s->holdFirstWrite && !s->firstWriteStarted) {
      s->firstWriteStarted = true;
      s->cv.notify_all();
      s->cv.wait(lock, [&] { return s->released; });
    }
    s->writes.emplace_back(data, data + n);
    s->cv.notify_all();
    return aErrNone;
  }
  static aErr del(void* ref) {
    static_cast<ScriptedStream*>(ref)->deletes++;
    return aErrNone;
  }
  // Nothing arrives while the test runs: every wait times out.
  static aErr wait(uint64_t ms, void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    std::unique_lock<std::mutex> lock(s->m);
    return s->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !s->in.empty(); }) ? aErrNone
                                                                                               : aErrTimeout;
  }
  aStream* make(bool withWait = false) {
    aStream* st = aStream_Create(get, put, write, del, this);
    if (withWait) aStream_SetWaitProc(st, wait);
    return st;
  }

  bool waitWrites(size_t n, std::chrono::milliseconds within = 3s) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, within, [&] { return writes.size() >= n; });
  }
};

TEST(LinkPooledTest, PooledWritesFillUpToTheBufferLimit) {
  struct Case {
    const char* name;
    std::vector<uint8_t> lengths;  // data lengths of the packets queued, in order
    size_t firstPackets;           // packets in the first pooled write
    size_t firstBytes;
  };
  std::vector<uint8_t> big(200, 28), mixed(120, 28), small(1000, 0);
  mixed.insert(mixed.end(), 300, 0);
  const Case cases[] = {
      {"200 packets of 30 bytes", big, 136, 4080},
      {"30-byte packets then 2-byte ones", mixed, 120 + 234, 4068},
      // The output queue holds at most 1000 packets, so 2-byte packets alone never fill a write.
      {"1000 packets of 2 bytes", small, 1000, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedStream s;
    s.holdFirstWrite = true;
    aLinkRef ref = aLink_Create(s.make());
    ASSERT_NE(ref, 0u);
    {
      // The force route of the start is being written and held there.
      std::unique_lock<std::mutex> lock(s.m);
      ASSERT_TRUE(s.cv.wait_for(lock, 2s, [&] { return s.firstWriteStarted; }));
    }
    ASSERT_EQ(aLink_EnablePooledPackets(ref, true), aErrNone);
    uint8_t data[28] = {};
    for (uint8_t len : c.lengths) {
      aPacket* p = aPacket_CreateWithData(4, len, data);
      ASSERT_EQ(aLink_PutPacket(ref, p), aErrNone);
      aPacket_Destroy(&p);
    }
    {
      std::lock_guard<std::mutex> lock(s.m);
      s.released = true;
    }
    s.cv.notify_all();
    ASSERT_TRUE(s.waitWrites(2));
    Bytes first;
    {
      std::lock_guard<std::mutex> lock(s.m);
      EXPECT_EQ(s.writes[0], (Bytes{0xAF, 0x01, 0x01}));
      first = s.writes[1];
    }
    EXPECT_EQ(first.size(), c.firstBytes);
    // Count the packets by walking their framing.
    size_t packets = 0;
    for (size_t at = 0; at + 1 < first.size(); at += first[at + 1] + 2u) ++packets;
    EXPECT_EQ(packets, c.firstPackets);
    aLink_Destroy(&ref);
    EXPECT_EQ(s.deletes, 1);
  }
}

// A link over the stream, started once and stopped again: its thread
// procedures may be swapped before the next start. 0 when it cannot be made.
aLinkRef sStoppedLink(ScriptedStream& s, aLink** link) {
  aLinkRef ref = aLink_Create(s.make(true));
  *link = aLink_GetLinkObject(ref);
  if (!*link || aLink_Stop(*link) != aErrNone) aLink_Destroy(&ref);
  return ref;
}

// A send thread stuck in a write until the stop: it takes nothing, so the
// output queue keeps whatever is put on it.
void* sStuckSendThread(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->outPipeStarted = 1;
  while (link->running) std::this_thread::sleep_for(1ms);
  return nullptr;
}

TEST(LinkStopTest, StopNeverOverflowsTheOutputQueue) {
  struct Case {
    size_t queued;  // output packets when the stop begins, the start's force route among them
    aErr stop;
    Bytes last;  // the newest packet queued after the stop
  };
  const Case cases[] = {
      {999, aErrNone, {0xAF, 0x01, 0x00}},                // the force route takes the last place
      {1000, aErrOverrun, {0x04, 0x03, 0x18, 0x03, 0xE7}},  // no place: the stop says so
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.queued);
    ScriptedStream s;
    aLink* link = nullptr;
    aLinkRef ref = sStoppedLink(s, &link);
    ASSERT_NE(ref, 0u);
    aPacketFifo_DrainPackets(link->outputFifo, drainAll, nullptr);
    const aThreadProc sendThread = link->outPipeProc;
    link->outPipeProc = sStuckSendThread;
    ASSERT_EQ(aLink_Start(ref), aErrNone);  // queues force route 1
    for (size_t i = 1; i < c.queued; ++i) {
      const uint8_t data[] = {0x18, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      aPacket* p = aPacket_CreateWithData(4, sizeof data, data);
      ASSERT_EQ(aLink_PutPacket(ref, p), aErrNone);
      aPacket_Destroy(&p);
    }
    if (c.queued == aPACKETFIFO_MAX_PACKETS) {
      const uint8_t more = 0x19;
      aPacket* p = aPacket_CreateWithData(4, 1, &more);
      EXPECT_EQ(aLink_PutPacket(ref, p), aErrOverrun);
      aPacket_Destroy(&p);
    }
    EXPECT_EQ(aLink_Stop(link), c.stop);
    ASSERT_EQ(aPacketFifo_GetLength(link->outputFifo), 1000u);
    Bytes first, newest;
    while (aPacket* p = aPacketFifo_Get(link->outputFifo)) {
      newest.assign({p->address, p->length});
      newest.insert(newest.end(), p->data, p->data + p->length);
      if (first.empty()) first = newest;
      aPacket_Destroy(&p);
    }
    EXPECT_EQ(first, (Bytes{0xAF, 0x01, 0x01}));
    EXPECT_EQ(newest, c.last);
    link->outPipeProc = sendThread;
    aLink_Destroy(&ref);
  }
}

// The receive thread of a start that fails, watched: whether it has ended.
std::atomic<bool> gReceiveEnded{false};
aThreadProc gReceiveThread = nullptr;
void* sWatchedReceiveThread(void* arg) {
  void* result = gReceiveThread(arg);
  gReceiveEnded = true;
  return result;
}
// A receive thread that begins but never finds the link running.
void* sReceiveThreadNeverRunning(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->inPipeStarted = 1;
  while (link->running) std::this_thread::sleep_for(1ms);
  gReceiveEnded = true;
  return nullptr;
}

// A start that fails leaves no thread behind: the one already started has
// ended by the time the failure is returned, and the link starts again.
TEST(LinkStartTest, FailedStartLeavesNoThreadRunning) {
  struct Case {
    const char* name;
    aThreadProc receive;
    bool sendStarts;
    aErr result;
  };
  const Case cases[] = {
      {"send thread cannot start", sWatchedReceiveThread, false, aErrResource},
      {"threads not up in time", sReceiveThreadNeverRunning, true, aErrTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedStream s;
    aLink* link = nullptr;
    aLinkRef ref = sStoppedLink(s, &link);
    ASSERT_NE(ref, 0u);
    const aThreadProc receive = link->inPipeProc, send = link->outPipeProc;
    gReceiveThread = receive;
    gReceiveEnded = false;
    link->inPipeProc = c.receive;
    link->outPipeProc = c.sendStarts ? send : nullptr;  // a thread without a procedure never starts
    EXPECT_EQ(aLink_Start(ref), c.result);
    EXPECT_TRUE(gReceiveEnded) << "the receive thread still runs";
    EXPECT_EQ(link->inPipeThread, nullptr);
    EXPECT_EQ(link->outPipeThread, nullptr);
    EXPECT_EQ(link->running, 0);
    EXPECT_EQ(aLink_GetStatus(ref), linkStateStopped);
    link->inPipeProc = receive;
    link->outPipeProc = send;
    EXPECT_EQ(aLink_Start(ref), aErrNone);
    // The failed start sent no force route; the first start and its stop did.
    ASSERT_TRUE(s.waitWrites(3));
    {
      std::lock_guard<std::mutex> lock(s.m);
      EXPECT_EQ(s.writes, (std::vector<Bytes>{{0xAF, 0x01, 0x01}, {0xAF, 0x01, 0x00}, {0xAF, 0x01, 0x01}}));
    }
    aLink_Destroy(&ref);
  }
}

TEST(LinkStreamTest, IdleLinkSleepsInsteadOfSpinning) {
  for (bool withWait : {true, false}) {
    SCOPED_TRACE(withWait ? "stream with a wait operation" : "stream without one");
    ScriptedStream s;
    aLinkRef ref = aLink_Create(s.make(withWait));
    ASSERT_NE(ref, 0u);
    const int before = s.gets;
    std::this_thread::sleep_for(500ms);
    // A spinning receive thread would read millions of times; a sleeping one
    // reads a few times per wait slice or pause.
    EXPECT_LT(s.gets - before, withWait ? 5 : 150);
    // And it still wakes for a byte.
    {
      std::lock_guard<std::mutex> lock(s.m);
      s.in = {0x04, 0x02, 0x01, 0x09};
    }
    s.cv.notify_all();
    aPacket* p = aLink_AwaitPacket(ref, 1000);
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
    aLink_Destroy(&ref);
  }
}

TEST(LinkStreamTest, ReadErrorSetsStatusSixAndAwaitGivesUpAtOnce) {
  ScriptedStream s;
  aLinkRef ref = aLink_Create(s.make());
  ASSERT_NE(ref, 0u);
  {
    std::lock_guard<std::mutex> lock(s.m);
    s.readError = aErrIO;
  }
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (aLink_GetStatus(ref) != linkStateStreamError && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(aLink_GetStatus(ref), linkStateStreamError);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(ref, drainAll, nullptr, 2000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  aLink_Destroy(&ref);
}

TEST(LinkStreamTest, SyncRequestOutlastsReadErrorsThatOverwriteTheStatus) {
  ScriptedStream s;
  aLinkRef ref = aLink_Create(s.make());
  ASSERT_NE(ref, 0u);
  {
    std::lock_guard<std::mutex> lock(s.m);
    s.readError = aErrIO;
  }
  aErr result = aErrUnknown;
  std::thread sync([&] { result = aLink_Sync(ref); });
  // Several failing reads, each storing status 6 over the sync's 4.
  std::this_thread::sleep_for(400ms);
  {
    std::lock_guard<std::mutex> lock(s.m);
    s.readError = aErrNone;
    s.in = {0x04, 0x00, 0x04, 0x00};
  }
  sync.join();
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), linkStateRunning);
  {
    std::lock_guard<std::mutex> lock(s.m);
    size_t queries = 0;
    for (const auto& w : s.writes) queries += w == Bytes{0xAD, 0x00};
    EXPECT_GE(queries, 6u);
  }
  aLink_Destroy(&ref);
}

TEST(LinkStreamTest, InitAgainReplacesWhatTheFirstMadeAndRefusesARunningLink) {
  ScriptedStream s1, s2;
  aLinkRef ref = aLink_Create(s1.make());
  ASSERT_NE(ref, 0u);
  aStream* refused = s2.make();
  EXPECT_EQ(aLink_Init(ref, refused), 0u) << "a running link must not be re-initialised";
  aStream_Destroy(&refused);  // a refused stream stays the caller's
  ASSERT_EQ(s2.deletes, 1);
  s2.deletes = 0;
  aLink* link = aLink_GetLinkObject(ref);
  ASSERT_EQ(aLink_Stop(link), aErrNone);
  const aPacketFifoId oldIn = link->inputFifo, oldOut = link->outputFifo;
  aStream* replacement = s2.make();
  EXPECT_EQ(aLink_Init(ref, replacement), ref);
  // The first initialisation's queues and stream are gone (ASan would report the rest).
  EXPECT_NE(link->inputFifo, oldIn);
  EXPECT_EQ(aPacketFifo_GetLength(oldIn), 0u);
  aPacketFifoId probe = oldOut;
  EXPECT_EQ(aPacketFifo_Destroy(&probe), aErrNotFound);
  EXPECT_EQ(s1.deletes, 1);
  EXPECT_EQ(link->status, linkStateStopped);
  // Without a stream: status 5, the stream kept.
  EXPECT_EQ(aLink_Init(ref, nullptr), ref);
  EXPECT_EQ(link->status, linkStateNoStream);
  EXPECT_EQ(link->stream, replacement);
  aLink_Destroy(&ref);
  EXPECT_EQ(s2.deletes, 1);
}

TEST(LinkIdTest, InvalidIdsAreRefused) {
  const aLinkRef never = 0xFFFFFF00u;
  EXPECT_EQ(aLink_GetStatus(never), linkStateNoStream);
  EXPECT_EQ(aLink_GetStatus(0), linkStateNoStream);
  EXPECT_EQ(aLink_Init(never, nullptr), 0u);
  EXPECT_EQ(aLink_Start(never), aErrParam);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
  EXPECT_EQ(aLink_Sync(never), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(never, 1), aErrNotFound);
  aPacket* p = aPacket_Create();
  EXPECT_EQ(aLink_PutPacket(never, p), aErrParam);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_GetPacket(never), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(never, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(never, drainAll, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(never, drainAll, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(never, true), aErrParam);
  aLinkRef ref = never;
  EXPECT_EQ(aLink_Destroy(&ref), aErrParam);
  EXPECT_EQ(ref, 0u);
  EXPECT_EQ(aLink_Reset(never), aErrParam);
}

}  // namespace
}  // namespace linktest
