#include "BuildPath.h"

#include <cstdarg>

#include "aDirectory.h"

std::string BuildPath(const char* first, ...) {
  std::string path = first != nullptr ? first : "";
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr; part = va_arg(args, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(args);
  return path;
}
