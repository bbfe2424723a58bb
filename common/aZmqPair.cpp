#include "aZmqPair.h"

#include <atomic>
#include <cstdint>

bool aZmqPair_Join(zsock_t* bound, zsock_t* connected) {
  static std::atomic<uint64_t> next{0};
  if (!bound || !connected)
    return false;
  const unsigned long long n = ++next;
  return zsock_bind(bound, "inproc://jv-pair-%llu", n) == 0 &&
         zsock_connect(connected, "inproc://jv-pair-%llu", n) == 0;
}
