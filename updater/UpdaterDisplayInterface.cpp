#include "UpdaterDisplayInterface.h"

#include <cstdarg>

#include "Log.h"

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted)
    return;
  char buf[2048];
  va_list args;
  va_start(args, format);
  Log::FormatV(buf, sizeof buf, format, args);
  va_end(args);
  if (level == LEVEL_ERROR)
    error_message(buf);
  else
    info_message(buf);
}
