#pragma once
// The packet log: a byte ring per link that records the packets the link
// sends and receives (and text a caller adds), for diagnosis. The link
// engine's pipe threads fill it; a reader (usually the logger thread of the
// object layer) empties it one record at a time.
//
// Record layout, stored contiguously modulo the ring size (a record may wrap
// round the end of the buffer):
//   type (1 byte)  aPacketLogSent, aPacketLogReceived or aPacketLogText
//   length n (1 byte, 0 to 255)
//   n data bytes   packets: their wire bytes (address, length, data)
//
// A full ring drops its oldest whole records to make room; only a record
// that can never fit is refused.
//
// Threads: every function takes the link's ring lock ("LOG_SEMA_%p") around
// its access to the ring, so any thread may call them. Recording never
// allocates. The ring belongs to the link and goes with it.

#include <cstdint>

#include "aError.h"
#include "aLink.h"

// Record types.
enum : uint8_t {
  aPacketLogSent = 1,
  aPacketLogReceived = 2,
  aPacketLogText = 3,
};

// The ring size a link gets when none was chosen.
inline constexpr uint32_t aPACKETLOG_DEFAULT_SIZE = 0x10000;
// The largest ring size a link may be given.
inline constexpr int32_t aPACKETLOG_MAX_SIZE = 0x4000000;
// The most data one record carries (its length is one byte).
inline constexpr uint32_t aPACKETLOG_MAX_RECORD = 255;

// Link functions; each takes the link id first, and an id with no link gives
// aErrParam.

// Chooses the ring size before the ring exists. aErrParam when the size, as
// a signed 32-bit value, exceeds aPACKETLOG_MAX_SIZE; aErrBusy when the link
// already has a ring; a negative size counts as 0 (the default).
aErr aLink_PacketDebug_SetLogSize(aLinkRef ref, uint32_t size);

// Creates the ring (and its lock) when the link has none and sets its
// enabled flag: the link then records what it sends and receives.
// aErrResource when the ring or its lock cannot be made.
aErr aLink_PacketDebug_Enable(aLinkRef ref);

// Clears the enabled flag: the link stops recording; what the ring holds can
// still be read. aErrNotReady when the link has no ring.
aErr aLink_PacketDebug_Disable(aLinkRef ref);

// Takes the oldest record; never waits. *length is the buffer's capacity on
// entry. aErrNotReady when the link has no ring, aErrNotFound when the ring
// is empty. Otherwise *type and *length get the record's type and length;
// when the capacity is below the length the result is aErrOverrun and the
// record stays; else its data is copied into buffer and the record removed.
// aErrParam for a null argument (buffer may be null only with capacity 0);
// aErrParse when the ring was found damaged (it is emptied).
aErr aLink_PacketDebug_Read(aLinkRef ref, uint8_t* type, uint32_t* length, uint8_t* buffer);

// Adds one record of this type and `length` bytes (a copy), whether or not
// the link is recording itself, dropping the oldest records as needed.
// aErrNotReady when the link has no ring; aErrParam for null bytes with a
// nonzero length; aErrSize for more than aPACKETLOG_MAX_RECORD bytes;
// aErrOverrun, ring untouched, when the record cannot fit even in the empty
// ring; aErrParse when the ring was found damaged.
aErr aLink_PacketDebug_Write(aLinkRef ref, uint8_t type, uint32_t length, const uint8_t* bytes);
