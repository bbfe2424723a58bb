#pragma once
// A joinable thread. A thread ends only by returning from its entry
// function; its owner reclaims it with aThread_Destroy.

struct aThreadRecord;
typedef aThreadRecord aThread;

typedef void* (*aThreadProc)(void* arg);

// Starts entry(arg) on a new thread and returns once that thread is
// running. Null for a null entry, when memory runs out or the thread cannot
// be started. Destroy the handle with aThread_Destroy.
aThread* aThread_Create(aThreadProc entry, void* arg);

// Waits until the thread has returned, frees the handle and sets *thread to
// null; returns 0. A nonzero value is the system's error number (EINVAL for
// a null address or handle, EDEADLK when a thread destroys itself); the
// handle is then left as it was.
int aThread_Destroy(aThread** thread);

// Sleeps 5 microseconds.
void aThread_Yield();
