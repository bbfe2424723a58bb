#pragma once
// The loader's replies (command 0x5F), read from a reply's data bytes
// ([0x5F][option][...]). Each reader checks the length before it reads a
// byte, so it may be given any bytes at all.

#include <cstdint>

#include "aError.h"

namespace loaderreply {

inline constexpr uint8_t kStatusOK = 0;

inline uint32_t be32(const uint8_t* p)
{
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The load base an init reply gives; aErrPacket when it has none.
inline aErr init(const uint8_t* data, uint8_t length, uint32_t* base)
{
  if (length <= 5) return aErrPacket;
  *base = be32(&data[2]);
  return aErrNone;
}

// A prepare's status and, when it is OK, the block size: aErrPacket when the
// reply is too short for either, aErrInvalidOption for a status not OK.
inline aErr prepare(const uint8_t* data, uint8_t length, uint8_t* status, uint16_t* blockSize)
{
  if (length < 3) return aErrPacket;
  *status = data[2];
  if (*status != kStatusOK) return aErrInvalidOption;
  if (length < 5) return aErrPacket;
  *blockSize = static_cast<uint16_t>((data[3] << 8) | data[4]);
  return aErrNone;
}

// How many bytes of a piece the module took; aErrPacket without the count.
inline aErr dataAck(const uint8_t* data, uint8_t length, uint8_t* accepted)
{
  if (length < 3) return aErrPacket;
  *accepted = data[2];
  return aErrNone;
}

// A sum reply's status and sum (0 when a refusal carries none): aErrPacket
// when it has no status, or an OK status without the sum.
inline aErr sum(const uint8_t* data, uint8_t length, uint8_t* status, uint32_t* theirs)
{
  if (length < 3) return aErrPacket;
  *status = data[2];
  if (*status == kStatusOK && length < 7) return aErrPacket;
  *theirs = length >= 7 ? be32(&data[3]) : 0;
  return aErrNone;
}

// A write's status: aErrInvalidOption unless it is there and OK.
inline aErr write(const uint8_t* data, uint8_t length)
{
  return length >= 3 && data[2] == kStatusOK ? aErrNone : aErrInvalidOption;
}

}  // namespace loaderreply
