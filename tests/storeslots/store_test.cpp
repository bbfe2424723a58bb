// Store slots and factory data through a Link, against the simulated
// module's store: every sub-command's answers and refusals, chunking at the
// packet boundaries, byte-sum checks, time-outs, and what is read back.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Link.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "SimStore.h"

using namespace Tovanire::Jorvanite;
using jvsim::Bytes;

namespace {

constexpr const char* kHost = "127.0.0.10";
constexpr uint8_t kAddress = 4;
constexpr uint8_t kStore = 1, kSlot = 2;

uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

Bytes pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
  return b;
}

Bytes cat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Sees each host packet before the module's layers (may answer it too).
class Ahead : public jvsim::CommandHandler {
 public:
  using Hook = std::function<void(jvsim::SimModule&, const jvsim::Packet&)>;
  void set(Hook h) {
    std::lock_guard<std::mutex> lock(m);
    hook = std::move(h);
  }
  Hook hook;
  std::mutex m;
  bool handle(jvsim::SimModule& module, const jvsim::Packet& packet) override {
    std::lock_guard<std::mutex> lock(m);
    if (hook) hook(module, packet);
    return false;
  }
};

class StoreSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = jvsim::SimModule::overTcp(kHost);
    sim_->addHandler(ahead_);
    jvsim::SimCommands::install(*sim_);
    store_ = jvsim::SimStore::of(*sim_);
    ASSERT_NE(store_, nullptr);
    sim_->start();
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.address = ipv4(kHost);
    spec.port = sim_->tcp()->port();
    spec.module = kAddress;
    ASSERT_EQ(link_.setLinkSpecifier(spec), aErrNone);
    ASSERT_EQ(link_.connect(), aErrNone);
  }
  void TearDown() override {
    link_.disconnect();
    sim_->stop();
  }

  // The requests of one sub-command (data byte 1 as sent).
  std::vector<Bytes> requests(uint8_t command, uint8_t sub) const {
    std::vector<Bytes> out;
    for (const Bytes& r : store_->requests()) {
      if (r.size() > 1 && r[0] == command && r[1] == sub) out.push_back(r);
    }
    return out;
  }
  size_t storeRequests(uint8_t sub) const { return requests(jvsim::kCmdStore, sub).size(); }
  void scope(int command, int sub) {
    store_->faults().command = command;
    store_->faults().subCommand = sub;
  }

  std::unique_ptr<jvsim::SimModule> sim_;
  std::shared_ptr<Ahead> ahead_ = std::make_shared<Ahead>();
  std::shared_ptr<jvsim::SimStore> store_;
  Link link_{"Link"};
};

TEST_F(StoreSlots, CapacityAndSizeRepliesAndRefusals) {
  struct Case {
    const char* name;
    uint8_t slot;
    std::atomic<int> jvsim::StoreFaults::* fault;
    aErr capacity;
    aErr size;
  } cases[] = {
      {"answered", kSlot, nullptr, aErrNone, aErrNone},
      {"no such slot: the module's code", 9, nullptr, aErrIndexRange, aErrIndexRange},
      {"error reply", kSlot, &jvsim::StoreFaults::errorReplies, aErrIO, aErrIO},
      {"short reply", kSlot, &jvsim::StoreFaults::shortReply, aErrUnknown, aErrUnknown},
      {"long reply", kSlot, &jvsim::StoreFaults::longReply, aErrUnknown, aErrUnknown},
      {"silence", kSlot, &jvsim::StoreFaults::silence, aErrTimeout, aErrTimeout},
  };
  store_->addSlot(kStore, kSlot, 300, pattern(40));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) (store_->faults().*c.fault) = 2;
    size_t capacity = 12345, size = 12345;
    EXPECT_EQ(link_.storeSlotCapacity(kAddress, kStore, c.slot, &capacity), c.capacity);
    EXPECT_EQ(link_.storeSlotSize(kAddress, kStore, c.slot, &size), c.size);
    EXPECT_EQ(capacity, c.capacity == aErrNone ? 300u : 12345u);
    EXPECT_EQ(size, c.size == aErrNone ? 40u : 12345u);
  }
  EXPECT_EQ(requests(jvsim::kCmdStore, 1).front(), (Bytes{4, 1, kStore, kSlot}));
  EXPECT_EQ(requests(jvsim::kCmdStore, 2).front(), (Bytes{4, 2, kStore, kSlot}));
}

// Writing sends chunks of at most 25 bytes, each acknowledged with its
// byte sum; the slot then holds the data and reads back the same, through
// reads of whatever chunks the module answers with.
TEST_F(StoreSlots, WriteChunksAndReadBack) {
  for (size_t length : {0u, 1u, 24u, 25u, 26u, 27u, 50u, 51u, 60u, 75u, 76u, 255u}) {
    SCOPED_TRACE(length);
    store_->addSlot(kStore, kSlot, 1000, pattern(3, 0xEE));
    const size_t before = store_->requests().size();
    const Bytes data = pattern(length, static_cast<uint8_t>(length));
    ASSERT_EQ(link_.loadStoreSlot(kAddress, kStore, kSlot, data.data(), length), aErrNone);
    EXPECT_EQ(store_->slot(kStore, kSlot), data);

    const std::vector<Bytes> all = store_->requests();
    const std::vector<Bytes> sent(all.begin() + before, all.end());
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.front(), (Bytes{4, 4, kStore, kSlot}));
    ASSERT_EQ(sent.back().size(), 3u);
    EXPECT_EQ(sent.back()[1], 8);
    const size_t chunks = (length + 24) / 25;
    ASSERT_EQ(sent.size(), chunks + 2);
    for (size_t i = 0; i < chunks; ++i) {
      const size_t n = std::min<size_t>(25, length - 25 * i);
      EXPECT_EQ(sent[1 + i], cat({4, 7, sent.back()[2]}, Bytes(data.begin() + 25 * i, data.begin() + 25 * i + n)));
    }

    Bytes back(length + 5, 0xCC);
    size_t received = 999;
    ASSERT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, back.data(), back.size(), &received), aErrNone);
    EXPECT_EQ(received, length);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + length), data);
    EXPECT_EQ(store_->openHandles(), 0u);
  }
}

TEST_F(StoreSlots, WriteFailuresStillCloseTheSlot) {
  struct Case {
    const char* name;
    std::atomic<int> jvsim::StoreFaults::* fault;
    int sub;
    int strikes;  // faults before it strikes: chunks acknowledged first
    aErr expected;
    size_t writes;  // write requests sent
    size_t closes;
  } cases[] = {
      {"wrong sum on the second chunk", &jvsim::StoreFaults::wrongSum, 7, 1, aErrIO, 2, 1},
      // Three bytes never pass for an acknowledgement: it is still awaited.
      {"short acknowledgement", &jvsim::StoreFaults::shortReply, 7, 0, aErrTimeout, 1, 1},
      {"long acknowledgement", &jvsim::StoreFaults::longReply, 7, 0, aErrIO, 1, 1},
      {"error reply on a chunk", &jvsim::StoreFaults::errorReplies, 7, 0, aErrIO, 1, 1},
      {"silent chunk", &jvsim::StoreFaults::silence, 7, 1, aErrTimeout, 2, 1},
      {"open refused", &jvsim::StoreFaults::errorReplies, 4, 0, aErrMedia, 0, 0},
      {"open unanswered", &jvsim::StoreFaults::silence, 4, 0, aErrMedia, 0, 0},
      {"close refused", &jvsim::StoreFaults::errorReplies, 8, 0, aErrIO, 3, 1},
      {"close unanswered", &jvsim::StoreFaults::silence, 8, 0, aErrTimeout, 3, 1},
      {"short close reply", &jvsim::StoreFaults::shortReply, 8, 0, aErrTimeout, 3, 1},
      {"long close reply", &jvsim::StoreFaults::longReply, 8, 0, aErrIO, 3, 1},
  };
  const Bytes data = pattern(60);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_->addSlot(kStore, kSlot, 1000);
    scope(jvsim::kCmdStore, c.sub);
    // Chunks before the faulty one pass: a "next N" fault that strikes the
    // (strikes + 1)-th request is armed by first letting `strikes` pass.
    size_t writesBefore = storeRequests(7), closesBefore = storeRequests(8);
    if (c.strikes) {
      ahead_->set([&, armed = false](jvsim::SimModule&, const jvsim::Packet& p) mutable {
        if (!armed && p.data.size() > 1 && p.data[0] == 4 && p.data[1] == c.sub &&
            storeRequests(static_cast<uint8_t>(c.sub)) - writesBefore == static_cast<size_t>(c.strikes)) {
          store_->faults().*c.fault = 1;
          armed = true;
        }
      });
    } else {
      store_->faults().*c.fault = 1;
    }
    EXPECT_EQ(link_.loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()), c.expected);
    ahead_->set(nullptr);
    store_->faults().*c.fault = 0;
    EXPECT_EQ(storeRequests(7) - writesBefore, c.writes);
    EXPECT_EQ(storeRequests(8) - closesBefore, c.closes);
  }
}

TEST_F(StoreSlots, WritePastTheCapacityGivesTheModulesCode) {
  store_->addSlot(kStore, kSlot, 30);
  const Bytes data = pattern(31);
  EXPECT_EQ(link_.loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()), aErrSize);
  EXPECT_EQ(storeRequests(8), 1u);
  EXPECT_EQ(store_->slot(kStore, kSlot), Bytes(data.begin(), data.begin() + 25));  // what it took
}

TEST_F(StoreSlots, ReadIntoASmallBufferAndReadFailures) {
  store_->addSlot(kStore, kSlot, 100, pattern(40));
  Bytes buffer(30);
  size_t received = 0;
  EXPECT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &received), aErrOverrun);
  EXPECT_EQ(received, 30u);
  const Bytes contents = pattern(40);
  EXPECT_EQ(buffer, Bytes(contents.begin(), contents.begin() + 30));
  EXPECT_EQ(storeRequests(8), 1u);

  struct Case {
    const char* name;
    std::atomic<int> jvsim::StoreFaults::* fault;
    int sub;
    aErr expected;
    size_t opens;
    size_t closes;
  } cases[] = {
      {"size refused: the slot is not opened", &jvsim::StoreFaults::errorReplies, 2, aErrIO, 0, 0},
      {"size unanswered", &jvsim::StoreFaults::silence, 2, aErrTimeout, 0, 0},
      {"open refused", &jvsim::StoreFaults::errorReplies, 3, aErrMedia, 1, 0},
      {"read refused", &jvsim::StoreFaults::errorReplies, 6, aErrIO, 1, 1},
      {"read unanswered", &jvsim::StoreFaults::silence, 6, aErrTimeout, 1, 1},
      {"close refused", &jvsim::StoreFaults::errorReplies, 8, aErrIO, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scope(jvsim::kCmdStore, c.sub);
    store_->faults().*c.fault = 1;
    const size_t opens = storeRequests(3), closes = storeRequests(8);
    received = 777;
    Bytes all(100);
    EXPECT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, all.data(), all.size(), &received), c.expected);
    EXPECT_EQ(received, 777u);
    EXPECT_EQ(storeRequests(3) - opens, c.opens);
    EXPECT_EQ(storeRequests(8) - closes, c.closes);
    store_->faults().*c.fault = 0;
  }
}

// Replies are taken from the module asked only: another module's answer on
// the same link, sent first, is not taken for this one's.
TEST_F(StoreSlots, RepliesFromAnotherModuleAreNotTaken) {
  store_->addSlot(kStore, kSlot, 300);
  ahead_->set([](jvsim::SimModule& module, const jvsim::Packet& p) {
    if (p.data.size() > 1 && p.data[0] == 4 && p.data[1] == 1) module.send(jvsim::Packet{6, {4, 1, kStore, kSlot, 0, 9}});
  });
  size_t capacity = 0;
  EXPECT_EQ(link_.storeSlotCapacity(kAddress, kStore, kSlot, &capacity), aErrNone);
  EXPECT_EQ(capacity, 300u);
}

// A reply that turns up after its request gave up waiting (sent here by the
// module unasked, and known to be queued once a later echo is back) is
// dropped before the next request of the same kind, not taken as its answer.
TEST_F(StoreSlots, StaleRepliesDoNotAnswerTheNextRequest) {
  const Bytes contents = pattern(40);
  store_->addSlot(kStore, kSlot, 300, contents);
  store_->setFactory(7, pattern(30, 9));
  const Bytes written = pattern(30, 3);
  struct Case {
    const char* name;
    Bytes stale;
    std::function<void()> check;
  } cases[] = {
      {"capacity", {4, 1, kStore, kSlot, 0, 9},
       [&] {
         size_t capacity = 0;
         EXPECT_EQ(link_.storeSlotCapacity(kAddress, kStore, kSlot, &capacity), aErrNone);
         EXPECT_EQ(capacity, 300u);
       }},
      {"size", {4, 2, kStore, kSlot, 0, 9},
       [&] {
         size_t size = 0;
         EXPECT_EQ(link_.storeSlotSize(kAddress, kStore, kSlot, &size), aErrNone);
         EXPECT_EQ(size, 40u);
       }},
      {"open for reading", {4, 3, kStore, kSlot, 77},
       [&] {
         Bytes back(100);
         size_t received = 0;
         EXPECT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, back.data(), back.size(), &received), aErrNone);
         EXPECT_EQ(Bytes(back.begin(), back.begin() + received), contents);
       }},
      {"open for writing", {4, 4, kStore, kSlot, 77},
       [&] {
         EXPECT_EQ(link_.loadStoreSlot(kAddress, kStore, kSlot, written.data(), written.size()), aErrNone);
         EXPECT_EQ(store_->slot(kStore, kSlot), written);
         store_->addSlot(kStore, kSlot, 300, contents);
       }},
      {"factory read", {0x5E, 7, 1, 2, 3},
       [&] {
         Bytes back(100);
         size_t received = 0;
         EXPECT_EQ(link_.getFactoryData(kAddress, 7, back.data(), back.size(), &received), aErrNone);
         EXPECT_EQ(Bytes(back.begin(), back.begin() + received), pattern(30, 9));
       }},
      {"factory write acknowledgement", {0x5E, 0x80 | 5, 6},
       [&] { EXPECT_EQ(link_.setFactoryData(kAddress, 5, written.data(), written.size()), aErrNone); }},
      {"factory end", {0x5E, 0x80, 6}, [&] { EXPECT_EQ(link_.setFactoryData(kAddress, 9, nullptr, 0), aErrNone); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_->send(jvsim::Packet{kAddress, c.stale});
    const uint8_t echo[] = {0xE5};
    ASSERT_EQ(link_.sendPacket(kAddress, jvsim::kCmdEcho, 1, echo), aErrNone);
    uint8_t out[aPACKET_MAX_DATA];
    uint8_t length = 2;
    const uint8_t prefix[] = {jvsim::kCmdEcho, 0xE5};
    ASSERT_EQ(link_.receivePacket(kAddress, prefix, &length, out), aErrNone);
    c.check();
  }
}

// A refusal whose code is 0 opens nothing: no handle 0 is read, written or closed.
TEST_F(StoreSlots, OpenRefusedWithCodeZeroIsNotOpened) {
  store_->addSlot(kStore, kSlot, 300, pattern(40));
  store_->faults().errorCode = 0;
  const Bytes data = pattern(10);
  for (int sub : {3, 4}) {
    SCOPED_TRACE(sub);
    scope(jvsim::kCmdStore, sub);
    store_->faults().errorReplies = 1;
    Bytes back(100);
    size_t received = 0;
    EXPECT_EQ(sub == 3 ? link_.unloadStoreSlot(kAddress, kStore, kSlot, back.data(), back.size(), &received)
                       : link_.loadStoreSlot(kAddress, kStore, kSlot, data.data(), data.size()),
              aErrMedia);
  }
  EXPECT_EQ(storeRequests(6), 0u);
  EXPECT_EQ(storeRequests(7), 0u);
  EXPECT_EQ(storeRequests(8), 0u);
  EXPECT_EQ(store_->slot(kStore, kSlot), pattern(40));
}

TEST_F(StoreSlots, FactoryWriteSendsFlaggedChunksThenTheCount) {
  const Bytes data = pattern(30);
  ASSERT_EQ(link_.setFactoryData(kAddress, 3, data.data(), data.size()), aErrNone);
  EXPECT_EQ(store_->requests(), (std::vector<Bytes>{cat({0x5E, 0x53}, Bytes(data.begin(), data.begin() + 26)),
                                                    cat({0x5E, 0x13}, Bytes(data.begin() + 26, data.end())),
                                                    {0x5E, 0x20, 0x00, 0x1E}}));
  EXPECT_EQ(store_->factory(3), data);

  ASSERT_EQ(link_.setFactoryData(kAddress, 5, nullptr, 0), aErrNone);
  EXPECT_EQ(store_->requests().back(), (Bytes{0x5E, 0x20, 0x00, 0x00}));
}

TEST_F(StoreSlots, FactoryDataReadsBackWhatWasWritten) {
  for (size_t length : {1u, 25u, 26u, 27u, 52u, 53u, 100u, 300u}) {
    SCOPED_TRACE(length);
    const Bytes data = pattern(length, static_cast<uint8_t>(length));
    const uint8_t item = static_cast<uint8_t>(length % 16);
    ASSERT_EQ(link_.setFactoryData(kAddress, item, data.data(), data.size()), aErrNone);
    const size_t before = store_->requests().size();
    Bytes back(length + 1);
    size_t received = 0;
    ASSERT_EQ(link_.getFactoryData(kAddress, item, back.data(), back.size(), &received), aErrNone);
    EXPECT_EQ(received, length);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + length), data);
    // One request per 26 bytes, one more when the last reply was full, then the end marker.
    const std::vector<Bytes> all = store_->requests();
    const std::vector<Bytes> sent(all.begin() + before, all.end());
    ASSERT_EQ(sent.size(), length / 26 + 2);
    EXPECT_EQ(sent.front(), (Bytes{0x5E, static_cast<uint8_t>(0x40 | item)}));
    for (size_t i = 1; i + 1 < sent.size(); ++i) EXPECT_EQ(sent[i], (Bytes{0x5E, item}));
    EXPECT_EQ(sent.back(), (Bytes{0x5E, 0x20, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}));
  }
}

TEST_F(StoreSlots, FactoryReadNeedsOneByteMoreThanTheData) {
  store_->setFactory(2, pattern(26));
  Bytes buffer(26);
  size_t received = 99;
  EXPECT_EQ(link_.getFactoryData(kAddress, 2, buffer.data(), buffer.size(), &received), aErrOverrun);
  EXPECT_EQ(received, 99u);
  EXPECT_TRUE(requests(0x5E, 0x20).empty());  // no end marker after a failure

  buffer.resize(27);
  EXPECT_EQ(link_.getFactoryData(kAddress, 2, buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(received, 26u);
  EXPECT_EQ(requests(0x5E, 0x20), (std::vector<Bytes>{{0x5E, 0x20, 0x00, 26}}));
}

TEST_F(StoreSlots, FactoryFailures) {
  store_->setFactory(7, pattern(40));
  struct Case {
    const char* name;
    bool write;
    std::atomic<int> jvsim::StoreFaults::* fault;
    int sub;  // 1 read, 2 write, 3 end
    aErr expected;
    bool endSent;
  } cases[] = {
      {"read refused", false, &jvsim::StoreFaults::errorReplies, 1, aErrIO, false},
      {"read unanswered", false, &jvsim::StoreFaults::silence, 1, aErrTimeout, false},
      {"read end refused", false, &jvsim::StoreFaults::errorReplies, 3, aErrIO, true},
      {"read end unanswered", false, &jvsim::StoreFaults::silence, 3, aErrTimeout, true},
      // A full reply cut short ends the read early; the count then tells the module.
      {"short read reply", false, &jvsim::StoreFaults::shortReply, 1, aErrSize, true},
      {"write refused", true, &jvsim::StoreFaults::errorReplies, 2, aErrIO, false},
      {"write unanswered", true, &jvsim::StoreFaults::silence, 2, aErrTimeout, false},
      {"long acknowledgement", true, &jvsim::StoreFaults::longReply, 2, aErrSize, false},
      {"write end refused", true, &jvsim::StoreFaults::errorReplies, 3, aErrIO, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scope(jvsim::kCmdFactory, c.sub);
    store_->faults().*c.fault = 1;
    const size_t ends = requests(0x5E, 0x20).size();
    Bytes buffer(100);
    size_t received = 5;
    if (c.write) {
      EXPECT_EQ(link_.setFactoryData(kAddress, 8, buffer.data(), 40), c.expected);
    } else {
      EXPECT_EQ(link_.getFactoryData(kAddress, 7, buffer.data(), buffer.size(), &received), c.expected);
      EXPECT_EQ(received, 5u);
    }
    EXPECT_EQ(requests(0x5E, 0x20).size() - ends, c.endSent ? 1u : 0u);
    store_->faults().*c.fault = 0;
  }
  EXPECT_TRUE(store_->factory(8).empty());  // no write was ever ended well
}

TEST_F(StoreSlots, RefusesBadArgumentsAndAnUnconnectedLink) {
  uint8_t buffer[8] = {};
  size_t n = 0;
  EXPECT_EQ(link_.storeSlotCapacity(kAddress, kStore, kSlot, nullptr), aErrParam);
  EXPECT_EQ(link_.storeSlotSize(kAddress, kStore, kSlot, nullptr), aErrParam);
  EXPECT_EQ(link_.loadStoreSlot(kAddress, kStore, kSlot, nullptr, 3), aErrParam);
  EXPECT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, nullptr, 8, &n), aErrParam);
  EXPECT_EQ(link_.unloadStoreSlot(kAddress, kStore, kSlot, buffer, 8, nullptr), aErrParam);
  EXPECT_EQ(link_.getFactoryData(kAddress, 1, nullptr, 8, &n), aErrParam);
  EXPECT_EQ(link_.getFactoryData(kAddress, 1, buffer, 8, nullptr), aErrParam);
  EXPECT_EQ(link_.getFactoryData(kAddress, 16, buffer, 8, &n), aErrParam);
  EXPECT_EQ(link_.setFactoryData(kAddress, 1, nullptr, 3), aErrParam);
  EXPECT_EQ(link_.setFactoryData(kAddress, 16, buffer, 3), aErrParam);
  EXPECT_EQ(link_.storeSlotCapacity(5, kStore, kSlot, &n), aErrPacket);
  EXPECT_EQ(link_.setFactoryData(0, 1, buffer, 3), aErrPacket);
  EXPECT_TRUE(store_->requests().empty());

  Link idle("Idle");
  EXPECT_EQ(idle.storeSlotCapacity(kAddress, kStore, kSlot, &n), aErrConnection);
  EXPECT_EQ(idle.storeSlotSize(kAddress, kStore, kSlot, &n), aErrConnection);
  EXPECT_EQ(idle.loadStoreSlot(kAddress, kStore, kSlot, buffer, 3), aErrConnection);
  EXPECT_EQ(idle.unloadStoreSlot(kAddress, kStore, kSlot, buffer, 8, &n), aErrConnection);
  EXPECT_EQ(idle.getFactoryData(kAddress, 1, buffer, 8, &n), aErrConnection);
  EXPECT_EQ(idle.setFactoryData(kAddress, 1, buffer, 3), aErrConnection);
}

}  // namespace
