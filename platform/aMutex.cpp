#include "aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <pthread.h>

struct aMutexRecord {
  pthread_mutex_t mutex;
  char name[256];
};

namespace {

constexpr size_t MAX_NAME_LENGTH = sizeof(aMutexRecord::name) - 1;

// The system's answer for each operation; the four operations map the same
// numbers differently.
struct ErrnoMap {
  aErr onEAGAIN;
  aErr onEBUSY;
  aErr onEDEADLK;
  aErr onEPERM;
};

constexpr ErrnoMap DESTROY_MAP{aErrResource, aErrBusy, aErrUnknown, aErrUnknown};
constexpr ErrnoMap LOCK_MAP{aErrUnknown, aErrUnknown, aErrDuplicate, aErrUnknown};
constexpr ErrnoMap TRYLOCK_MAP{aErrUnknown, aErrBusy, aErrUnknown, aErrUnknown};
constexpr ErrnoMap UNLOCK_MAP{aErrUnknown, aErrUnknown, aErrUnknown, aErrPermission};

aErr sTranslate(int rc, const ErrnoMap& map) {
  switch (rc) {
    case 0:
      return aErrNone;
    case EAGAIN:
      return map.onEAGAIN;
    case EBUSY:
      return map.onEBUSY;
    case EINVAL:
      return aErrParam;
    case EDEADLK:
      return map.onEDEADLK;
    case EPERM:
      return map.onEPERM;
    default:
      return aErrUnknown;
  }
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
  if (name == nullptr)
    name = "";
  const size_t length = strnlen(name, MAX_NAME_LENGTH + 1);
  if (length > MAX_NAME_LENGTH)
    return nullptr;

  auto* record = new (std::nothrow) aMutexRecord;
  if (record == nullptr)
    return nullptr;
  memcpy(record->name, name, length);
  record->name[length] = '\0';

  // Error-checking: a relock by the holder is reported instead of hanging the
  // thread, and an unlock by a thread that does not hold it is refused.
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    delete record;
    return nullptr;
  }
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  const int rc = pthread_mutex_init(&record->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    delete record;
    return nullptr;
  }
  return record;
}

const char* aMutex_Identifier(const aMutex* mutex) {
  return mutex == nullptr ? nullptr : mutex->name;
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr)
    return aErrParam;
  const aErr err = sTranslate(pthread_mutex_destroy(&(*mutex)->mutex), DESTROY_MAP);
  delete *mutex;
  *mutex = nullptr;
  return err;
}

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr)
    return aErrParam;
  return sTranslate(pthread_mutex_lock(&mutex->mutex), LOCK_MAP);
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr)
    return aErrParam;
  return sTranslate(pthread_mutex_trylock(&mutex->mutex), TRYLOCK_MAP);
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr)
    return aErrParam;
  return sTranslate(pthread_mutex_unlock(&mutex->mutex), UNLOCK_MAP);
}
