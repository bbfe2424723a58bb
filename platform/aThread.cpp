#include "aThread.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include <pthread.h>
#include <time.h>

struct aThreadRecord {
  pthread_t thread;
};

namespace {

// Lives on the creator's stack until the new thread has copied what it needs
// and posted `running`.
struct StartBlock {
  aThreadProc entry;
  void* arg;
  std::mutex lock;
  std::condition_variable changed;
  bool running = false;
};

void* sThreadStart(void* param) {
  auto* start = static_cast<StartBlock*>(param);
  const aThreadProc entry = start->entry;
  void* const arg = start->arg;
  {
    // Notified under the lock, so the creator cannot free `start` while this
    // thread still touches it.
    std::lock_guard<std::mutex> guard(start->lock);
    start->running = true;
    start->changed.notify_one();
  }
  return entry(arg);
}

}  // namespace

aThread* aThread_Create(aThreadProc entry, void* arg) {
  if (entry == nullptr)
    return nullptr;
  auto* record = new (std::nothrow) aThreadRecord;
  if (record == nullptr)
    return nullptr;

  StartBlock start;
  start.entry = entry;
  start.arg = arg;
  if (pthread_create(&record->thread, nullptr, sThreadStart, &start) != 0) {
    delete record;
    return nullptr;
  }
  std::unique_lock<std::mutex> guard(start.lock);
  start.changed.wait(guard, [&start] { return start.running; });
  return record;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr)
    return EINVAL;
  const int rc = pthread_join((*thread)->thread, nullptr);
  if (rc != 0)
    return rc;
  delete *thread;
  *thread = nullptr;
  return 0;
}

void aThread_Yield() {
  const timespec pause{0, 5000};
  nanosleep(&pause, nullptr);
}
