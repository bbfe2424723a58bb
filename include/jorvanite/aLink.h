#pragma once
// The link engine: moves packets between one byte stream and the
// application. Each open link has one link object, owned by its entry in the
// link table (aLinkTable.h), with two packet queues and two threads:
//   - the in-pipe (receive) thread reads the stream one byte at a time,
//     reassembles packets, offers each to the user packet filter, answers
//     heartbeats itself and queues the rest on the input queue;
//   - the out-pipe (send) thread takes packets from the output queue and
//     writes them, one per write or pooled into writes of up to 4096 bytes.
// The engine also runs the synchronisation handshake that finds the
// module's packet boundaries, and sends the force-route packet when a link
// starts (route 1) and stops (route 0).
//
// Wire control packets:
//   sync query      0xAD 0x00                  host -> module; answered by an
//                                               empty packet from the module's address
//   heartbeat       addr 0x02 0x00 value       module -> host
//   heartbeat reply addr 0x02 0x00 value+2     host -> module (modulo 256)
//   force route     0xAF 0x01 route            host -> module
//
// Programs name a link by its id (aLinkRef): the link table (aLinkTable.h)
// creates, shares and destroys links; the functions here work on a link
// that is open. Packets handed out are the caller's to free.
//
// Threads: every function may be called from any application thread. The
// user packet filter runs on the receive thread under the link's filter
// lock; it must not install a filter on its own link. Idle links sleep on
// the stream's wait operation where the stream has one.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "aError.h"
#include "aPacket.h"
#include "aPacketFifo.h"

// A link id from the link table: handed out from 1 upward, never reused; 0
// names no link.
typedef uint32_t aLinkRef;

// Link status values.
enum : uint32_t {
  linkStateStopped = 0,      // initialised with a stream; a stop completed
  linkStateStarting = 1,     // a start creates the pipe threads
  linkStateRunning = 2,      // the receive thread runs; a handshake completed
  linkStateStopping = 3,     // a stop is under way
  linkStateSyncing = 4,      // a handshake is asked for or under way
  linkStateNoStream = 5,     // initialised without a stream; also any invalid link id
  linkStateStreamError = 6,  // a stream read failed
  linkStatePacketError = 8,  // a received packet could not be queued
};

inline constexpr uint8_t kSyncQueryAddress = 0xAD;
inline constexpr uint8_t cmdFORCEROUTE = 0xAF;
// The output queue's marks for producers that feed it faster than the link
// writes (aLink_AwaitOutputRoom): one that finds this many queued sleeps...
inline constexpr size_t aLINK_OUTPUT_HIGH_WATER = aPACKETFIFO_MAX_PACKETS / 2;
// ...until the send thread has brought the queue down to this many.
inline constexpr size_t aLINK_OUTPUT_LOW_WATER = aPACKETFIFO_MAX_PACKETS / 4;
// Runs the handshake and waits up to 2 s for it: aErrNone when it completed,
// aErrNotReady when not. Both queues are emptied in either case.
// aErrParam for an invalid id.
aErr aLink_Sync(aLinkRef ref);

// Queues 0xAF 0x01 route. aErrNotFound for an id not in the table, aErrParam
// for an entry without a link object, aErrMemory when the packet cannot be
// made, else the queue's result.
aErr aLink_ForceRoute(aLinkRef ref, uint8_t route);

// The link's status; linkStateNoStream for an invalid id.
uint32_t aLink_GetStatus(aLinkRef ref);

// The link's connection epoch: a count that moves whenever its stream found
// the connection to the module lost or replaced, or the link was given a new
// stream. Note it before asking the module to restart: once it moves the
// module has gone, even if the stream has reconnected since. aErrMode when
// the stream keeps no epoch (its failures show in the link's status
// instead); aErrParam for an invalid id or null epoch. Not while the link is
// being reset.
aErr aLink_GetConnectionEpoch(aLinkRef ref, uint64_t* epoch);

// Queues one address query (0xAD, no data), which every module answers with
// an empty packet. A module whose network stack restarted under an open
// connection shows it only when something is sent to it: the fresh stack
// resets the old connection. aErrParam for an invalid id, else the queue's
// result.
aErr aLink_Probe(aLinkRef ref);

// Queues a copy of the packet for sending (the caller keeps its own).
// aErrParam for an invalid id, else the queue's result: aErrOverrun when
// 1000 packets wait to be written already. A packet of address 0, which no
// module has, is not written.
aErr aLink_PutPacket(aLinkRef ref, const aPacket* packet);

// For a producer of many packets (a byte block): aErrNone at once while
// fewer than aLINK_OUTPUT_HIGH_WATER packets wait to be written; otherwise
// sleeps until the send thread, taking packets, has brought them down to
// aLINK_OUTPUT_LOW_WATER (it wakes the caller then). aErrTimeout when the
// link takes nothing for msTimeout; aErrConnection when the link is not
// running after a wait or its queue went meanwhile; aErrParam for an
// invalid id.
aErr aLink_AwaitOutputRoom(aLinkRef ref, uint64_t msTimeout);

// The oldest received packet (the caller frees it), at once or waiting up
// to msTimeout; null when there is none or the id is invalid.
aPacket* aLink_GetPacket(aLinkRef ref);
aPacket* aLink_AwaitPacket(aLinkRef ref, uint64_t msTimeout);

// The first received packet the filter accepts, removed; null when none
// does. Never waits.
aPacket* aLink_GetFirst(aLinkRef ref, aPacketFilterProc filter, void* filterRef);

// Waits up to msTimeout for the first received packet the filter accepts,
// while the link runs with status 2: a timeout of 0, a stopped link or any
// other status gives null at once.
aPacket* aLink_AwaitFirst(aLinkRef ref, aPacketFilterProc filter, void* filterRef, uint64_t msTimeout);

// Removes and frees every received packet the filter accepts; how many (0
// for an invalid id).
size_t aLink_DrainPackets(aLinkRef ref, aPacketFilterProc filter, void* filterRef);

// One request and its reply. Received packets the filter accepts are dropped
// first (late answers to an earlier request that gave up must not answer this
// one), then `send` queues the request and the first packet the filter
// accepts within msTimeout is the reply (*reply; the caller frees it).
// The result tells the ways it can fail apart: `send`'s failure as it is
// (with *sent false), aErrConnection when the link is not running or stopped
// during the wait, aErrTimeout when it ran the whole wait without a reply.
// aErrParam for a null filter or reply, or an invalid id. A filter that
// records what it takes drops with its own scratch reference, or another
// filter, given as staleFilter/staleRef (null: the reply's filter and ref).
aErr aLink_Exchange(aLinkRef ref, const std::function<aErr()>& send, aPacketFilterProc filter, void* filterRef,
                    uint64_t msTimeout, aPacket** reply, bool* sent = nullptr, aPacketFilterProc staleFilter = nullptr,
                    void* staleRef = nullptr);
// The same for a request of one packet to `address` with these data bytes
// (aErrResource when the packet cannot be made).
aErr aLink_ExchangePacket(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* data, aPacketFilterProc filter,
                          void* filterRef, uint64_t msTimeout, aPacket** reply, bool* sent = nullptr);
// Asks the module its address: the sync query (kSyncQueryAddress, no data),
// answered by an empty packet from the module's own address, exchanged as
// aLink_Exchange does. The answer is the first empty packet received (other
// packets stay queued for their own waiters), or with nextPacket the next
// packet received whatever it is: a link-sharing server's client is handed
// only the replies to its own requests. *address is written on success
// only; aErrIO for an answer that is not an empty packet from a nonzero
// address, else aLink_Exchange's results.
aErr aLink_QueryModuleAddress(aLinkRef ref, uint64_t msTimeout, bool nextPacket, uint8_t* address);

// Installs the user packet filter (null removes it) and its reference under
// the filter lock; once this returns the old filter is not running and is
// never called again. The filter sees every complete received packet first;
// returning true consumes it (heartbeats included: they then go unanswered).
// aErrParam for an invalid id.
aErr aLink_InstallUserPacketFilter(aLinkRef ref, aPacketFilterProc filter, void* filterRef);

// Switches pooled output on or off. aErrParam for an invalid id.
aErr aLink_EnablePooledPackets(aLinkRef ref, bool pooled);

// The accept-every-packet filter.
bool drainAll(const aPacket* packet, void* ref);
