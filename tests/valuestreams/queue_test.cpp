// The single-producer single-consumer ring: capacity, order across the
// wrap, and one producer and one consumer thread at full speed.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LocklessQueue_SPSC.h"

using Tovanire::LocklessQueue_SPSC;

namespace {

TEST(LocklessQueue, RingOfNHoldsNMinusOneInOrderAcrossTheWrap) {
  for (uint16_t capacity : {2, 3, 500}) {
    LocklessQueue_SPSC<int> ring(capacity);
    int out = -1;
    EXPECT_FALSE(ring.pop(&out));
    EXPECT_EQ(out, -1) << "an empty pop wrote its output";
    int next = 0, expected = 0;
    // Three rounds of fill and drain walk both indices past the end.
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i + 1 < capacity; ++i) ASSERT_TRUE(ring.push(next++)) << capacity;
      EXPECT_FALSE(ring.push(-2)) << "ring of " << capacity << " took a value into the slot it must keep free";
      while (ring.pop(&out)) EXPECT_EQ(out, expected++);
      EXPECT_TRUE(ring.empty());
    }
    EXPECT_EQ(expected, next);
  }
}

TEST(LocklessQueue, MovesOwningValuesThroughWithoutLoss) {
  LocklessQueue_SPSC<std::unique_ptr<int>> ring(4);
  ASSERT_TRUE(ring.push(std::make_unique<int>(7)));
  std::unique_ptr<int> out;
  ASSERT_TRUE(ring.pop(&out));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(*out, 7);
}

TEST(LocklessQueue, OneProducerOneConsumerSeeEverySurvivingValueInOrder) {
  constexpr uint32_t kValues = 50000;
  LocklessQueue_SPSC<uint32_t> ring(64);
  uint32_t refused = 0;
  std::thread producer([&] {
    for (uint32_t v = 0; v < kValues; ++v) {
      while (!ring.push(v)) {
        ++refused;
        std::this_thread::yield();
      }
    }
  });
  uint32_t expected = 0;
  while (expected < kValues) {
    uint32_t v = 0;
    if (!ring.pop(&v)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(v, expected) << "value lost, repeated or torn";
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(ring.empty());
}

}  // namespace
