// A byte stream that plays a scripted chip: reads hand out the queued reply
// bytes (then report "nothing waiting", or the end when endIsEOF), writes
// are recorded, and a write fault can be switched on. It lets reply parsing
// be tested byte-exact without a port or a clock-paced peer.
#pragma once

#include <cstdint>
#include <string>

#include "aStream.h"

namespace lpctest {

struct ScriptStream {
  std::string replies;
  size_t at = 0;
  std::string written;
  bool endIsEOF = false;
  aErr writeFault = aErrNone;

  // A stream over this script; the script must outlive it.
  aStream* open() { return aStream_Create(sGet, sPut, sWrite, nullptr, this); }

  static aErr sGet(uint8_t* byte, void* ref) {
    auto* s = static_cast<ScriptStream*>(ref);
    if (s->at >= s->replies.size()) return s->endIsEOF ? aErrEOF : aErrNotReady;
    *byte = static_cast<uint8_t>(s->replies[s->at++]);
    return aErrNone;
  }
  static aErr sWrite(const uint8_t* data, uint64_t n, void* ref) {
    auto* s = static_cast<ScriptStream*>(ref);
    if (s->writeFault != aErrNone) return s->writeFault;
    s->written.append(reinterpret_cast<const char*>(data), n);
    return aErrNone;
  }
  static aErr sPut(const uint8_t* byte, void* ref) { return sWrite(byte, 1, ref); }
};

}  // namespace lpctest
