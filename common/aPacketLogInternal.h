#pragma once
// The packet log's ring itself (aPacketLog.h names a link's ring by the
// link's id only), and the steps the link engine and the link table take on
// the ring of a link object they own.

#include <cstdint>

#include "aError.h"
#include "aPacketLog.h"

struct aLink;

// The ring is empty when the read and write indexes are equal, and a record
// is added only while one byte stays free, so a full ring never looks empty.
// The ring functions take no lock: the link functions hold the link's.
struct aPacketLog {
  uint8_t enabled;  // the link engine records only while set
  uint8_t* data;    // owned, `size` bytes
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

// For the link engine and the link table, on a link object they own.
// Records one packet's wire bytes while the link's ring is enabled.
void aLink_PacketDebug_Record(aLink* link, uint8_t type, const uint8_t* bytes, uint32_t length);
// A re-initialised link starts without a ring; its lock stays, so a reader
// that holds it meanwhile is never left with a freed lock.
void aLink_PacketDebug_Drop(aLink* link);
// Frees the ring and its lock of a link being torn down.
void aLink_PacketDebug_Free(aLink* link);
