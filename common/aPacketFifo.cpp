#include "aPacketFifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};

struct SerialPacket {
  int64_t id;
  std::unique_ptr<aPacket, aPacketDeleter> packet;
};

struct packetFifo {
  std::deque<SerialPacket> queue;
  std::condition_variable changed;
  std::mutex lock;
  std::atomic<bool> alive{true};
  // A wake asked for and not yet taken by a wait (guarded by lock).
  bool wakePending = false;
  // Room waiters sleep here; a removal that brings the queue down to the
  // highest length any of them waits for wakes them (guarded by lock).
  std::condition_variable roomed;
  size_t roomWaiters = 0;
  size_t roomMark = 0;
  uint64_t taken = 0;  // removals so far, for room waiters to see progress
  // Sequence id of the oldest queued packet, or the next id when empty.
  std::atomic<int64_t> window{0};
  std::atomic<int64_t> nextId{0};

  // Caller holds lock.
  void updateWindow() { window = queue.empty() ? nextId.load() : queue.front().id; }
  // After packets left the queue. Caller holds lock.
  void afterRemoval() {
    updateWindow();
    ++taken;
    if (roomWaiters && queue.size() <= roomMark)
      roomed.notify_all();
  }
  // A wait ends with whatever it found; a pending wake is used up by it.
  // Caller holds lock.
  bool waitOver() { return !queue.empty() || wakePending || !alive; }
};

using FifoRef = std::shared_ptr<packetFifo>;
using Clock = std::chrono::steady_clock;

// Built on first use and never torn down, so link threads still running
// while the process exits find them intact.
std::mutex& gpPacketFifoDictionaryMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::map<aPacketFifoId, FifoRef>& gpPacketFifoDictionary() {
  static auto* d = new std::map<aPacketFifoId, FifoRef>;
  return *d;
}

std::atomic<aPacketFifoId> gpSequentialId{1};

FifoRef sLookup(aPacketFifoId id) {
  if (id == 0)
    return nullptr;
  try {
    std::lock_guard<std::mutex> g(gpPacketFifoDictionaryMutex());
    auto& d = gpPacketFifoDictionary();
    auto it = d.find(id);
    return it == d.end() ? nullptr : it->second;
  } catch (const std::exception&) {
    return nullptr;
  }
}

// now + ms on the monotonic clock, capped at the clock's end instead of
// overflowing for huge time-outs.
Clock::time_point sDeadline(uint64_t ms) {
  const Clock::time_point now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (ms >= static_cast<uint64_t>(room.count()))
    return Clock::time_point::max();
  return now + std::chrono::milliseconds(ms);
}

// Removes the packet at it and returns a copy; when no copy can be made the
// packet stays queued and null is returned. Caller holds the lock.
aPacket* sRemove(packetFifo& f, std::deque<SerialPacket>::iterator it) {
  aPacket* copy = aPacket_Copy(it->packet.get());
  if (!copy)
    return nullptr;
  f.queue.erase(it);
  f.afterRemoval();
  return copy;
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> g(gpPacketFifoDictionaryMutex());
    aPacketFifoId id = gpSequentialId.fetch_add(1);
    if (id == 0)
      id = gpSequentialId.fetch_add(1);
    gpPacketFifoDictionary().emplace(id, std::move(fifo));
    return id;
  } catch (const std::exception&) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (!id)
    return aErrParam;
  try {
    FifoRef fifo;
    {
      std::lock_guard<std::mutex> g(gpPacketFifoDictionaryMutex());
      auto& d = gpPacketFifoDictionary();
      auto it = *id == 0 ? d.end() : d.find(*id);
      if (it == d.end())
        return aErrNotFound;
      fifo = std::move(it->second);
      d.erase(it);
    }
    {
      std::lock_guard<std::mutex> g(fifo->lock);
      fifo->queue.clear();
      fifo->window = fifo->nextId.load();
      fifo->alive = false;
    }
    fifo->changed.notify_all();
    fifo->roomed.notify_all();
    *id = 0;
    return aErrNone;
  } catch (const std::exception&) {
    return aErrUnknown;
  }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !aVALIDPACKET(packet))
    return aErrParam;
  try {
    {
      std::lock_guard<std::mutex> g(fifo->lock);
      // A full queue keeps what it holds: every packet in it was reported
      // queued to its sender, so the newcomer is the one refused.
      if (fifo->queue.size() >= aPACKETFIFO_MAX_PACKETS)
        return aErrOverrun;
      const int64_t seq = fifo->nextId.fetch_add(1);
      std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
      if (!copy)
        return aErrParam;
      fifo->queue.push_back(SerialPacket{seq, std::move(copy)});
      fifo->updateWindow();
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (const std::exception&) {
    return aErrResource;
  }
}

aErr aPacketFifo_Wake(aPacketFifoId id) {
  FifoRef fifo = sLookup(id);
  if (!fifo)
    return aErrParam;
  {
    std::lock_guard<std::mutex> g(fifo->lock);
    fifo->wakePending = true;
  }
  fifo->changed.notify_all();
  return aErrNone;
}

aErr aPacketFifo_AwaitRoom(aPacketFifoId id, size_t high, size_t low, uint64_t msTimeout) {
  FifoRef fifo = sLookup(id);
  if (!fifo)
    return aErrParam;
  std::unique_lock<std::mutex> g(fifo->lock);
  if (fifo->queue.size() < high)
    return aErrNone;
  ++fifo->roomWaiters;
  if (low > fifo->roomMark)
    fifo->roomMark = low;
  // Takes do not wake the waiter one by one: it looks at their count only
  // when its time runs out, and waits on while they go on.
  bool room = false;
  for (uint64_t seen = fifo->taken;; seen = fifo->taken) {
    room = fifo->roomed.wait_until(g, sDeadline(msTimeout), [&] { return fifo->queue.size() <= low || !fifo->alive; });
    if (room || fifo->taken == seen)
      break;
  }
  if (--fifo->roomWaiters == 0)
    fifo->roomMark = 0;
  if (!fifo->alive)
    return aErrParam;
  return room ? aErrNone : aErrTimeout;
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
  FifoRef fifo = sLookup(id);
  if (!fifo)
    return nullptr;
  std::lock_guard<std::mutex> g(fifo->lock);
  return fifo->queue.empty() ? nullptr : sRemove(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t msTimeout) {
  FifoRef fifo = sLookup(id);
  if (!fifo)
    return nullptr;
  const Clock::time_point deadline = sDeadline(msTimeout);
  std::unique_lock<std::mutex> g(fifo->lock);
  fifo->changed.wait_until(g, deadline, [&] { return fifo->waitOver(); });
  fifo->wakePending = false;
  return fifo->queue.empty() ? nullptr : sRemove(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter)
    return nullptr;
  std::lock_guard<std::mutex> g(fifo->lock);
  for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
    if (filter(it->packet.get(), ref))
      return sRemove(*fifo, it);
  return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref, uint64_t msTimeout) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter)
    return nullptr;
  const Clock::time_point deadline = sDeadline(msTimeout);
  std::unique_lock<std::mutex> g(fifo->lock);
  // Everything already queued has an id of at least the window.
  int64_t lastOffered = fifo->window - 1;
  // A put moves the queue's end, so "nothing accepted" is a flag of its own,
  // never an iterator compared against an end taken before the wait.
  bool accepted = false;
  decltype(fifo->queue.begin()) found;
  auto test = [&] {
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
      if (it->id - lastOffered <= 0)
        continue;
      lastOffered = it->id;
      if (filter(it->packet.get(), ref)) {
        found = it;
        accepted = true;
        return true;
      }
    }
    return !fifo->alive;
  };
  fifo->changed.wait_until(g, deadline, test);
  return accepted ? sRemove(*fifo, found) : nullptr;
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, void* ref) {
  FifoRef fifo = sLookup(id);
  if (!fifo || !filter)
    return 0;
  std::lock_guard<std::mutex> g(fifo->lock);
  const size_t before = fifo->queue.size();
  for (auto it = fifo->queue.begin(); it != fifo->queue.end();)
    it = filter(it->packet.get(), ref) ? fifo->queue.erase(it) : it + 1;
  fifo->afterRemoval();
  return before - fifo->queue.size();
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
  FifoRef fifo = sLookup(id);
  if (!fifo)
    return 0;
  std::lock_guard<std::mutex> g(fifo->lock);
  return fifo->queue.size();
}
