#pragma once
// The stream state a Link keeps for the values its module streams: the
// stream map (last sample of every exact key, and the subscriptions with
// their callbacks), the ring that carries callback jobs from the link's
// receive thread to the callback thread, and that thread. Private to the
// object layer; Link.h has the operations.
//
// Threads and locks: the map is guarded by the Link's stream mutex, taken on
// the receive thread inside the link's filter lock and never the other way
// round. The receive thread is the ring's only producer, the callback thread
// its only consumer; callbacks run with no lock held.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "aPacket.h"

namespace Tovanire::Jorvanite {

// One entry of the stream map: a subscription (its key carries wildcards)
// or a cache entry (exact key, no callback).
struct StreamEntry {
  uint64_t key = 0;
  bool fresh = false;  // a sample was stored since the value was last read
  Link::streamCallback callback;
  void* reference = nullptr;
  uint32_t value = 0;
};

using StreamMap = std::map<uint64_t, StreamEntry>;

// One queued callback job; the packet is a copy the job owns.
struct asyncPacket {
  Link::streamCallback callback;
  void* reference = nullptr;
  aPacket* packet = nullptr;
};

// Slots of a Link's callback ring (one fewer can be queued).
inline constexpr uint16_t kStreamQueueSlots = 500;

// What the callback thread and the threads that start, stop and wait for it
// share besides the ring.
struct StreamWorkerSignals {
  // Bumped by every push and by a stop, so a consumer that found the ring
  // empty sleeps until there is something to do (futex, no polling).
  std::atomic<uint32_t> wake{0};
  // Jobs pushed (by the producer, under the stream mutex) and jobs finished
  // or discarded (by the consumer): an unsubscription waits until the
  // second reaches what the first was when its entries went.
  std::atomic<uint64_t> pushed{0};
  std::mutex finishedMutex;
  std::condition_variable finishedChanged;
  uint64_t finished = 0;  // guarded by finishedMutex

  void poke();
  void jobDone();
};

// The callback machinery of one Link (the map itself lives in Link::impl).
struct LinkStreams {
  LocklessQueue_SPSC<asyncPacket> queue{kStreamQueueSlots};
  // Shared with the thread, which may outlive the Link when a callback destroys it.
  std::shared_ptr<StreamWorkerSignals> signals = std::make_shared<StreamWorkerSignals>();
  std::unique_ptr<std::thread> callbackThread;  // none while no callback thread runs
  std::thread::id callbackThreadId;
  // Whether this Link is among the subscribers that the link id's stream
  // dispatcher serves (one per id, shared with every Link on that id).
  bool filterInstalled = false;
  std::promise<void> stopPromise;
  // Threads told to stop that may still be finishing a callback; each has
  // ended before a new thread starts on the ring and before the ring goes.
  std::vector<std::thread> retired;

  LinkStreams() = default;
  ~LinkStreams();
  LinkStreams(const LinkStreams&) = delete;
  LinkStreams& operator=(const LinkStreams&) = delete;

  void start();
  // Tells the running thread to stop; joins it unless called from it.
  void stop();
  // Joins the stopped threads (not the caller's own) and frees the jobs they
  // left in the ring. Only while no callback thread runs.
  void reapRetired();
  // Waits until the consumer has dealt with `pushed` jobs; at once on the
  // callback thread itself or when none runs.
  void waitFinished(uint64_t pushed);
  bool onCallbackThread() const;
};

}  // namespace Tovanire::Jorvanite
