#pragma once
// The library's debug text: off unless a program turns it on. A trace is
// written when bit 0 of aJorvaniteDebuggingEnable is set and one of its
// topic bits is set in aJorvaniteDebuggingLevel. Nothing in the library or
// the updater sets either; a program embedding the library may, at any
// time and from any thread.

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> aJorvaniteDebuggingEnable;
extern std::atomic<uint32_t> aJorvaniteDebuggingLevel;

// Topic bits of aJorvaniteDebuggingLevel.
enum : uint32_t {
  aDebugLink = 0x1,  // link engine, link table, Link (and every failed link open)
  aDebugPackets = 0x2,
  aDebugServer = 0x4,
  aDebugMulticast = 0x8,
  aDebugDiscovery = 0x10,
  aDebugClientStream = 0x20,
  aDebugAddressing = 0x40,
  aDebugBeaconLock = 0x200,
  aDebugUSB = 0x400,
};

// Whether a trace of any of these topics is written now.
bool aDebug_On(uint32_t topics);

// Writes one trace line (printf format; a newline is added when the text
// has none) to standard output and flushes it, when aDebug_On(topics).
void aDebug_Trace(uint32_t topics, const char* format, ...) __attribute__((format(printf, 2, 3)));
