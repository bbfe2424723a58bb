// The process's resident size, for tests and benchmarks that bound or show
// what a load costs in memory.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>

// Bytes resident now; 0 when /proc cannot be read.
inline size_t residentBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
