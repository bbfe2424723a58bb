#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "WaitUntil.h"
#include "aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr make(std::vector<uint8_t> data)
{
  data.push_back(0);  // a valid pointer also for an empty packet
  return PacketPtr(aPacket_CreateWithData(2, static_cast<uint8_t>(data.size() - 1), data.data()));
}

uint8_t firstByte(const PacketPtr& p)
{
  return p ? p->data[0] : 0;
}

class Fifo : public ::testing::Test {
protected:
  void SetUp() override
  {
    id = aPacketFifo_Create();
    ASSERT_NE(0u, id);
  }
  void TearDown() override
  {
    if (id)
      aPacketFifo_Destroy(&id);
  }
  void put(uint8_t first)
  {
    PacketPtr p = make({first, 0x11});
    ASSERT_EQ(aErrNone, aPacketFifo_Put(id, p.get()));
  }
  std::vector<uint8_t> drainOrder()
  {
    std::vector<uint8_t> out;
    while (PacketPtr p{aPacketFifo_Get(id)})
      out.push_back(p->data[0]);
    return out;
  }
  aPacketFifoId id = 0;
};

TEST_F(Fifo, PutCopiesAndGetHandsOutOwnCopy)
{
  PacketPtr mine = make({0x03, 0x07, 0x09});
  ASSERT_EQ(aErrNone, aPacketFifo_Put(id, mine.get()));
  mine->data[0] = 0x55;  // the queue holds its own copy
  PacketPtr got{aPacketFifo_Get(id)};
  ASSERT_TRUE(got);
  EXPECT_NE(mine.get(), got.get());
  EXPECT_EQ(2, got->address);
  EXPECT_EQ(3, got->length);
  EXPECT_EQ(0, std::memcmp("\x03\x07\x09", got->data, 3));
  EXPECT_TRUE(aVALIDPACKET(mine.get()));
  EXPECT_EQ(0x55, mine->data[0]);
  EXPECT_EQ(nullptr, aPacketFifo_Get(id));
}

TEST_F(Fifo, OrderKept)
{
  put(1);
  put(2);
  put(3);
  EXPECT_EQ(3u, aPacketFifo_GetLength(id));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), drainOrder());
}

TEST_F(Fifo, InvalidPacketRefused)
{
  PacketPtr p = make({1});
  p->check = 0;
  EXPECT_EQ(aErrParam, aPacketFifo_Put(id, p.get()));
  p->check = aPACKETCHECK;
  EXPECT_EQ(aErrParam, aPacketFifo_Put(id, nullptr));
  EXPECT_EQ(0u, aPacketFifo_GetLength(id));
}

TEST_F(Fifo, FullQueueRefusesThePutAndKeepsWhatItHolds)
{
  for (int i = 0; i < aPACKETFIFO_MAX_PACKETS; ++i)
    put(static_cast<uint8_t>(i));
  PacketPtr extra = make({0xEE});
  EXPECT_EQ(aErrOverrun, aPacketFifo_Put(id, extra.get()));  // the 1001st
  EXPECT_EQ(1000u, aPacketFifo_GetLength(id));
  PacketPtr first{aPacketFifo_Get(id)};
  EXPECT_EQ(0, firstByte(first));
  put(0xFF);  // a take makes room for one
  EXPECT_EQ(aErrOverrun, aPacketFifo_Put(id, extra.get()));
  std::vector<uint8_t> left = drainOrder();
  ASSERT_EQ(1000u, left.size());
  EXPECT_EQ(1, left.front());
  EXPECT_EQ(0xFF, left.back());
}

TEST_F(Fifo, WakeEndsAWaitWithoutAPacket)
{
  // Woken before or while the other thread waits: either way its wait ends
  // at once, long before its own time-out.
  auto waiter = std::async(std::launch::async, [&] {
    const auto t0 = Clock::now();
    PacketPtr p{aPacketFifo_Await(id, 20000)};
    return std::make_pair(p == nullptr, Clock::now() - t0);
  });
  EXPECT_EQ(aErrNone, aPacketFifo_Wake(id));
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(10)));
  const auto [empty, took] = waiter.get();
  EXPECT_TRUE(empty);
  EXPECT_LT(took, std::chrono::seconds(10));
  // One wake ends one wait, and a wait with a packet queued takes it.
  put(5);
  EXPECT_EQ(aErrNone, aPacketFifo_Wake(id));
  EXPECT_EQ(5, firstByte(PacketPtr{aPacketFifo_Await(id, 1000)}));
  const auto t0 = Clock::now();
  EXPECT_EQ(nullptr, aPacketFifo_Await(id, 50));
  EXPECT_GE(Clock::now() - t0, milliseconds(50));
  EXPECT_EQ(aErrParam, aPacketFifo_Wake(0));
}

TEST_F(Fifo, AwaitRoomSleepsFromTheHighMarkDownToTheLowOne)
{
  for (int i = 0; i < 9; ++i)
    put(static_cast<uint8_t>(i));
  EXPECT_EQ(aErrNone, aPacketFifo_AwaitRoom(id, 10, 4, 0));  // below the high mark
  put(9);
  // A waiter that gets to the queue only after the takes finds room at once,
  // so the case is tried until it was in before them; a waiter woken above
  // the low mark shows as ready on every try and fails it.
  std::future<aErr> waiter;
  bool sleptAboveTheLowMark = false;
  for (int attempt = 0; attempt < 100 && !sleptAboveTheLowMark; ++attempt) {
    while (aPacketFifo_GetLength(id) < 10)
      put(9);
    std::atomic<bool> running{false};
    waiter = std::async(std::launch::async, [&] {
      running = true;
      return aPacketFifo_AwaitRoom(id, 10, 4, 20000);
    });
    ASSERT_TRUE(jvtest::waitUntil([&] { return running.load(); }));
    for (int i = 0; i < 5; ++i)
      PacketPtr{aPacketFifo_Get(id)};
    // Five left: still above the low mark. Not waking is shown over a short
    // look; a busy machine can only make a wrong wake-up harder to see.
    sleptAboveTheLowMark = waiter.wait_for(milliseconds(100)) == std::future_status::timeout;
    if (!sleptAboveTheLowMark) {
      EXPECT_EQ(aErrNone, waiter.get());
    }
  }
  ASSERT_TRUE(sleptAboveTheLowMark);
  PacketPtr{aPacketFifo_Get(id)};
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(aErrNone, waiter.get());
  EXPECT_EQ(aErrParam, aPacketFifo_AwaitRoom(0, 10, 4, 0));
}

TEST_F(Fifo, AwaitRoomTimesOutOnlyWhenNothingIsTaken)
{
  // A taker slower than the time-out per packet still makes progress, so
  // the wait goes on; one that takes nothing ends it.
  struct Case {
    int takes;
    aErr expected;
  } cases[] = {{8, aErrNone}, {0, aErrTimeout}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.takes);
    while (aPacketFifo_GetLength(id) < 10)
      put(1);
    std::thread taker([&] {
      for (int i = 0; i < c.takes; ++i) {
        std::this_thread::sleep_for(milliseconds(60));
        PacketPtr{aPacketFifo_Get(id)};
      }
    });
    EXPECT_EQ(c.expected, aPacketFifo_AwaitRoom(id, 10, 2, 300));
    taker.join();
  }
}

// Waits: the time-out is the floor; the ceiling is generous so that a busy
// machine cannot fail the test, yet a wait that ignores its deadline does.
struct AwaitCase {
  const char* name;
  uint64_t timeout;
  milliseconds atLeast;
  milliseconds below;
};

class FifoAwait : public Fifo, public ::testing::WithParamInterface<AwaitCase> {};

TEST_P(FifoAwait, EmptyTimesOut)
{
  const AwaitCase& c = GetParam();
  const auto start = Clock::now();
  EXPECT_EQ(nullptr, aPacketFifo_Await(id, c.timeout));
  const auto spent = Clock::now() - start;
  EXPECT_GE(spent, c.atLeast);
  EXPECT_LT(spent, c.below);
}

INSTANTIATE_TEST_SUITE_P(Packet, FifoAwait,
                         ::testing::Values(AwaitCase{"Fifty", 50, milliseconds(50), milliseconds(2000)},
                                           AwaitCase{"Zero", 0, milliseconds(0), milliseconds(500)}),
                         [](const auto& info) { return std::string(info.param.name); });

bool acceptAll(const aPacket*, void*)
{
  return true;
}

// Each waiting take, woken by a put from another thread. The time-outs
// include the largest possible one, whose deadline must not overflow into
// the past (which would make the wait return null at once).
struct WakeCase {
  const char* name;
  bool filtered;
  uint64_t timeout;
};

class FifoWake : public Fifo, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(FifoWake, PutFromOtherThreadEndsWait)
{
  const WakeCase& c = GetParam();
  std::promise<void> waiting;
  std::thread producer([&, f = waiting.get_future()]() mutable {
    f.wait();
    std::this_thread::sleep_for(milliseconds(30));
    PacketPtr p = make({0x42});
    aPacketFifo_Put(id, p.get());
  });
  waiting.set_value();
  const auto start = Clock::now();
  PacketPtr got{c.filtered ? aPacketFifo_AwaitFirst(id, acceptAll, nullptr, c.timeout)
                           : aPacketFifo_Await(id, c.timeout)};
  const auto spent = Clock::now() - start;
  producer.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(0x42, got->data[0]);
  EXPECT_LT(spent, milliseconds(5000));
}

INSTANTIATE_TEST_SUITE_P(Packet, FifoWake,
                         ::testing::Values(WakeCase{"Await", false, 10000},
                                           WakeCase{"AwaitFirst", true, 10000},
                                           WakeCase{"AwaitForever", false, UINT64_MAX},
                                           WakeCase{"AwaitFirstForever", true, UINT64_MAX}),
                         [](const auto& info) { return std::string(info.param.name); });

class FifoDestroy : public Fifo, public ::testing::WithParamInterface<bool> {};

TEST_P(FifoDestroy, DuringWaitReleasesWaiter)
{
  const bool filtered = GetParam();
  const aPacketFifoId value = id;
  std::promise<void> started;
  std::future<aPacket*> result = std::async(std::launch::async, [&] {
    started.set_value();
    return filtered ? aPacketFifo_AwaitFirst(value, acceptAll, nullptr, UINT64_MAX)
                    : aPacketFifo_Await(value, UINT64_MAX);
  });
  started.get_future().wait();
  std::this_thread::sleep_for(milliseconds(30));  // let it block
  EXPECT_EQ(aErrNone, aPacketFifo_Destroy(&id));
  EXPECT_EQ(0u, id);
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(nullptr, result.get());
  aPacketFifoId again = value;
  EXPECT_EQ(aErrNotFound, aPacketFifo_Destroy(&again));
}

INSTANTIATE_TEST_SUITE_P(Packet, FifoDestroy, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AwaitFirst" : "Await"; });

struct Only {
  explicit Only(uint8_t w) : wanted(w) {}
  uint8_t wanted;
  std::atomic<int> calls{0};
  std::vector<uint8_t> offered;
};

bool acceptOnly(const aPacket* p, void* ref)
{
  auto* o = static_cast<Only*>(ref);
  ++o->calls;
  o->offered.push_back(p->data[0]);
  return p->data[0] == o->wanted;
}

TEST_F(Fifo, AwaitFirstOffersEachPacketOnce)
{
  put(0x10);
  put(0x42);
  put(0x11);
  Only only(0x42);
  PacketPtr got{aPacketFifo_AwaitFirst(id, acceptOnly, &only, 1000)};
  EXPECT_EQ(0x42, firstByte(got));
  EXPECT_EQ(2, only.calls);
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x42}), only.offered);
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11}), drainOrder());
}

// Packets declined before a wake-up are not offered again when later ones
// arrive.
TEST_F(Fifo, AwaitFirstDoesNotReofferAfterWakeUp)
{
  put(0x10);
  Only only(0x42);
  std::promise<void> waiting;
  std::thread producer([&, f = waiting.get_future()]() mutable {
    f.wait();
    std::this_thread::sleep_for(milliseconds(20));
    put(0x11);
    std::this_thread::sleep_for(milliseconds(20));
    put(0x42);
  });
  waiting.set_value();
  PacketPtr got{aPacketFifo_AwaitFirst(id, acceptOnly, &only, 10000)};
  producer.join();
  EXPECT_EQ(0x42, firstByte(got));
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11, 0x42}), only.offered);
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x11}), drainOrder());
}

TEST_F(Fifo, AwaitFirstTimesOutWhenNothingAccepted)
{
  put(0x10);
  Only only(0x42);
  const auto start = Clock::now();
  EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(id, acceptOnly, &only, 40));
  EXPECT_GE(Clock::now() - start, milliseconds(40));
  EXPECT_EQ(1, only.calls);
  EXPECT_EQ(1u, aPacketFifo_GetLength(id));
}

// A packet refused during the wait must stay queued when the wait runs out,
// not be handed out as if it had been accepted.
TEST_F(Fifo, AwaitFirstTimingOutAfterARefusedArrivalReturnsNothing)
{
  Only only(0x42);
  std::thread producer([&] {
    std::this_thread::sleep_for(milliseconds(10));
    put(0x10);
  });
  PacketPtr got{aPacketFifo_AwaitFirst(id, acceptOnly, &only, 60)};
  producer.join();
  EXPECT_EQ(nullptr, got.get());
  EXPECT_EQ((std::vector<uint8_t>{0x10}), only.offered);
  EXPECT_EQ((std::vector<uint8_t>{0x10}), drainOrder());
}

TEST_F(Fifo, GetFirstTakesOldestAccepted)
{
  put(0x10);
  put(0x42);
  put(0x42);
  Only only(0x42);
  PacketPtr got{aPacketFifo_GetFirst(id, acceptOnly, &only)};
  EXPECT_EQ(0x42, firstByte(got));
  EXPECT_EQ(2u, aPacketFifo_GetLength(id));
  only.wanted = 0x99;
  EXPECT_EQ(nullptr, aPacketFifo_GetFirst(id, acceptOnly, &only));
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x42}), drainOrder());
}

TEST_F(Fifo, DrainRemovesAcceptedKeepsOrder)
{
  for (uint8_t b : {1, 0x42, 2, 0x42, 3})
    put(b);
  Only only(0x42);
  EXPECT_EQ(2u, aPacketFifo_DrainPackets(id, acceptOnly, &only));
  EXPECT_EQ(5, only.calls);
  EXPECT_EQ(3u, aPacketFifo_DrainPackets(id, acceptAll, nullptr));
  EXPECT_EQ(0u, aPacketFifo_GetLength(id));
}

// A filtered wait sees packets put after a drain or a take changed the
// front of the queue.
TEST_F(Fifo, AwaitFirstAfterTakes)
{
  put(1);
  put(2);
  PacketPtr a{aPacketFifo_Get(id)};
  PacketPtr b{aPacketFifo_Get(id)};
  put(3);
  Only only(3);
  PacketPtr got{aPacketFifo_AwaitFirst(id, acceptOnly, &only, 1000)};
  EXPECT_EQ(3, firstByte(got));
}

// Ids that name no queue: never handed out, 0, and destroyed.
class MissingFifo : public ::testing::TestWithParam<int> {};

TEST_P(MissingFifo, EveryOperationRefuses)
{
  aPacketFifoId id = 0;
  if (GetParam() == 1) {
    id = 0xFFFFFFFFFFFFull;
  } else if (GetParam() == 2) {
    id = aPacketFifo_Create();
    aPacketFifoId doomed = id;
    ASSERT_EQ(aErrNone, aPacketFifo_Destroy(&doomed));
  }
  PacketPtr p = make({1});
  EXPECT_EQ(aErrParam, aPacketFifo_Put(id, p.get()));
  EXPECT_EQ(nullptr, aPacketFifo_Get(id));
  const auto start = Clock::now();
  EXPECT_EQ(nullptr, aPacketFifo_Await(id, 10000));
  EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(id, acceptAll, nullptr, 10000));
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  EXPECT_EQ(nullptr, aPacketFifo_GetFirst(id, acceptAll, nullptr));
  EXPECT_EQ(0u, aPacketFifo_GetLength(id));
  EXPECT_EQ(0u, aPacketFifo_DrainPackets(id, acceptAll, nullptr));
  EXPECT_EQ(aErrNotFound, aPacketFifo_Destroy(&id));
}

std::string missingName(const ::testing::TestParamInfo<int>& info)
{
  static const char* const names[] = {"Zero", "NeverMade", "Destroyed"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Packet, MissingFifo, ::testing::Values(0, 1, 2), missingName);

TEST(FifoApi, DestroyNullAddress)
{
  EXPECT_EQ(aErrParam, aPacketFifo_Destroy(nullptr));
}

TEST_F(Fifo, NullFilterTakesNothing)
{
  put(1);
  EXPECT_EQ(nullptr, aPacketFifo_GetFirst(id, nullptr, nullptr));
  EXPECT_EQ(nullptr, aPacketFifo_AwaitFirst(id, nullptr, nullptr, 10));
  EXPECT_EQ(0u, aPacketFifo_DrainPackets(id, nullptr, nullptr));
  EXPECT_EQ(1u, aPacketFifo_GetLength(id));
}

// One producer and one consumer thread move many packets; none is lost,
// duplicated or reordered (the producer stays below the overflow bound).
TEST_F(Fifo, ProducerConsumerKeepsEverything)
{
  constexpr int total = 20000;
  aPacketFifoId credits = aPacketFifo_Create();
  ASSERT_NE(0u, credits);
  std::thread producer([&] {
    for (int i = 0; i < total; ++i) {
      if (i >= 500 && i % 100 == 0) {
        PacketPtr c{aPacketFifo_Await(credits, 10000)};
        if (!c)
          return;
      }
      uint8_t d[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      PacketPtr p(aPacket_CreateWithData(2, 2, d));
      aPacketFifo_Put(id, p.get());
    }
  });
  int expected = 0;
  for (; expected < total; ++expected) {
    PacketPtr p{aPacketFifo_Await(id, 10000)};
    ASSERT_TRUE(p) << "packet " << expected;
    ASSERT_EQ(expected, (p->data[0] << 8 | p->data[1]) & 0xFFFF);
    if (expected % 100 == 99) {
      PacketPtr c = make({0});
      aPacketFifo_Put(credits, c.get());
    }
  }
  producer.join();
  aPacketFifo_Destroy(&credits);
}

}  // namespace
