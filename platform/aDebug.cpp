#include "aDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::atomic<uint32_t> aJorvaniteDebuggingEnable{0};
std::atomic<uint32_t> aJorvaniteDebuggingLevel{0};

bool aDebug_On(uint32_t topics) {
  return (aJorvaniteDebuggingEnable.load(std::memory_order_relaxed) & 1u) != 0 &&
         (aJorvaniteDebuggingLevel.load(std::memory_order_relaxed) & topics) != 0;
}

void aDebug_Trace(uint32_t topics, const char* format, ...) {
  if (!aDebug_On(topics))
    return;
  // One write per line, so traces of threads running at once never
  // interleave within a line.
  char line[1024];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0)
    return;
  size_t length = std::strlen(line);
  if (length == 0 || line[length - 1] != '\n') {
    line[length++] = '\n';
    line[length] = '\0';
  }
  std::fputs(line, stdout);
  std::fflush(stdout);
}
