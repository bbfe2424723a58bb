// The link-sharing server's broker pieces on their own: packet frames, the
// reply rule, request handling (stream enable, byte-block pools, refused
// force routes) and the stream filter's batching, with the internal pairs
// replaced by in-process socket pairs the test reads.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "aServer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An in-process DEALER pair: `near` is what the code under test sends on.
struct Pair {
  // Every pair gets an endpoint of its own: an inproc name is released in the
  // background after its socket is destroyed.
  explicit Pair(const std::string& name) {
    static int serial = 0;
    const std::string endpoint = "inproc://" + name + "-" + std::to_string(++serial);
    near = zsock_new_dealer(("@" + endpoint).c_str());
    far = zsock_new_dealer((">" + endpoint).c_str());
    zsock_set_rcvtimeo(far, 2000);
  }
  ~Pair() {
    zsock_destroy(&far);
    zsock_destroy(&near);
  }
  // The next frame sent on `near`, or none within the time-out.
  bool next(Bytes* out, int timeoutMs = 2000) {
    zsock_set_rcvtimeo(far, timeoutMs);
    zframe_t* f = zframe_recv(far);
    if (!f) return false;
    out->assign(zframe_data(f), zframe_data(f) + zframe_size(f));
    zframe_destroy(&f);
    return true;
  }
  zsock_t* near = nullptr;
  zsock_t* far = nullptr;
};

zframe_t* frame(const Bytes& b) { return zframe_new(b.data(), b.size()); }
zframe_t* id(const char* name) { return zframe_new(name, std::strlen(name)); }

Bytes chunk(uint8_t length, uint8_t sequence, bool more) {
  Bytes b{4, length, 0x03, 32, 0x00};
  while (b.size() < static_cast<size_t>(length) + 1u) b.push_back(static_cast<uint8_t>(b.size()));
  b.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | sequence));
  return b;
}

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.reset(new aServer{});
    server_->syncBrokerEnd = sync_.near;
    server_->packetPools = zlist_new();
    lists_.waiting = zlist_new();
    lists_.subscribers = zlist_new();
  }
  void TearDown() override {
    for (zlist_t* l : {lists_.waiting, lists_.subscribers}) {
      while (zframe_t* f = static_cast<zframe_t*>(zlist_pop(l))) zframe_destroy(&f);
      zlist_destroy(&l);
    }
    server_->syncBrokerEnd = nullptr;
    aServer* s = server_.release();
    aServer_Destroy(&s);  // frees the pools still open
  }
  void send(const char* client, const Bytes& content) {
    aServer_HandleClientMessage(server_.get(), &lists_, id(client), frame(content));
  }
  // The clients owed an answer, in the order their requests were handed over.
  std::vector<std::string> waiting() {
    std::vector<std::string> out = answered_;
    for (void* i = zlist_first(lists_.waiting); i; i = zlist_next(lists_.waiting)) {
      zframe_t* f = static_cast<zframe_t*>(i);
      if (zframe_size(f) > 0) out.emplace_back(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
    }
    return out;
  }
  // Every frame handed to the sync actor so far. Each request handed over is
  // answered, as the sync actor's answer would (its waiting identity is
  // taken), so that the next is handed over.
  std::vector<Bytes> handedOver() {
    std::vector<Bytes> out;
    for (;;) {
      aServer_DispatchRequests(server_.get(), &lists_);
      Bytes b;
      while (sync_.next(&b, 0)) out.push_back(b);
      zframe_t* f = static_cast<zframe_t*>(zlist_pop(lists_.waiting));
      if (!f) return out;
      if (zframe_size(f) > 0) answered_.emplace_back(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
      zframe_destroy(&f);
    }
  }

  Pair sync_{"sync"};
  std::unique_ptr<aServer> server_;
  aServerBrokerLists lists_{};
  std::vector<std::string> answered_;
};

TEST(ServerFrameTest, OnlyWellFormedFramesBecomePackets) {
  struct Case {
    Bytes frame;
    bool packet;
    uint8_t length;
  } cases[] = {
      {{}, false, 0},
      {{4}, false, 0},
      {{4, 0}, true, 0},
      {{4, 1, 0x17}, true, 1},
      {{4, 1, 0x17, 0x99}, true, 1},  // bytes after the data are ignored
      {{4, 2, 0x17}, false, 0},       // shorter than its length byte says
      {Bytes(31, 1), false, 0},       // longer than any packet
  };
  Bytes tooLong{4, 29};
  tooLong.resize(30, 0);
  for (const Case& c : cases) {
    aPacket* p = aServer_FrameToPacket(c.frame.data(), c.frame.size());
    EXPECT_EQ(p != nullptr, c.packet) << ::testing::PrintToString(c.frame);
    if (p) {
      EXPECT_EQ(p->length, c.length);
      uint8_t wire[aPACKET_MAX_WIRE];
      size_t n = aServer_PacketToFrame(p, wire);
      EXPECT_EQ(Bytes(wire, wire + n), Bytes(c.frame.begin(), c.frame.begin() + c.length + 2));
    }
    aPacket_Destroy(&p);
  }
  EXPECT_EQ(aServer_FrameToPacket(tooLong.data(), tooLong.size()), nullptr);
}

TEST(ServerFrameTest, ReplyRuleExemptsForceRoutesAndNonFinalChunks) {
  struct Case {
    Bytes frame;
    bool answered;
  } cases[] = {
      {{0xAF, 1, 1}, false},
      {{0xAF, 2, 1, 0}, false},
      {chunk(28, 0, true), false},
      {chunk(27, 3, true), false},
      {chunk(28, 4, false), true},
      {chunk(26, 1, true), true},  // not full: a final packet whatever its bit
      {{4, 3, 0x17, 0x00, 0x80}, true},
      {[] {  // not a UEI payload (echo), full and with the bit set
         Bytes b{4, 28, 0x17};
         b.resize(29, 0);
         b.push_back(0x80);
         return b;
       }(),
       true},
  };
  for (const Case& c : cases) {
    aPacket* p = aServer_FrameToPacket(c.frame.data(), c.frame.size());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(aServer_IsResponseRequired(p), c.answered) << ::testing::PrintToString(c.frame);
    aPacket_Destroy(&p);
  }
}

TEST_F(RequestTest, RequestsAreHandedOverAndForceRoutesRefused) {
  send("A", {4, 1, 0x17});
  send("B", {0xAF, 1, 1});     // refused: never reaches the link
  send("B", {0xAF, 2, 1, 0});  // reaches the link, but nobody waits for an answer
  send("C", {4, 5, 0x17});     // not a packet
  send("C", {4});
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{{4, 1, 0x17}, {0xAF, 2, 1, 0}}));
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A"}));
}

// A force route's data byte may read as the next chunk's trailer (sequence
// 1 here): it must not be taken into the open transfer and reach the module.
TEST_F(RequestTest, ForceRouteNeverRidesInsideAnOpenTransfer) {
  send("A", chunk(28, 0, true));
  send("A", {0xAF, 1, 0x81});
  send("A", chunk(8, 1, false));
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{chunk(28, 0, true), chunk(8, 1, false)}));
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A"}));
}

TEST_F(RequestTest, ByteBlockIsHeldUntilItsLastChunkAndAnsweredOnce) {
  const std::vector<Bytes> block{chunk(28, 0, true), chunk(28, 1, true), chunk(28, 2, true), chunk(28, 3, true),
                                 chunk(8, 4, false)};
  for (size_t i = 0; i + 1 < block.size(); ++i) send("A", block[i]);
  EXPECT_TRUE(handedOver().empty());
  EXPECT_TRUE(waiting().empty());
  send("A", block.back());
  EXPECT_EQ(handedOver(), block);
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(zlist_size(server_->packetPools), 0u);
}

TEST_F(RequestTest, TransfersOfTwoClientsInterleaveWithoutMixing) {
  const std::vector<Bytes> a{chunk(28, 0, true), chunk(28, 1, true), chunk(10, 2, false)};
  std::vector<Bytes> b{chunk(28, 0, true), chunk(5, 1, false)};
  b[0][5] = 0xBB;  // tell the two apart
  send("A", a[0]);
  send("B", b[0]);
  send("A", a[1]);
  send("B", b[1]);
  send("A", a[2]);
  std::vector<Bytes> expected = b;
  expected.insert(expected.end(), a.begin(), a.end());
  EXPECT_EQ(handedOver(), expected);
  EXPECT_EQ(waiting(), (std::vector<std::string>{"B", "A"}));
}

TEST_F(RequestTest, ShortFirstChunkGoesThroughPacketByPacket) {
  const Bytes first = chunk(20, 0, true), second = chunk(5, 1, false);
  send("A", first);
  send("A", second);
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{first, second}));
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A", "A"}));
}

// A chunk out of sequence breaks the held transfer for good; the client's
// following requests (a retry, a plain get) must not be swallowed by it.
TEST_F(RequestTest, BrokenTransferDoesNotSwallowTheClientsNextRequests) {
  send("A", chunk(28, 0, true));
  send("A", chunk(28, 5, true));  // out of sequence
  const Bytes get{4, 3, 0x03, 0x48, 0x20};
  send("A", get);
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{chunk(28, 5, true), get}));
  const std::vector<Bytes> retry{chunk(28, 0, true), chunk(4, 1, false)};
  send("A", retry[0]);
  send("A", retry[1]);
  EXPECT_EQ(handedOver(), retry);
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A", "A"}));  // the get, the retry
}

TEST_F(RequestTest, PoolExpiresAfterTwoThousandFurtherPayloadPackets) {
  send("A", chunk(28, 0, true));
  const Bytes get{4, 3, 0x03, 0x48, 0x20};
  for (uint32_t i = 0; i < kServerPoolTimeToLive; ++i) {
    send("B", get);
    handedOver();
  }
  EXPECT_EQ(zlist_size(server_->packetPools), 1u);
  send("B", get);
  EXPECT_EQ(zlist_size(server_->packetPools), 0u);
  // Echo requests are no UEI payload and age nothing.
  send("A", chunk(28, 0, true));
  for (int i = 0; i < 3000; ++i) {
    send("B", {4, 1, 0x17});
    handedOver();
  }
  EXPECT_EQ(zlist_size(server_->packetPools), 1u);
}

TEST_F(RequestTest, StreamEnableSubscribesEachClientOnce) {
  const Bytes enable{4, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
  const Bytes disable{4, 7, 0x5D, 0x01, 0, 0, 0, 0, 0};
  send("A", enable);
  send("A", enable);
  send("A", disable);
  send("B", {4, 6, 0x5D, 0x81, 0, 0, 0, 0});  // wrong length: not an enable
  EXPECT_EQ(zlist_size(lists_.subscribers), 1u);
  send("B", enable);
  EXPECT_EQ(zlist_size(lists_.subscribers), 2u);
  // Enables still reach the module like any request.
  EXPECT_EQ(handedOver().size(), 5u);
}

// Remote clients must not grow the list without bound: enables beyond it
// subscribe no one, and still reach the module.
TEST_F(RequestTest, StreamSubscribersAreBounded) {
  const Bytes enable{4, 7, 0x5D, 0x81, 0, 0, 0, 0, 1};
  for (size_t i = 0; i <= kServerMaxSubscribers; ++i) send(("client-" + std::to_string(i)).c_str(), enable);
  EXPECT_EQ(zlist_size(lists_.subscribers), kServerMaxSubscribers);
  zframe_t* last = static_cast<zframe_t*>(zlist_tail(lists_.subscribers));
  EXPECT_TRUE(zframe_streq(last, ("client-" + std::to_string(kServerMaxSubscribers - 1)).c_str()));
  EXPECT_EQ(handedOver().size(), kServerMaxSubscribers + 1);
}

Bytes echoFrame(uint8_t tag) { return {4, 2, 0x17, tag}; }

// Requests go to the link one at a time, the clients taking turns; one that
// comes while another client's request is with the link is served before
// that client's next one.
TEST_F(RequestTest, ClientsTakeTurns) {
  send("A", echoFrame(0xA1));
  send("A", echoFrame(0xA2));
  send("A", echoFrame(0xA3));
  send("B", echoFrame(0xB1));
  send("B", echoFrame(0xB2));
  send("C", echoFrame(0xC1));
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{echoFrame(0xA1), echoFrame(0xB1), echoFrame(0xC1), echoFrame(0xA2),
                                              echoFrame(0xB2), echoFrame(0xA3)}));
  EXPECT_EQ(waiting(), (std::vector<std::string>{"A", "B", "C", "A", "B", "A"}));

  send("A", echoFrame(0xA4));
  send("A", echoFrame(0xA5));
  aServer_DispatchRequests(server_.get(), &lists_);  // A4 is with the link
  send("B", echoFrame(0xB3));
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{echoFrame(0xA4), echoFrame(0xB3), echoFrame(0xA5)}));

  // Also when the client had nothing more queued at its hand-over.
  send("A", echoFrame(0xA6));
  aServer_DispatchRequests(server_.get(), &lists_);
  send("A", echoFrame(0xA7));
  send("B", echoFrame(0xB4));
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{echoFrame(0xA6), echoFrame(0xB4), echoFrame(0xA7)}));
}

// A request the module does not answer is with the link too: the next
// waits until the sync actor says it is done.
TEST_F(RequestTest, RequestWithoutAnswerIsHandedOverAloneAndOwedToNobody) {
  send("A", {0xAF, 2, 1, 0});
  send("B", echoFrame(0xB1));
  aServer_DispatchRequests(server_.get(), &lists_);
  ASSERT_EQ(zlist_size(lists_.waiting), 1u);
  EXPECT_EQ(zframe_size(static_cast<zframe_t*>(zlist_first(lists_.waiting))), 0u);
  EXPECT_EQ(handedOver(), (std::vector<Bytes>{{0xAF, 2, 1, 0}, echoFrame(0xB1)}));
  EXPECT_EQ(waiting(), (std::vector<std::string>{"B"}));
}

// A client floods: past its share its requests are dropped and counted,
// whatever it sends, and another client's request is still taken.
TEST_F(RequestTest, ClientsShareIsBounded) {
  struct Case {
    const char* name;
    size_t blockChunks;  // a byte block held for A first (never completed)
    size_t requests;     // then this many echo requests from A
    size_t dropped;
  };
  const Case cases[] = {
      {"requests alone", 0, kServerClientPacketsWaiting + 5, 5},
      {"a held block counts its chunks", 4000, 200, 104},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    answered_.clear();
    for (size_t i = 0; i < c.blockChunks; ++i) send("A", chunk(28, static_cast<uint8_t>(i & 0x7F), true));
    for (size_t i = 0; i < c.requests; ++i) send("A", echoFrame(static_cast<uint8_t>(i)));
    send("B", echoFrame(0xB1));
    EXPECT_EQ(server_->droppedRequests.load(), c.dropped);
    const std::vector<Bytes> handed = handedOver();
    ASSERT_EQ(handed.size(), c.requests - c.dropped + 1);
    EXPECT_EQ(handed[1], echoFrame(0xB1));  // B's turn comes second
    EXPECT_EQ(handed.back(), echoFrame(static_cast<uint8_t>(c.requests - c.dropped - 1)));
  }
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.reset(new aServer{});
    server_->streamFilterEnd = stream_.near;
  }
  void TearDown() override { server_->streamFilterEnd = nullptr; }
  bool feed(const Bytes& data, uint8_t address = 4) {
    aPacket* p = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    bool taken = aServer_StreamingPacketFilter(p, server_.get());
    aPacket_Destroy(&p);
    return taken;
  }
  Pair stream_{"stream"};
  std::unique_ptr<aServer> server_;
};

Bytes sample(uint8_t n) {
  Bytes d{0x03, 0x07, 0x40};  // option below 0x40, index with the stream bit
  while (d.size() < 28) d.push_back(n);
  return d;
}
const Bytes kHeartbeat{0x00, 0x01};

TEST_F(FilterTest, BatchesStreamPacketsAndFlushesWhenFullOrOnAHeartbeat) {
  EXPECT_FALSE(feed(kHeartbeat));  // empty batch: nothing is sent
  EXPECT_FALSE(feed({0x17, 1}));
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(feed(sample(static_cast<uint8_t>(i))));
  Bytes batch;
  ASSERT_TRUE(stream_.next(&batch));
  ASSERT_EQ(batch.size(), 136u * 30);  // sent when the 136th was added
  EXPECT_EQ(Bytes(batch.begin(), batch.begin() + 3), (Bytes{4, 28, 0x03}));
  EXPECT_EQ(batch[135 * 30 + 5], 135);
  EXPECT_FALSE(feed(kHeartbeat));
  ASSERT_TRUE(stream_.next(&batch));
  ASSERT_EQ(batch.size(), 64u * 30);
  EXPECT_EQ(batch[5], 136);
  EXPECT_EQ(batch[63 * 30 + 5], 199);
  // Short stream packets; a heartbeat of the other value also flushes.
  const Bytes small{0x03, 0x07, 0x41, 9, 9};
  EXPECT_TRUE(feed(small));
  EXPECT_FALSE(feed({0x00, 0x00}));
  ASSERT_TRUE(stream_.next(&batch));
  EXPECT_EQ(batch, (Bytes{4, 5, 0x03, 0x07, 0x41, 9, 9}));
}

TEST_F(FilterTest, OnlyStreamPacketsAreTaken) {
  struct Case {
    Bytes data;
    bool taken;
  } cases[] = {
      {{0x03, 0x07, 0x40, 1, 2}, true},
      {{0x03, 0x07, 0x40, 1}, false},        // too short for a sample
      {{0x03, 0x47, 0x40, 1, 2}, false},     // a get reply, not a sample
      {{0x03, 0x07, 0x00, 1, 2}, false},     // no stream bit
      {{0x17, 0x07, 0x40, 1, 2}, false},     // echo is no UEI payload
      {{0x00, 0x02}, false},                 // heartbeat
  };
  for (const Case& c : cases) EXPECT_EQ(feed(c.data), c.taken) << ::testing::PrintToString(c.data);
}

}  // namespace
