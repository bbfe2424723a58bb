#pragma once
// Result codes shared by every layer. 0 is success; each other value names
// one kind of failure. Operating-system error numbers are turned into these
// codes inside platform/ and never travel further up. Both functions below
// keep no state and may be called from any thread.

#include <cstdint>

enum aErr : uint32_t {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrAsyncReturn = 32,
  aErrStreamStale = 33,
  aErrUnknown = 34,
};

// The code's name, exactly as the enumerator is spelled ("aErrParam").
// Codes above aErrUnknown give "aErrUnknown". Static text; never null.
const char* aError_GetErrorText(uint32_t code);

// A short English description ("Invalid parameter"). Codes above
// aErrUnknown give "Unknown error". Static text; never null.
const char* aError_GetErrorDescription(uint32_t code);
