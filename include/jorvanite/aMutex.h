#pragma once
// A named, non-recursive, process-private mutex. Safe to use from any
// thread. A thread must not lock a mutex it already holds: that is reported
// as aErrDuplicate instead of hanging.

#include "aError.h"

struct aMutexRecord;
typedef aMutexRecord aMutex;

// The new mutex (destroy it with aMutex_Destroy), or null when the name
// (null means empty) has 256 characters or more, memory runs out or the
// system cannot make the mutex.
aMutex* aMutex_Create(const char* name);

// The name given at creation (owned by the mutex), or null for a null mutex.
const char* aMutex_Identifier(const aMutex* mutex);

// Destroys the mutex, frees it and sets *mutex to null, whatever the system
// answers. aErrNone, aErrParam (null address or handle), aErrBusy (it was
// held), aErrResource or aErrUnknown. Destroy only a mutex nobody holds.
aErr aMutex_Destroy(aMutex** mutex);

// Blocks until the caller holds the mutex. aErrDuplicate when the caller
// already holds it; aErrParam for a null mutex.
aErr aMutex_Lock(aMutex* mutex);

// Takes the mutex only if it is free: aErrNone, or aErrBusy at once.
aErr aMutex_TryLock(aMutex* mutex);

// Releases it. aErrPermission when the caller does not hold it.
aErr aMutex_Unlock(aMutex* mutex);
