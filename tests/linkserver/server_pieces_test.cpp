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
  std::vector<std::string> waiting() {
    std::vector<std::string> out;
    for (void* i = zlist_first(lists_.waiting); i; i = zlist_next(lists_.waiting)) {
      zframe_t* f = static_cast<zframe_t*>(i);
      out.emplace_back(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
    }
    return out;
  }
  // Every frame handed to the sync actor so far, ended by a marker request.
  std::vector<Bytes> handedOver() {
    const Bytes marker{2, 1, 0x17};
    aServer_HandleClientMessage(server_.get(), &lists_, id("marker"), frame(marker));
    zframe_t* last = static_cast<zframe_t*>(zlist_tail(lists_.waiting));
    zlist_remove(lists_.waiting, last);
    zframe_destroy(&last);
    std::vector<Bytes> out;
    Bytes b;
    while (sync_.next(&b) && b != marker) out.push_back(b);
    return out;
  }

  Pair sync_{"sync"};
  std::unique_ptr<aServer> server_;
  aServerBrokerLists lists_{};
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
  Bytes drained;
  for (uint32_t i = 0; i < kServerPoolTimeToLive; ++i) {
    send("B", get);
    while (sync_.next(&drained, 0)) {
    }
  }
  EXPECT_EQ(zlist_size(server_->packetPools), 1u);
  send("B", get);
  EXPECT_EQ(zlist_size(server_->packetPools), 0u);
  // Echo requests are no UEI payload and age nothing.
  send("A", chunk(28, 0, true));
  for (int i = 0; i < 3000; ++i) {
    send("B", {4, 1, 0x17});
    while (sync_.next(&drained, 0)) {
    }
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
