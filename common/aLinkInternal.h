#pragma once
// The link engine's own record of a link and its life-cycle steps, for the
// engine, the link table that owns the records, the packet log that hangs
// off them and tests. Programs reach a link only by its id (aLink.h).

#include <atomic>
#include <cstdint>

#include "aLink.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"
#include "aThread.h"

#define aLINKCHECK 0xCEED

// States of the synchronisation handshake.
enum : uint32_t {
  kSyncStateIdle = 0,   // none under way (also after one completed)
  kSyncStateStart = 1,  // queries must be (re)sent
  kSyncStateByte1 = 2,  // waiting for the first address byte
  kSyncStateByte2 = 3,  // waiting for the first length byte (0)
  kSyncStateByte3 = 4,  // waiting for the address byte again
  kSyncStateByte4 = 5,  // waiting for the second length byte (0)
};

// Queries queued per handshake round.
inline constexpr int kSyncQueryCount = 6;
// A handshake waiting on a stream that stays silent is restarted at most this often.
inline constexpr uint64_t kSyncRestartMS = 1000;
// Size of one pooled write.
inline constexpr uint64_t kLinkPoolBytes = 4096;

struct aPacketLog;  // the packet log; none until packet debugging is enabled
typedef void (*aLinkHeartbeatNotifyProc)(bool oddReply);

// One link object. Fields shared by the pipe threads and the application
// without a lock are atomic.
struct aLink {
  uint16_t check;  // aLINKCHECK once initialised
  aLinkRef linkRef;
  std::atomic<uint8_t> running;
  std::atomic<uint32_t> status;
  aPacketFifoId inputFifo;
  aPacket* receivePacket;  // being reassembled by the receive thread
  aPacketFifoId outputFifo;
  aThread* inPipeThread;
  aThread* outPipeThread;
  aThreadProc inPipeProc;
  aThreadProc outPipeProc;
  std::atomic<uint8_t> inPipeStarted;
  std::atomic<uint8_t> outPipeStarted;
  aStream* stream;          // owned by the link object
  uint32_t heartbeatState;  // 0 idle; 2 or 3 while a reply to value 0 or 1 is queued
  aLinkHeartbeatNotifyProc heartbeatNotify;
  uint32_t syncState;  // receive thread only
  uint8_t syncAddress;
  std::atomic<aPacketLog*> packetLog;  // published after its lock is made
  uint32_t packetLogSize;
  aMutex* packetLogLock;
  aPacketFilterProc userFilter;
  void* userFilterRef;
  aMutex* filterLock;
  std::atomic<uint8_t> pooled;
  // Sync requests are counted here by aLink_Sync and marked served by the
  // receive thread when a handshake begun for them completes, so a status the
  // receive thread stores meanwhile (a read error, say) never swallows one.
  std::atomic<uint32_t> syncRequested;
  std::atomic<uint32_t> syncServed;
  uint32_t syncFor;          // receive thread only: the requests the handshake under way answers
  uint64_t lastSyncStartMS;  // steady-clock time of the last handshake restart
  // Streams this link object has been given: a stream made anew (a link
  // reset) starts its own epoch afresh, so the link's epoch counts both.
  std::atomic<uint32_t> streamsInstalled;
};

// Fills the link object of the table entry `ref` with the stream (may be
// null: status 5, the stream field kept). On a link initialised before, frees
// what that initialisation made (queues, receive packet, locks) and a
// different stream it held. The id, or 0 for an invalid id, a running link,
// or when a queue, the receive packet or a lock cannot be made (nothing made
// is left behind, and the stream stays the caller's).
aLinkRef aLink_Init(aLinkRef ref, aStream* stream);

// Starts both pipe threads and waits (2 s) for them; then queues force route
// 1. aErrNone (also when already running, without a force route),
// aErrParam for an invalid id, aErrResource when a thread cannot be made,
// aErrTimeout when the threads do not come up in time. A start that fails
// has ended and joined the thread it made and leaves the link stopped.
aErr aLink_Start(aLinkRef ref);

// Queues force route 0, ends and joins both threads (writing what is still
// queued first) and leaves the link stopped. The force route's result
// (aErrOverrun when the output queue is full: the backlog is still written);
// aErrNone when already stopped or stopping; aErrParam for null; aErrUnknown
// when a join fails.
aErr aLink_Stop(aLink* link);

// The module's answer to the address query: an empty packet from a nonzero
// address gives that address; any other packet aErrIO (*address untouched).
aErr aLink_ReadModuleAddress(const aPacket* reply, uint8_t* address);
