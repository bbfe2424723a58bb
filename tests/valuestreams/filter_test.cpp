// The stream filter on its own: which subscriptions a packet's callbacks are
// queued for and in what order, which samples are cached, what is left to
// the input queue, and a full callback ring. No link, no threads: the
// filter runs on a Link's private state and the ring is read back directly.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "LinkImpl.h"

using namespace Tovanire::Jorvanite;

namespace {

constexpr uint8_t kAny = 0xFF;

struct Sub {
  uint8_t address, command, option, index;
  int tag;        // handed over as the reference
  bool callback;  // false: values cached only
};

struct Cached {
  uint64_t key;
  uint32_t value;
};

struct FilterCase {
  std::string name;
  std::vector<Sub> subs;
  std::vector<uint8_t> data;  // one packet from address 4
  bool taken;
  std::vector<int> jobs;       // tags, in queue order
  std::vector<Cached> cached;  // exact entries afterwards, in key order
};

uint64_t key(uint8_t a, uint8_t c, uint8_t o, uint8_t i, uint8_t s) { return Link::createStreamKey(a, c, o, i, s); }

// A u16 sample of command 0x12, option 3, index 1, value 0x0102.
const std::vector<uint8_t> kU16 = {0x12, 0x03, 0x41, 2, 0, 0, 0, 0, 0, 0, 0, 7, 0x01, 0x02, 0};

const std::vector<FilterCase>& filterCases() {
  static const std::vector<FilterCase> cases = {
      {"NarrowerSubscriptionsFirst",
       {{4, kAny, kAny, kAny, 3, true}, {4, 0x12, kAny, 1, 2, true}, {4, 0x12, 3, 1, 1, true}},
       kU16, true, {1, 2, 3}, {{key(4, 0x12, 3, 1, 0), 0x0102}}},
      {"IndexWildcardIsNotAnOptionWildcard",
       {{4, 0x12, 3, kAny, 1, true}, {4, 0x12, 4, kAny, 2, true}},
       kU16, true, {1}, {{key(4, 0x12, 3, 1, 0), 0x0102}}},
      {"OtherModuleTakenButNotCached", {{6, 0x12, kAny, 1, 1, true}}, kU16, true, {}, {}},
      {"WithoutCallbackCachedOnly", {{4, 0x12, kAny, 1, 1, false}}, kU16, true, {}, {{key(4, 0x12, 3, 1, 0), 0x0102}}},
      {"SubindexKeptInCacheKey",
       {{4, 0x12, 3, 1, 1, true}},
       {0x12, 0x03, 0x41, 7, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0xCA, 0xFE, 0xBA, 0xBE, 0},
       true, {1}, {{key(4, 0x12, 3, 1, 2), 0xCAFEBABE}}},
      {"WrongLengthQueuesButStoresNothing",
       {{4, 0x12, 3, 1, 1, true}},
       {0x12, 0x03, 0x41, 2, 0, 0, 0, 0, 0, 0, 0, 7, 0x01, 0},
       true, {1}, {}},
      {"ByteBlockQueuesButStoresNothing",
       {{4, 0x12, 3, 1, 1, true}},
       {0x12, 0x03, 0x41, 1, 0xAA, 0xBB, 0x81},
       true, {1}, {}},
      {"TypeZeroLeftToTheQueue",
       {{4, 0x12, 3, 1, 1, true}},
       {0x12, 0x03, 0x41, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x01, 0},
       false, {}, {}},
      {"TypeEightLeftToTheQueue",
       {{4, 0x12, 3, 1, 1, true}},
       {0x12, 0x03, 0x41, 8, 0, 0, 0, 0, 0, 0, 0, 7, 0x01, 0},
       false, {}, {}},
      {"ReplyLeftToTheQueue", {{4, 0x12, 3, 1, 1, true}}, {0x12, 0x03, 0x01, 0x01, 0x02}, false, {}, {}},
      // Command 0xFF in the packet: several masks reach the same
      // subscription, whose callback still runs once.
      {"CommandFFQueuedOnce",
       {{4, kAny, kAny, kAny, 1, true}},
       {0xFF, 0x03, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0x09, 0},
       true, {1}, {{key(4, 0xFF, 3, 1, 0), 9}}},
  };
  return cases;
}

class FilterRig : public ::testing::Test {
 protected:
  void subscribe(const Sub& s) {
    StreamEntry entry;
    entry.key = key(s.address, s.command, s.option, s.index, kAny);
    subscribed_.insert(entry.key);
    if (s.callback) entry.callback = [](const aPacket*, void*) -> uint8_t { return 0; };
    entry.reference = reinterpret_cast<void*>(static_cast<intptr_t>(s.tag));
    state_.streamMap[entry.key] = entry;
  }
  std::vector<int> takeJobs() {
    std::vector<int> tags;
    asyncPacket job;
    while (state_.streams.queue.pop(&job)) {
      EXPECT_NE(job.packet, nullptr);
      EXPECT_TRUE(job.callback);
      tags.push_back(static_cast<int>(reinterpret_cast<intptr_t>(job.reference)));
      aPacket_Destroy(&job.packet);
    }
    return tags;
  }
  std::vector<Cached> cached() {
    std::vector<Cached> out;
    for (const auto& [k, e] : state_.streamMap) {
      if (subscribed_.count(k)) continue;
      out.push_back({k, e.value});
      EXPECT_TRUE(e.fresh);
      EXPECT_FALSE(e.callback);
    }
    return out;
  }
  bool filter(const std::vector<uint8_t>& data) {
    aPacket* packet = aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
    const bool taken = Link::impl::linkStreamFilter(packet, &state_);
    aPacket_Destroy(&packet);
    return taken;
  }

  Link::impl state_{nullptr, "filter"};
  std::set<uint64_t> subscribed_;
};

class StreamFilter : public FilterRig, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(StreamFilter, QueuesCachesAndTakes) {
  const FilterCase& c = GetParam();
  for (const Sub& s : c.subs) subscribe(s);
  EXPECT_EQ(filter(c.data), c.taken);
  EXPECT_EQ(takeJobs(), c.jobs);
  const std::vector<Cached> got = cached();
  ASSERT_EQ(got.size(), c.cached.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].key, c.cached[i].key) << i;
    EXPECT_EQ(got[i].value, c.cached[i].value) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, StreamFilter, ::testing::ValuesIn(filterCases()),
                         [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST_F(FilterRig, LaterSampleUpdatesTheCacheEntryAndStillQueuesSubscriptions) {
  subscribe({4, 0x12, kAny, 1, 1, true});
  ASSERT_TRUE(filter(kU16));
  std::vector<uint8_t> next = kU16;
  next[12] = 0x55;
  next[13] = 0x66;
  ASSERT_TRUE(filter(next));
  EXPECT_EQ(takeJobs(), (std::vector<int>{1, 1}));
  const auto entry = state_.streamMap.find(key(4, 0x12, 3, 1, 0));
  ASSERT_NE(entry, state_.streamMap.end());
  EXPECT_EQ(entry->second.value, 0x5566u);
  EXPECT_TRUE(entry->second.fresh);
  EXPECT_EQ(state_.streamMap.size(), 2u);  // the subscription and one cache entry
}

TEST_F(FilterRig, FullRingKeeps499JobsInOrderAndDropsTheRest) {
  subscribe({4, 0x12, 3, 1, 1, true});
  for (uint32_t n = 0; n < 520; ++n) {
    std::vector<uint8_t> data = kU16;
    data[10] = static_cast<uint8_t>(n >> 8);  // timestamp, lower half
    data[11] = static_cast<uint8_t>(n);
    ASSERT_TRUE(filter(data)) << n;
  }
  uint32_t expected = 0;
  asyncPacket job;
  while (state_.streams.queue.pop(&job)) {
    uint64_t timestamp = 0;
    ASSERT_EQ(Link::getStreamSample(job.packet, &timestamp, nullptr, nullptr), aErrNone);
    EXPECT_EQ(timestamp, expected);
    ++expected;
    aPacket_Destroy(&job.packet);
  }
  EXPECT_EQ(expected, 499u);
  // Room again after the ring was emptied.
  ASSERT_TRUE(filter(kU16));
  EXPECT_EQ(takeJobs().size(), 1u);
}

}  // namespace
