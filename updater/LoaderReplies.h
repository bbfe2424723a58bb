#pragma once
// The loader's replies (command 0x5F), read from a reply's data bytes
// ([0x5F][option][...]). Each reader checks the length before it reads a
// byte, so it may be given any bytes at all.

#include <cstdint>

#include "aByteOrder.h"
#include "aError.h"

namespace loaderreply {

inline constexpr uint8_t kStatusOK = 0;

// The load base an init reply gives; aErrPacket when it has none.
inline aErr init(const uint8_t* data, uint8_t length, uint32_t* base) {
  if (length <= 5)
    return aErrPacket;
  *base = aByteOrder::be32(&data[2]);
  return aErrNone;
}

// A prepare's status and, when it is OK, the block size: aErrPacket when the
// reply is too short for either, aErrInvalidOption for a status not OK.
inline aErr prepare(const uint8_t* data, uint8_t length, uint8_t* status, uint16_t* blockSize) {
  if (length < 3)
    return aErrPacket;
  *status = data[2];
  if (*status != kStatusOK)
    return aErrInvalidOption;
  if (length < 5)
    return aErrPacket;
  *blockSize = aByteOrder::be16(&data[3]);
  return aErrNone;
}

// How many bytes of a piece the module took; aErrPacket without the count.
inline aErr dataAck(const uint8_t* data, uint8_t length, uint8_t* accepted) {
  if (length < 3)
    return aErrPacket;
  *accepted = data[2];
  return aErrNone;
}

// A sum reply's status and sum (0 when a refusal carries none): aErrPacket
// when it has no status, or an OK status without the sum.
inline aErr sum(const uint8_t* data, uint8_t length, uint8_t* status, uint32_t* theirs) {
  if (length < 3)
    return aErrPacket;
  *status = data[2];
  if (*status == kStatusOK && length < 7)
    return aErrPacket;
  *theirs = length >= 7 ? aByteOrder::be32(&data[3]) : 0;
  return aErrNone;
}

// A write's status: aErrInvalidOption unless it is there and OK.
inline aErr write(const uint8_t* data, uint8_t length) {
  return length >= 3 && data[2] == kStatusOK ? aErrNone : aErrInvalidOption;
}

}  // namespace loaderreply
