#include "aPacketLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aPacketLogInternal.h"

namespace {

constexpr uint32_t kHeader = 2;  // type and length bytes

// Serialises making a link's ring and its lock, and choosing its size, so
// two threads enabling one link never make two of either.
std::mutex gSetupMutex;

bool sConsistent(const aPacketLog* ring) {
  return ring->data && ring->size > 0 && ring->readIndex < ring->size && ring->writeIndex < ring->size;
}

uint32_t sUsed(const aPacketLog* ring) {
  return (ring->writeIndex - ring->readIndex + ring->size) % ring->size;
}

uint8_t sByteAt(const aPacketLog* ring, uint32_t offset) {
  return ring->data[(ring->readIndex + offset) % ring->size];
}

// The oldest record's data length, or false when the ring holds no whole
// record there (its header or data would run past the write index).
bool sOldestLength(const aPacketLog* ring, uint32_t* length) {
  const uint32_t used = sUsed(ring);
  if (used < kHeader)
    return false;
  *length = sByteAt(ring, 1);
  return *length <= used - kHeader;
}

void sEmpty(aPacketLog* ring) {
  ring->readIndex = ring->writeIndex;
}

// Frees one record's worth of room; a ring whose oldest record is damaged
// is emptied instead, so dropping always ends.
void sDropOldest(aPacketLog* ring) {
  uint32_t length = 0;
  if (!sOldestLength(ring, &length)) {
    sEmpty(ring);
    return;
  }
  ring->readIndex = (ring->readIndex + kHeader + length) % ring->size;
}

// Copies n bytes in at the write index, in at most two pieces round the end.
void sPutBytes(aPacketLog* ring, const uint8_t* bytes, uint32_t n) {
  const uint32_t first = std::min(n, ring->size - ring->writeIndex);
  std::memcpy(ring->data + ring->writeIndex, bytes, first);
  std::memcpy(ring->data, bytes + first, n - first);
  ring->writeIndex = (ring->writeIndex + n) % ring->size;
}

// Copies n bytes out from `offset` past the read index, the same way.
void sGetBytes(const aPacketLog* ring, uint32_t offset, uint8_t* out, uint32_t n) {
  const uint32_t from = (ring->readIndex + offset) % ring->size;
  const uint32_t first = std::min(n, ring->size - from);
  std::memcpy(out, ring->data + from, first);
  std::memcpy(out + first, ring->data, n - first);
}

aLink* sLink(aLinkRef ref) {
  aLink* link = aLink_GetLinkObject(ref);
  return link && link->check == aLINKCHECK ? link : nullptr;
}

// Runs `op` on the link's ring under its lock: aErrParam without a link,
// aErrNotReady without a ring.
template <typename Op>
aErr sWithRing(aLinkRef ref, Op op) {
  aLink* link = sLink(ref);
  if (!link)
    return aErrParam;
  // The ring is published after its lock is made, so a ring seen here has one.
  if (!link->packetLog.load())
    return aErrNotReady;
  if (aMutex_Lock(link->packetLogLock) != aErrNone)
    return aErrNotReady;
  aPacketLog* ring = link->packetLog.load();
  const aErr err = ring ? op(ring) : aErrNotReady;
  aMutex_Unlock(link->packetLogLock);
  return err;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0)
    return nullptr;
  aPacketLog* ring = new (std::nothrow) aPacketLog{};
  if (!ring)
    return nullptr;
  ring->data = new (std::nothrow) uint8_t[size];
  if (!ring->data) {
    delete ring;
    return nullptr;
  }
  ring->size = size;
  return ring;
}

aErr aPacketLog_Put(aPacketLog* ring, uint8_t type, uint32_t length, const uint8_t* bytes) {
  if (!ring || (length && !bytes))
    return aErrParam;
  if (length > aPACKETLOG_MAX_RECORD)
    return aErrSize;
  if (!sConsistent(ring))
    return aErrParse;
  const uint64_t needed = uint64_t{length} + kHeader;
  if (needed >= ring->size)
    return aErrOverrun;
  while (ring->size - sUsed(ring) <= needed)
    sDropOldest(ring);
  const uint8_t header[kHeader] = {type, static_cast<uint8_t>(length)};
  sPutBytes(ring, header, kHeader);
  if (length)
    sPutBytes(ring, bytes, length);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* ring, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  if (!ring || !type || !length || (*length && !buffer))
    return aErrParam;
  if (!sConsistent(ring))
    return aErrParse;
  if (sUsed(ring) == 0)
    return aErrNotFound;
  uint32_t recordLength = 0;
  if (!sOldestLength(ring, &recordLength)) {
    sEmpty(ring);
    return aErrParse;
  }
  const uint32_t capacity = *length;
  *type = sByteAt(ring, 0);
  *length = recordLength;
  if (capacity < recordLength)
    return aErrOverrun;
  if (recordLength)
    sGetBytes(ring, kHeader, buffer, recordLength);
  ring->readIndex = (ring->readIndex + kHeader + recordLength) % ring->size;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** ring) {
  if (!ring || !*ring)
    return aErrNone;
  (*ring)->enabled = 0;
  delete[](*ring)->data;
  delete *ring;
  *ring = nullptr;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef ref, uint32_t size) {
  aLink* link = sLink(ref);
  if (!link)
    return aErrParam;
  const int32_t asked = static_cast<int32_t>(size);
  if (asked > aPACKETLOG_MAX_SIZE)
    return aErrParam;
  std::lock_guard<std::mutex> hold(gSetupMutex);
  if (link->packetLog.load())
    return aErrBusy;
  link->packetLogSize = asked < 0 ? 0 : size;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef ref) {
  aLink* link = sLink(ref);
  if (!link)
    return aErrParam;
  std::lock_guard<std::mutex> hold(gSetupMutex);
  if (link->packetLogSize == 0)
    link->packetLogSize = aPACKETLOG_DEFAULT_SIZE;
  if (!link->packetLogLock) {
    char name[64];
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->packetLogLock = aMutex_Create(name);
    if (!link->packetLogLock)
      return aErrResource;
  }
  if (aMutex_Lock(link->packetLogLock) != aErrNone)
    return aErrResource;
  aErr err = aErrNone;
  aPacketLog* ring = link->packetLog.load();
  if (!ring) {
    ring = aPacketLog_Create(link->packetLogSize);
    if (ring)
      link->packetLog.store(ring);
  }
  if (ring) {
    ring->enabled = 1;
  } else {
    err = aErrResource;
  }
  aMutex_Unlock(link->packetLogLock);
  return err;
}

aErr aLink_PacketDebug_Disable(aLinkRef ref) {
  return sWithRing(ref, [](aPacketLog* ring) {
    ring->enabled = 0;
    return aErrNone;
  });
}

aErr aLink_PacketDebug_Read(aLinkRef ref, uint8_t* type, uint32_t* length, uint8_t* buffer) {
  return sWithRing(ref, [&](aPacketLog* ring) { return aPacketLog_Get(ring, type, length, buffer); });
}

aErr aLink_PacketDebug_Write(aLinkRef ref, uint8_t type, uint32_t length, const uint8_t* bytes) {
  return sWithRing(ref, [&](aPacketLog* ring) { return aPacketLog_Put(ring, type, length, bytes); });
}

void aLink_PacketDebug_Record(aLink* link, uint8_t type, const uint8_t* bytes, uint32_t length) {
  if (!link || !link->packetLog.load())
    return;
  if (aMutex_Lock(link->packetLogLock) != aErrNone)
    return;
  aPacketLog* ring = link->packetLog.load();
  if (ring && ring->enabled)
    aPacketLog_Put(ring, type, length, bytes);
  aMutex_Unlock(link->packetLogLock);
}

void aLink_PacketDebug_Drop(aLink* link) {
  if (!link)
    return;
  std::lock_guard<std::mutex> hold(gSetupMutex);
  aPacketLog* ring = link->packetLog.load();
  if (!ring)
    return;
  if (link->packetLogLock && aMutex_Lock(link->packetLogLock) == aErrNone) {
    link->packetLog.store(nullptr);
    aMutex_Unlock(link->packetLogLock);
  } else {
    link->packetLog.store(nullptr);
  }
  aPacketLog_Destroy(&ring);
}

void aLink_PacketDebug_Free(aLink* link) {
  if (!link)
    return;
  aPacketLog* ring = link->packetLog.exchange(nullptr);
  aPacketLog_Destroy(&ring);
  if (link->packetLogLock)
    aMutex_Destroy(&link->packetLogLock);
}
