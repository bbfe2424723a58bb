// Small pieces the timed benchmark programs share.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point t0)
{
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Percentiles {
  double median, p99;
};

inline Percentiles percentiles(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

// An IPv4 text address in network byte order.
inline uint32_t hostAddress(const char* text)
{
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

} // namespace bench
