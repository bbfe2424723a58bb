#include "Log.h"

#include "PrintableText.h"

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

void Log::log(uint32_t package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask) == 0)
    return;
  if (fh == nullptr)
    return;
  char buf[2048];
  va_list args;
  va_start(args, format);
  size_t len = FormatV(buf, sizeof buf, format, args);
  va_end(args);
  // Lines carry what modules, servers and files said; the stream is
  // usually a terminal.
  const std::string shown = PrintableLines(std::string_view(buf, len));
  fwrite(shown.data(), 1, shown.size(), fh);
}

size_t Log::FormatV(char* buf, size_t size, const char* format, va_list args) {
  int n = vsnprintf(buf, size, format, args);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void Log::SetOutput(FILE* stream) {
  fh = stream;
}

void Log::ActivatePackage(uint32_t bits) {
  package_bitmask |= bits;
}

void Log::DeactivatePackage(uint32_t bits) {
  package_bitmask &= ~bits;
}
