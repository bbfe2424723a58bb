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
// that can never fit is refused. The ring is empty when the read and write
// indexes are equal, and a record is added only while one byte stays free,
// so a full ring never looks empty.
//
// Threads: the ring functions take no lock; the link functions take the
// link's ring lock ("LOG_SEMA_%p") around every access to its ring, so any
// thread may call them. Recording never allocates.

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

struct aPacketLog {
  uint8_t enabled;  // the link engine records only while set
  uint8_t* data;                 // owned, `size` bytes
  uint32_t size;
  uint32_t readIndex;   // where the oldest record starts
  uint32_t writeIndex;  // where the next record goes
};

// A new empty ring of `size` bytes, enabled flag clear; null for size 0 or
// when memory runs out. Destroy it with aPacketLog_Destroy.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends one record, dropping the oldest records as needed. aErrParam for a
// null ring or null bytes with a nonzero length; aErrParse for a ring whose
// indexes are inconsistent; aErrSize for more than 255
// data bytes (the length byte cannot carry them); aErrOverrun, ring
// untouched, when the record cannot fit even in the empty ring (length + 2
// not below the size).
aErr aPacketLog_Put(aPacketLog* ring, uint8_t type, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. *length is the buffer's capacity on entry.
// aErrNotFound when the ring is empty. Otherwise *type and *length get the
// record's type and length; when the capacity is below the length the result
// is aErrOverrun and the record stays; else its data is copied, the record
// removed and the result aErrNone. aErrParam for a null argument (buffer may
// be null only with capacity 0). A ring whose indexes or record lengths are
// inconsistent is emptied and gives aErrParse; nothing outside its buffer is
// ever read.
aErr aPacketLog_Get(aPacketLog* ring, uint8_t* type, uint32_t* length, uint8_t* buffer);

// Clears the enabled flag, frees the buffer and the ring, sets *ring to null.
// aErrNone, also for a null address or ring.
aErr aPacketLog_Destroy(aPacketLog** ring);

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

// As aPacketLog_Get on the link's ring; aErrNotReady when it has none.
aErr aLink_PacketDebug_Read(aLinkRef ref, uint8_t* type, uint32_t* length, uint8_t* buffer);

// As aPacketLog_Put on the link's ring, whether or not the link is recording
// itself; aErrNotReady when it has none.
aErr aLink_PacketDebug_Write(aLinkRef ref, uint8_t type, uint32_t length, const uint8_t* bytes);

// For the link engine and the link table, on a link object they own.
// Records one packet's wire bytes while the link's ring is enabled.
void aLink_PacketDebug_Record(aLink* link, uint8_t type, const uint8_t* bytes, uint32_t length);
// A re-initialised link starts without a ring; its lock stays, so a reader
// that holds it meanwhile is never left with a freed lock.
void aLink_PacketDebug_Drop(aLink* link);
// Frees the ring and its lock of a link being torn down.
void aLink_PacketDebug_Free(aLink* link);
