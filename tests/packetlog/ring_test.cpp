// The packet-log ring on its own: fitting, dropping the oldest records,
// wrap-around, partial reads, and a damaged ring read without straying
// outside its buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "aPacketLog.h"
#include "aPacketLogInternal.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  uint8_t type;
  Bytes data;
  bool operator==(const Record&) const = default;
};

class Ring {
 public:
  explicit Ring(uint32_t size) : ring_(aPacketLog_Create(size)) {}
  ~Ring() { aPacketLog_Destroy(&ring_); }
  aPacketLog* get() { return ring_; }
  aErr put(uint8_t type, const Bytes& data) {
    return aPacketLog_Put(ring_, type, static_cast<uint32_t>(data.size()), data.data());
  }
  // The oldest record, or the error that kept it.
  aErr take(Record* out, uint32_t capacity = 255) {
    Bytes buffer(capacity);
    uint32_t length = capacity;
    aErr err = aPacketLog_Get(ring_, &out->type, &length, buffer.data());
    if (err == aErrNone) out->data.assign(buffer.begin(), buffer.begin() + length);
    return err;
  }
  std::vector<Record> drain() {
    std::vector<Record> all;
    Record r;
    while (take(&r) == aErrNone) all.push_back(r);
    return all;
  }

 private:
  aPacketLog* ring_;
};

Bytes counting(size_t n, uint8_t from = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
  return b;
}

TEST(PacketLogRing, CreateRefusesAnEmptyBuffer) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  aPacketLog* ring = aPacketLog_Create(16);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->size, 16u);
  EXPECT_EQ(ring->enabled, 0);
  EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
  EXPECT_EQ(ring, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
  EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

TEST(PacketLogRing, RecordFitsOnlyBelowTheRingSize) {
  struct Case {
    uint32_t size;
    size_t length;
    aErr expected;
  } cases[] = {
      {16, 13, aErrNone},     // 13 + 2 = 15 leaves the one free byte
      {16, 14, aErrOverrun},  // 16 would make a full ring look empty
      {16, 0, aErrNone},
      {3, 0, aErrNone},
      {2, 0, aErrOverrun},
      {1, 0, aErrOverrun},
      {300, 255, aErrNone},
      {300, 256, aErrSize},  // the length byte cannot carry it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " length " << c.length);
    Ring ring(c.size);
    EXPECT_EQ(ring.put(aPacketLogText, counting(c.length)), c.expected);
    std::vector<Record> expected;
    if (c.expected == aErrNone) expected.push_back({aPacketLogText, counting(c.length)});
    EXPECT_EQ(ring.drain(), expected);
  }
  // A refused record leaves what the ring holds.
  Ring ring(16);
  ASSERT_EQ(ring.put(aPacketLogSent, {9, 9}), aErrNone);
  EXPECT_EQ(ring.put(aPacketLogText, counting(14)), aErrOverrun);
  EXPECT_EQ(ring.drain(), (std::vector<Record>{{aPacketLogSent, {9, 9}}}));
}

TEST(PacketLogRing, FullRingIsNotEmptyAndRecordsStraddleTheEnd) {
  Ring ring(16);
  // 7 + 8 = 15 bytes: one free byte, the ring is full.
  ASSERT_EQ(ring.put(aPacketLogSent, counting(5)), aErrNone);
  ASSERT_EQ(ring.put(aPacketLogReceived, counting(6, 50)), aErrNone);
  EXPECT_EQ(ring.drain(), (std::vector<Record>{{aPacketLogSent, counting(5)}, {aPacketLogReceived, counting(6, 50)}}));

  // The indexes stand at 15: the next record runs from 15 round to 10.
  ASSERT_EQ(ring.get()->readIndex, 15u);
  ASSERT_EQ(ring.put(aPacketLogText, counting(9, 100)), aErrNone);
  EXPECT_LT(ring.get()->writeIndex, ring.get()->readIndex);
  EXPECT_EQ(ring.drain(), (std::vector<Record>{{aPacketLogText, counting(9, 100)}}));

  Record none;
  EXPECT_EQ(ring.take(&none), aErrNotFound);
}

// Against a model of the ring: a new record drops the oldest whole records
// until it fits with one byte to spare; what remains reads back intact in
// order, whichever way the records lie across the buffer's end.
TEST(PacketLogRing, DropsOldestWholeRecordsAsAModelPredicts) {
  std::mt19937 random(7);
  for (uint32_t size : {16u, 17u, 31u, 64u, 300u}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    Ring ring(size);
    std::deque<Record> model;
    uint32_t used = 0;
    for (int step = 0; step < 2000; ++step) {
      const uint32_t maxLength = std::min<uint32_t>(size - 3, 255);
      const size_t length = random() % (maxLength + 1);
      Record r{static_cast<uint8_t>(1 + random() % 3), counting(length, static_cast<uint8_t>(step))};
      ASSERT_EQ(ring.put(r.type, r.data), aErrNone);
      while (size - used <= length + 2) {
        used -= static_cast<uint32_t>(model.front().data.size() + 2);
        model.pop_front();
      }
      model.push_back(r);
      used += static_cast<uint32_t>(length + 2);
      if (random() % 4 == 0) {
        Record got;
        ASSERT_EQ(ring.take(&got), aErrNone);
        ASSERT_EQ(got, model.front());
        used -= static_cast<uint32_t>(got.data.size() + 2);
        model.pop_front();
      }
    }
    EXPECT_EQ(ring.drain(), std::vector<Record>(model.begin(), model.end()));
  }
}

TEST(PacketLogRing, ShortBufferLeavesTheRecordInPlace) {
  Ring ring(32);
  ASSERT_EQ(ring.put(aPacketLogReceived, {4, 2, 0x17, 1}), aErrNone);
  uint8_t type = 0;
  uint8_t small[2];
  uint32_t length = sizeof small;
  EXPECT_EQ(aPacketLog_Get(ring.get(), &type, &length, small), aErrOverrun);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(type, aPacketLogReceived);
  Record r;
  ASSERT_EQ(ring.take(&r, 4), aErrNone);
  EXPECT_EQ(r, (Record{aPacketLogReceived, {4, 2, 0x17, 1}}));
}

TEST(PacketLogRing, RefusesNullArguments) {
  Ring ring(32);
  uint8_t type = 0, buffer[8];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Put(ring.get(), 1, 3, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(ring.get(), 1, 0, nullptr), aErrNone);
  EXPECT_EQ(aPacketLog_Get(nullptr, &type, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(ring.get(), nullptr, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(ring.get(), &type, nullptr, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(ring.get(), &type, &length, nullptr), aErrParam);
  length = 0;  // an empty record needs no buffer
  EXPECT_EQ(aPacketLog_Get(ring.get(), &type, &length, nullptr), aErrNone);
}

// A ring whose fields were overwritten (a stray write, say): every read and
// write stays inside the buffer (the address sanitizer watches) and each
// call ends, reporting the damage instead of inventing records.
TEST(PacketLogRing, DamagedRingIsNeverReadOutOfBounds) {
  std::mt19937 random(11);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const uint32_t size = 3 + random() % 40;
    Ring ring(size);
    aPacketLog* raw = ring.get();
    for (uint32_t i = 0; i < size; ++i) raw->data[i] = static_cast<uint8_t>(random());
    // Mostly in range (damaged lengths), sometimes past the end.
    raw->readIndex = random() % (size + (round % 3 == 0 ? 50 : 0));
    raw->writeIndex = random() % (size + (round % 5 == 0 ? 50 : 0));
    const bool inRange = raw->readIndex < size && raw->writeIndex < size;
    for (uint32_t i = 0; i < 2 * size + 2; ++i) {
      Record r;
      const aErr err = ring.take(&r);
      if (!inRange) {
        ASSERT_EQ(err, aErrParse);
        ASSERT_EQ(ring.put(aPacketLogText, {1}), aErrParse);
        break;
      }
      ASSERT_TRUE(err == aErrNone || err == aErrNotFound || err == aErrParse) << err;
      if (err == aErrNone) {
        ASSERT_LE(r.data.size() + 2, size - 1u);
      }
      if (err != aErrNone) {
        // Emptied by a damaged record, or empty: the ring is sound again.
        ASSERT_EQ(raw->readIndex, raw->writeIndex);
        break;
      }
    }
    if (inRange) {
      const Bytes fits = counting(std::min<uint32_t>(size - 3, 255));
      ASSERT_EQ(ring.put(aPacketLogSent, fits), aErrNone);
      EXPECT_EQ(ring.drain().back(), (Record{aPacketLogSent, fits}));
    }
  }
}

// Putting into a damaged ring drops what cannot be a record and still ends.
TEST(PacketLogRing, PutIntoDamagedRingEnds) {
  std::mt19937 random(5);
  for (int round = 0; round < 400; ++round) {
    const uint32_t size = 3 + random() % 40;
    Ring ring(size);
    aPacketLog* raw = ring.get();
    for (uint32_t i = 0; i < size; ++i) raw->data[i] = static_cast<uint8_t>(random());
    raw->readIndex = random() % size;
    raw->writeIndex = random() % size;
    const Bytes fits = counting(random() % (std::min<uint32_t>(size - 3, 255) + 1));
    ASSERT_EQ(ring.put(aPacketLogReceived, fits), aErrNone);
    // Damaged records ahead of it may overlap the new one; each read is
    // still bounded and the ring ends empty.
    for (const Record& r : ring.drain()) {
      ASSERT_LE(r.data.size() + 3, size);
    }
    Record none;
    EXPECT_NE(ring.take(&none), aErrNone);
  }
}

}  // namespace
