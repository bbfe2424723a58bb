#pragma once
// A logger: a thread that calls one callback over and over with an output
// file and a value, while it is enabled. The object layer uses it to move a
// link's packet log into a text file (the callback writes one line per call,
// or pauses when there is nothing to write).
//
// Threads: a logger is driven (enabled, disabled, destroyed) from one thread
// at a time; its callback runs on the logger's own thread. Enabling returns
// once the thread runs; disabling returns once it has ended.

#include <atomic>
#include <cstdint>

#include "aError.h"
#include "aFile.h"
#include "aThread.h"

#define aLOGGERCHECK 0xDEED

// Called with the output file (an aFile*) and the logger's value.
typedef void (*aLoggerProc)(void* file, uint32_t value);

struct aLogger {
  uint32_t value;  // handed to the callback on every call
  aLoggerProc callback;
  aFile* file;      // owned; opened for appending, unbuffered
  aThread* thread;  // null while not running
  std::atomic<uint8_t> running;
  uint16_t check;  // aLOGGERCHECK
};

// True for a non-null logger with its check word.
bool aVALIDLOGGER(const aLogger* logger);

// Opens the file for appending (positioned at its end, unbuffered) and
// returns the logger, not running. Null for a null callback or path, when
// the file cannot be opened or memory runs out.
aLogger* aLogger_Create(uint32_t value, aLoggerProc callback, const char* path);

// Starts the thread. aErrParam for an invalid logger; aErrNone when already
// running; aErrResource (not running) when the thread cannot be made.
aErr aLogger_Enable(aLogger* logger);

// Stops the thread and waits for it to end. aErrParam for an invalid
// logger; aErrNone when not running, and when called from the logger's own
// callback (which cannot wait for itself: nothing is done); aErrUnknown when
// the thread cannot be joined.
aErr aLogger_Disable(aLogger* logger);

// Stops a running logger, closes its file, frees it and sets *logger to
// null; returns the stop's result. aErrNone, nothing done, for an invalid
// logger. From the logger's own callback, or when the thread cannot be
// stopped, nothing is freed or closed (the thread still uses them) and the
// result is aErrBusy or the stop's failure.
aErr aLogger_Destroy(aLogger** logger);

// The value the callback gets; set it only while the logger is not running.
aErr aLogger_SetValue(aLogger* logger, uint32_t value);
