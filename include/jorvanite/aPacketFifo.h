#pragma once
// Thread-safe first-in first-out queues of packets, named by 64-bit ids in
// one process-wide dictionary. Any thread may call any operation.
//
// Ownership: a put stores its own copy of the caller's packet; every take
// hands out a new copy that the caller frees with aPacket_Destroy.
// Capacity: at most 1000 packets stay queued; a put on a full queue is
// refused with aErrOverrun and the queue keeps what it holds, so no packet
// its sender was told is queued is ever dropped by the queue.
// Waits block on a condition variable against the monotonic clock (no
// polling); a put or a destroy wakes them at once. Time-outs of any size are
// accepted; very long ones are capped rather than overflowing.
// Filters run with the queue's lock held: they must be quick and must not
// call any operation on the same queue.

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// 0 names no queue. Ids are handed out from 1 upward, never twice.
typedef uint64_t aPacketFifoId;

#define aPACKETFIFO_MAX_PACKETS 1000

// A new, empty queue's id; 0 when it cannot be made.
aPacketFifoId aPacketFifo_Create();

// Frees the queued packets, wakes every waiter (they return null) and sets
// *id to 0. aErrParam for a null address; aErrNotFound when *id names no
// queue; aErrUnknown when an internal failure interrupts it.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Appends a copy of packet. aErrOverrun when the queue holds 1000 packets
// already (nothing changes); aErrParam for a missing queue, an invalid packet
// or a copy that cannot be made; aErrResource when the queue cannot grow.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// Ends the aPacketFifo_Await under way, or the next one when none is, at
// once: with the oldest packet when one is queued, else with null. For a
// taker that must look at something besides the queue (a stop) without a
// packet being put for it, which a full queue would refuse. aErrParam for a
// missing queue.
aErr aPacketFifo_Wake(aPacketFifoId id);

// For a producer that must not outrun the queue's taker: aErrNone at once
// while fewer than `high` packets are queued; otherwise sleeps until takes
// have brought the queue down to `low` or fewer (a take that does so wakes
// it); aErrTimeout once msTimeout passes without any take. aErrParam for a
// missing queue or one destroyed meanwhile.
aErr aPacketFifo_AwaitRoom(aPacketFifoId id, size_t high, size_t low, uint64_t msTimeout);

// The oldest packet, removed; null when the queue is missing or empty.
aPacket* aPacketFifo_Get(aPacketFifoId id);

// The oldest packet, removed, as soon as there is one; null after msTimeout,
// at once for a missing queue, or when the queue is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t msTimeout);

// The oldest packet the filter accepts, removed; null when none does, the
// filter is null or the queue is missing. Never waits.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref);

// The first packet the filter accepts, removed, as soon as one is there.
// Each packet is offered to the filter at most once per call, in arrival
// order; packets it declines stay queued in their order. Null after
// msTimeout, for a null filter, at once for a missing queue, or when the
// queue is destroyed meanwhile.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref, uint64_t msTimeout);

// Removes and frees every packet the filter accepts (the rest keep their
// order); returns how many. 0 for a missing queue or a null filter.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, void* ref);

// Number of queued packets; 0 for a missing queue.
size_t aPacketFifo_GetLength(aPacketFifoId id);
