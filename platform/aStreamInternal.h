#pragma once
// The byte stream's record (aStream.h keeps it opaque): for the stream's
// own functions and the transports and tests that build on its fields.

#include <cstdint>

#include "aStream.h"

#define aSTREAMCHECK 0x4321
// The push-back ring is made on the first push-back and grows in these steps.
#define aSTREAMBUFCHUNK 512

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* ref;  // the transport's context; belongs to the stream
  // Push-back ring: bytes pushed back are read before the get operation's.
  uint8_t* ring;
  uint64_t ringCount;
  uint64_t ringCapacity;
  uint64_t ringRead;
  uint64_t ringWrite;
  uint16_t check;  // aSTREAMCHECK while valid
  aStreamWaitProc wait;
  aStreamEpochProc epoch;
  aStreamInterruptProc interrupt;
};

// True for a non-null stream carrying the check word.
bool aVALIDSTREAM(const aStream* stream);
