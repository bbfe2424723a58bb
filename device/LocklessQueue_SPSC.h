#pragma once
// A fixed ring for exactly one producer thread and one consumer thread,
// without locks: the two indices are the only shared state, and each slot is
// touched by one side at a time.
//
// The write index names the slot last filled, the read index the slot last
// taken; equal indices mean empty. A ring of capacity N therefore holds at
// most N - 1 values, and push never writes the slot at the read index, so
// pop may take that slot after it has published the new read index.
//
// push and pop never block: push refuses when the ring is full, pop when it
// is empty. A second producer or consumer breaks the ring; the owner makes
// sure a consumer thread has ended before another takes its place.

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace Tovanire {

template <typename T>
class LocklessQueue_SPSC {
 public:
  // At least 2 slots, or the ring could never hold a value.
  explicit LocklessQueue_SPSC(uint16_t capacity)
      : m_capacity(capacity < 2 ? uint16_t{2} : capacity), m_slots(new T[m_capacity]) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer side. False, leaving the value with the caller, when full.
  bool push(T value) {
    const uint16_t next = _increment(m_write.load());
    if (next == m_read.load())
      return false;
    m_slots[next] = std::move(value);
    m_write.store(next);
    return true;
  }

  // Consumer side. False, leaving *out as it was, when empty.
  bool pop(T* out) {
    const uint16_t read = m_read.load();
    if (read == m_write.load())
      return false;
    const uint16_t next = _increment(read);
    m_read.store(next);
    // The slot is ours until the read index moves on again: the producer
    // never writes the slot the read index names.
    *out = std::move(m_slots[next]);
    return true;
  }

  // Consumer side: whether a pop would find nothing.
  bool empty() const { return m_read.load() == m_write.load(); }

  uint16_t capacity() const { return m_capacity; }

 private:
  uint16_t _increment(uint16_t index) const {
    return static_cast<uint16_t>(index + 1u >= m_capacity ? 0u : index + 1u);
  }

  const uint16_t m_capacity;
  std::unique_ptr<T[]> m_slots;
  std::atomic<uint16_t> m_write{0};
  std::atomic<uint16_t> m_read{0};
};

}  // namespace Tovanire
