#pragma once
// A fuzz target's check: a failure names the condition and aborts, which the
// fuzzer reports with the input that led there (and the corpus replay fails).
#include <cstdio>
#include <cstdlib>

inline void fuzzCheckAt(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}
#define check(ok) fuzzCheckAt((ok), #ok)
