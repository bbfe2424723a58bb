#pragma once
// Millisecond time and sleep. No state; any thread may call.

#include <cstdint>

#include "aError.h"

// Wall-clock milliseconds since the epoch; 0 when the clock cannot be read.
// A change of the system time moves it: measure deadlines on the steady
// clock instead.
uint64_t aTime_GetMSTicks();

// Sleeps ms milliseconds (0 returns at once); aErrNone.
aErr aTime_MSSleep(uint64_t ms);
