#pragma once
// Diagnostic log of the updater and the boot-ROM loaders. Every line carries
// a package bit; it is written only when its package was enabled (the -X
// option), except lines of package 0, which are always written.
//
// Log::log takes no lock: each line goes out in one fwrite on the output
// stream, so lines from the download worker and the main thread do not mix
// inside a line. Set the output and the packages before starting threads.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Package bits. The usage text lists 0x10 and 0x100 under one name,
// "DEBUG_Network"; nothing is logged under 0x10.
enum : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  Log() {}
  ~Log() {}

  // Formats into 2048 bytes (longer text is cut to 2047 characters) and
  // writes it as it stands; the format carries its own line ends. Nothing is
  // written when package is nonzero and shares no bit with the enabled
  // packages, or when no output stream is set.
  static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Formats into buf as vsnprintf does and returns the length kept (cut to
  // size - 1); an encoding error leaves buf empty. size must be nonzero.
  static size_t FormatV(char* buf, size_t size, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

  // Where lines go; null writes nothing.
  static void SetOutput(FILE* stream);

  // Enables (ORs in) or disables (clears) package bits.
  static void ActivatePackage(uint32_t bits);
  static void DeactivatePackage(uint32_t bits);

  static uint32_t package_bitmask;
  static FILE* fh;
  // Lines carry no time stamp; nothing sets this.
  static bool timestamped;
};
