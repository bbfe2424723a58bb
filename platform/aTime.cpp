#include "aTime.h"

#include <cerrno>
#include <ctime>

#include <sys/time.h>

namespace {

// Each slice stays below one second.
constexpr uint64_t MAX_SLICE_US = 999999;

void sSleepMicroseconds(uint64_t us) {
  timespec request{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
    request = remaining;
}

}  // namespace

uint64_t aTime_GetMSTicks() {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0)
    return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

aErr aTime_MSSleep(uint64_t ms) {
  constexpr uint64_t MAX_MS = UINT64_MAX / 1000;  // keeps the microsecond count exact
  uint64_t us = (ms < MAX_MS ? ms : MAX_MS) * 1000;
  while (us > 0) {
    const uint64_t slice = us < MAX_SLICE_US ? us : MAX_SLICE_US;
    sSleepMicroseconds(slice);
    us -= slice;
  }
  return aErrNone;
}
