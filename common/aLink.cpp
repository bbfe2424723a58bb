#include "aLink.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "aLinkInternal.h"
#include "aLinkReceive.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aOpenFailure.h"
#include "aPacketLog.h"
#include "aPacketLogInternal.h"
#include "aStreamInternal.h"
#include "aTime.h"

namespace {

// Never a module address: a packet from this address is never written.
constexpr uint8_t kNoModuleAddress = 0;
// How long one idle wait on the stream lasts; bounds how soon the receive
// thread sees a stop or a sync request on a silent stream.
constexpr uint64_t kIdleWaitMS = 50;
constexpr uint64_t kReadErrorPauseMS = 100;
constexpr uint64_t kStartPollCount = 200;
constexpr uint64_t kPollMS = 10;
constexpr uint64_t kSyncDrainPauseMS = 100;
constexpr uint64_t kOutPipeWaitMS = 1000;

uint64_t sSteadyMS() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

aLink* sInitialised(aLinkRef ref) {
  aLink* link = aLink_GetLinkObject(ref);
  return link && link->check == aLINKCHECK ? link : nullptr;
}

aErr sQueue(aPacketFifoId fifo, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNone = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &kNone);
  if (!packet)
    return aErrMemory;
  aErr err = aPacketFifo_Put(fifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

aErr sQueueForceRoute(aLink* link, uint8_t route) {
  return sQueue(link->outputFifo, cmdFORCEROUTE, 1, &route);
}

void sLogPacket(aLink* link, uint32_t type, const uint8_t* bytes, uint32_t length) {
  aLink_PacketDebug_Record(link, static_cast<uint8_t>(type), bytes, length);
}

uint32_t sWire(const aPacket* packet, uint8_t* out) {
  out[0] = packet->address;
  out[1] = packet->length;
  std::memcpy(out + 2, packet->data, packet->length);
  return packet->length + 2u;
}

void sStartSync(aLink* link) {
  link->status = linkStateSyncing;
  link->syncState = kSyncStateStart;
  link->lastSyncStartMS = sSteadyMS();
  aPacket_Reset(link->receivePacket);
  aErr last = aErrNone;
  for (int i = 0; i < kSyncQueryCount; ++i)
    last = sQueue(link->outputFifo, kSyncQueryAddress, 0, nullptr);
  if (last == aErrNone)
    link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState) {
    case kSyncStateByte1:
      if (byte != 0 && !(byte & 1)) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      return;
    case kSyncStateByte2:
      link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      return;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      return;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSyncStateIdle;
        aPacket_Reset(link->receivePacket);
        link->status = linkStateRunning;
        link->syncServed.store(link->syncFor);
      } else {
        link->syncState = kSyncStateStart;
      }
      return;
    default:  // idle or start: a fresh round of queries
      sStartSync(link);
      return;
  }
}

bool sIsHeartbeat(const aLink* link, const aPacket* packet) {
  return packet->length == 2 && packet->data[0] == 0 && link->heartbeatState == 0;
}

void sAnswerHeartbeat(aLink* link, const aPacket* packet) {
  const uint8_t value = packet->data[1];
  if (value == 0)
    link->heartbeatState = 2;
  if (value == 1)
    link->heartbeatState = 3;
  const uint8_t reply[2] = {0, static_cast<uint8_t>(value + 2)};
  aPacket* answer = aPacket_CreateWithData(packet->address, 2, reply);
  if (!answer)
    return;  // the state stays set: later heartbeats are delivered, not answered
  aPacketFifo_Put(link->outputFifo, answer);
  aPacket_Destroy(&answer);
  link->heartbeatState = 0;
  if (link->heartbeatNotify)
    link->heartbeatNotify((reply[1] & 1) != 0);
}

aErr sHandlePacket(aLink* link) {
  aPacket* packet = link->receivePacket;
  if (link->packetLog) {
    uint8_t wire[aPACKET_MAX_WIRE];
    sLogPacket(link, 2, wire, sWire(packet, wire));
  }
  aErr err = aErrNone;
  bool consumed = false;
  if (aMutex_Lock(link->filterLock) == aErrNone) {
    if (link->userFilter)
      consumed = link->userFilter(packet, link->userFilterRef);
    aMutex_Unlock(link->filterLock);
  }
  if (!consumed) {
    if (sIsHeartbeat(link, packet)) {
      sAnswerHeartbeat(link, packet);
    } else {
      err = aPacketFifo_Put(link->inputFifo, packet);
      if (err == aErrOverrun) {
        // Nobody has taken a packet for the last 1000: the oldest is the
        // stalest, and the newest may be the answer someone waits for.
        aPacket* oldest = aPacketFifo_Get(link->inputFifo);
        aPacket_Destroy(&oldest);
        err = aPacketFifo_Put(link->inputFifo, packet);
      }
    }
  }
  aPacket_Reset(packet);
  return err;
}

// A handshake under way on a silent stream starts a new round at most
// once a second, not on every empty read.
void sIdleTick(aLink* link) {
  if (link->status == linkStateSyncing && sSteadyMS() - link->lastSyncStartMS >= kSyncRestartMS) {
    sStartSync(link);
  }
}

// After an empty read. A stream without a wait operation gets a short pause
// that grows while the link stays idle, and so does one whose wait keeps
// waking without a byte to read (a peer that hung up): the thread never spins.
void sAfterEmptyRead(aLink* link, uint32_t* fruitless) {
  ++*fruitless;
  if (link->stream->wait && *fruitless <= 2)
    return;
  aTime_MSSleep(*fruitless < 4 ? 1u << *fruitless : 10);
}

void* sInPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->heartbeatState = 0;
  link->syncAddress = 1;
  link->inPipeStarted = 1;
  link->status = linkStateRunning;
  link->syncState = kSyncStateIdle;
  // A stream that can wait is slept on before each read (its wait answers
  // at once while it holds bytes), in short slices so that a stop or a sync
  // request is seen soon even on a stream whose read would block.
  uint32_t fruitless = 0;  // empty reads in a row
  while (link->running) {
    // A requested handshake is pursued until one completes: a status that
    // a read error stored meanwhile does not end it.
    const uint32_t asked = link->syncRequested.load();
    if (asked != link->syncServed.load()) {
      if (link->syncState == kSyncStateIdle) {
        sStartSync(link);
      } else if (link->status != linkStateSyncing) {
        link->status = linkStateSyncing;
      }
      link->syncFor = asked;  // the handshake under way answers every request made so far
    }
    if (link->stream && link->stream->wait && aStream_WaitReadable(link->stream, kIdleWaitMS) == aErrTimeout) {
      fruitless = 0;
      sIdleTick(link);
      continue;
    }
    uint8_t byte = 0;
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      sIdleTick(link);
      sAfterEmptyRead(link, &fruitless);
      continue;
    }
    fruitless = 0;
    if (err != aErrNone) {
      link->status = linkStateStreamError;
      aTime_MSSleep(kReadErrorPauseMS);
      continue;
    }
    aLink_ReceiveByte(link, byte);
  }
  return nullptr;
}

}  // namespace

void aLink_ReceiveByte(aLink* link, uint8_t byte) {
  if (link->status == linkStateSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->receivePacket, byte) != aErrNone) {
    sStartSync(link);
    return;
  }
  if (aPacket_IsComplete(link->receivePacket) && sHandlePacket(link) != aErrNone) {
    link->status = linkStatePacketError;
  }
}

namespace {

void sWritePacket(aLink* link, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  aStream_Write(link->stream, wire, sWire(packet, wire));  // a failed write loses the packet
}

void* sOutPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->outPipeStarted = 1;
  static_assert(kLinkPoolBytes >= aPACKET_MAX_WIRE);
  uint8_t pool[kLinkPoolBytes];
  while (link->running) {
    aPacket* packet = aPacketFifo_Await(link->outputFifo, kOutPipeWaitMS);
    if (!packet)
      continue;
    if (packet->address == kNoModuleAddress) {
      aPacket_Destroy(&packet);
      continue;
    }
    // Recorded before it is written, so a reply is never logged ahead of its request.
    if (link->packetLog) {
      uint8_t wire[aPACKET_MAX_WIRE];
      sLogPacket(link, 1, wire, sWire(packet, wire));
    }
    if (!link->pooled) {
      sWritePacket(link, packet);
    } else {
      std::memset(pool, 0, sizeof pool);
      uint64_t used = sWire(packet, pool);
      while (used + aPACKET_MAX_WIRE <= kLinkPoolBytes) {
        aPacket* next = aPacketFifo_Get(link->outputFifo);
        if (!next)
          break;
        if (next->address != kNoModuleAddress)
          used += sWire(next, pool + used);
        aPacket_Destroy(&next);
      }
      aStream_Write(link->stream, pool, used);
    }
    aPacket_Destroy(&packet);
  }
  // What is still queued (the stop's force route among it) goes out one by one.
  while (aPacket* packet = aPacketFifo_Get(link->outputFifo)) {
    if (packet->address != kNoModuleAddress)
      sWritePacket(link, packet);
    aPacket_Destroy(&packet);
  }
  return nullptr;
}

struct Parts {
  aPacketFifoId input = 0;
  aPacketFifoId output = 0;
  aPacket* packet = nullptr;
  aMutex* filterLock = nullptr;

  void release() {
    if (input)
      aPacketFifo_Destroy(&input);
    if (output)
      aPacketFifo_Destroy(&output);
    if (packet)
      aPacket_Destroy(&packet);
    if (filterLock)
      aMutex_Destroy(&filterLock);
  }
};

}  // namespace

bool drainAll(const aPacket*, void*) {
  return true;
}

aLinkRef aLink_Init(aLinkRef ref, aStream* stream) {
  aLink* link = aLink_GetLinkObject(ref);
  if (!link || link->running)
    return 0;

  // Make the new parts first: a failure leaves the link as it was.
  Parts made;
  char name[64];
  std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  made.input = aPacketFifo_Create();
  made.output = aPacketFifo_Create();
  made.packet = aPacket_Create();
  made.filterLock = aMutex_Create(name);
  if (!made.input || !made.output || !made.packet || !made.filterLock) {
    made.release();
    return 0;
  }

  if (link->check == aLINKCHECK) {
    Parts old{link->inputFifo, link->outputFifo, link->receivePacket, link->filterLock};
    old.release();
    aLink_PacketDebug_Drop(link);
  }

  link->linkRef = ref;
  link->check = aLINKCHECK;
  link->running = 0;
  if (stream) {
    if (link->stream && link->stream != stream)
      aStream_Destroy(&link->stream);
    link->stream = stream;
    link->streamsInstalled.fetch_add(1);
    link->status = linkStateStopped;
  } else {
    link->status = linkStateNoStream;
  }
  link->inPipeThread = nullptr;
  link->outPipeThread = nullptr;
  link->inPipeStarted = 0;
  link->outPipeStarted = 0;
  link->inputFifo = made.input;
  link->outputFifo = made.output;
  link->inPipeProc = sInPipeProcess;
  link->outPipeProc = sOutPipeProcess;
  link->heartbeatState = 0;
  link->heartbeatNotify = nullptr;
  link->receivePacket = made.packet;
  link->packetLog = nullptr;
  link->packetLogSize = 0;
  link->pooled = 0;
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  link->filterLock = made.filterLock;
  link->syncState = kSyncStateIdle;
  link->syncServed = link->syncRequested.load();
  link->syncFor = link->syncServed.load();
  link->lastSyncStartMS = 0;
  return ref;
}

namespace {

// Ends and joins the pipe threads that exist and leaves the link stopped;
// false when a join failed.
bool sEndThreads(aLink* link) {
  bool joined = true;
  link->running = 0;
  // Wake the send thread now rather than at the end of its wait, without a
  // packet: a full queue must not cost the backlog or the force route.
  aPacketFifo_Wake(link->outputFifo);
  if (link->inPipeThread && aThread_Destroy(&link->inPipeThread) != 0)
    joined = false;
  if (link->outPipeThread && aThread_Destroy(&link->outPipeThread) != 0)
    joined = false;
  link->inPipeStarted = 0;
  link->outPipeStarted = 0;
  aPacket_Reset(link->receivePacket);
  link->status = linkStateStopped;
  link->heartbeatState = 0;
  return joined;
}

}  // namespace

aErr aLink_Start(aLinkRef ref) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  if (link->running)
    return aErrNone;
  link->running = 1;
  link->status = linkStateStarting;
  link->heartbeatState = 0;
  link->inPipeStarted = 0;
  link->outPipeStarted = 0;
  link->inPipeThread = aThread_Create(link->inPipeProc, link);
  link->outPipeThread = link->inPipeThread ? aThread_Create(link->outPipeProc, link) : nullptr;
  aErr result = link->outPipeThread ? aErrTimeout : aErrResource;
  for (uint64_t i = 0; result == aErrTimeout; ++i) {
    if (link->inPipeStarted && link->outPipeStarted && link->status == linkStateRunning) {
      result = aErrNone;
    } else if (i == kStartPollCount) {
      break;
    } else {
      aTime_MSSleep(kPollMS);
    }
  }
  if (result == aErrNone)
    return aLink_ForceRoute(ref, 1);
  // A thread left running would read the stream the caller now destroys or
  // replaces; no force route went out, so none goes out now either.
  sEndThreads(link);
  return result;
}

aErr aLink_Stop(aLink* link) {
  if (!link)
    return aErrParam;
  const uint32_t status = link->status;
  if (status == linkStateStopped || status == linkStateStopping)
    return aErrNone;
  link->status = linkStateStopping;
  aErr result = aErrNone;
  // Queued on the link itself, not by id: a link being destroyed has left the table already.
  if (link->inPipeThread && link->outPipeThread)
    result = sQueueForceRoute(link, 0);
  if (!sEndThreads(link))
    result = aErrUnknown;
  return result;
}

aErr aLink_Sync(aLinkRef ref) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  const uint32_t asked = link->syncRequested.fetch_add(1) + 1;
  link->status = linkStateSyncing;
  aErr result = aErrNotReady;
  for (uint64_t i = 0; i < kStartPollCount; ++i) {
    // Served first, then the status: the receive thread marks requests
    // served only when a handshake begun after them completes.
    const bool served = static_cast<int32_t>(link->syncServed.load() - asked) >= 0;
    if (served && link->status == linkStateRunning) {
      result = aErrNone;
      break;
    }
    aTime_MSSleep(kPollMS);
  }
  aPacketFifo_DrainPackets(link->outputFifo, drainAll, nullptr);
  aTime_MSSleep(kSyncDrainPauseMS);
  aPacketFifo_DrainPackets(link->inputFifo, drainAll, nullptr);
  if (result != aErrNone)
    aOpenFailure_Note(aOpenStepSyncLink, aOpenCauseNoAnswer, 0, static_cast<uint32_t>(kStartPollCount * kPollMS));
  return result;
}

aErr aLink_ForceRoute(aLinkRef ref, uint8_t route) {
  linkItem* entry = aLink_LookupEntry(ref);
  if (!entry)
    return aErrNotFound;
  if (!entry->link)
    return aErrParam;
  return sQueueForceRoute(entry->link, route);
}

uint32_t aLink_GetStatus(aLinkRef ref) {
  aLink* link = aLink_GetLinkObject(ref);
  return link ? link->status.load() : linkStateNoStream;
}

aErr aLink_GetConnectionEpoch(aLinkRef ref, uint64_t* epoch) {
  aLink* link = sInitialised(ref);
  if (!link || !epoch || !link->stream)
    return aErrParam;
  uint64_t streamEpoch = 0;
  const aErr err = aStream_GetEpoch(link->stream, &streamEpoch);
  if (err != aErrNone)
    return err;
  *epoch = (uint64_t{link->streamsInstalled.load()} << 32) + streamEpoch;
  return aErrNone;
}

aErr aLink_Probe(aLinkRef ref) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  return sQueue(link->outputFifo, kSyncQueryAddress, 0, nullptr);
}

aErr aLink_PutPacket(aLinkRef ref, const aPacket* packet) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  return aPacketFifo_Put(link->outputFifo, packet);
}

aErr aLink_AwaitOutputRoom(aLinkRef ref, uint64_t msTimeout) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  if (aPacketFifo_GetLength(link->outputFifo) < aLINK_OUTPUT_HIGH_WATER)
    return aErrNone;
  const aErr err = aPacketFifo_AwaitRoom(link->outputFifo, aLINK_OUTPUT_HIGH_WATER, aLINK_OUTPUT_LOW_WATER, msTimeout);
  if (err == aErrParam)
    return aErrConnection;
  if (err != aErrNone)
    return err;
  return link->status == linkStateRunning ? aErrNone : aErrConnection;
}

aPacket* aLink_GetPacket(aLinkRef ref) {
  aLink* link = sInitialised(ref);
  return link ? aPacketFifo_Get(link->inputFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef ref, uint64_t msTimeout) {
  aLink* link = sInitialised(ref);
  return link ? aPacketFifo_Await(link->inputFifo, msTimeout) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef ref, aPacketFilterProc filter, void* filterRef) {
  aLink* link = sInitialised(ref);
  return link ? aPacketFifo_GetFirst(link->inputFifo, filter, filterRef) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef ref, aPacketFilterProc filter, void* filterRef, uint64_t msTimeout) {
  aLink* link = sInitialised(ref);
  if (!link)
    return nullptr;
  // The steady clock: a change of the system time neither cuts nor stretches the wait.
  const uint64_t start = sSteadyMS();
  const uint64_t deadline = msTimeout > UINT64_MAX - start ? UINT64_MAX : start + msTimeout;
  aPacket* found = nullptr;
  for (uint64_t now = start; link->running && link->status == linkStateRunning && !found && now < deadline;
       now = sSteadyMS()) {
    found = aPacketFifo_AwaitFirst(link->inputFifo, filter, filterRef, deadline - now);
  }
  return found;
}

size_t aLink_DrainPackets(aLinkRef ref, aPacketFilterProc filter, void* filterRef) {
  aLink* link = sInitialised(ref);
  return link ? aPacketFifo_DrainPackets(link->inputFifo, filter, filterRef) : 0;
}

aErr aLink_Exchange(aLinkRef ref, const std::function<aErr()>& send, aPacketFilterProc filter, void* filterRef,
                    uint64_t msTimeout, aPacket** reply, bool* sent, aPacketFilterProc staleFilter, void* staleRef) {
  if (sent)
    *sent = false;
  if (!reply || !filter)
    return aErrParam;
  *reply = nullptr;
  if (!sInitialised(ref))
    return aErrParam;
  if (aLink_GetStatus(ref) != linkStateRunning)
    return aErrConnection;
  if (staleFilter)
    aLink_DrainPackets(ref, staleFilter, staleRef);
  else
    aLink_DrainPackets(ref, filter, staleRef ? staleRef : filterRef);
  const aErr err = send();
  if (err != aErrNone)
    return err;
  if (sent)
    *sent = true;
  *reply = aLink_AwaitFirst(ref, filter, filterRef, msTimeout);
  if (*reply)
    return aErrNone;
  return aLink_GetStatus(ref) == linkStateRunning ? aErrTimeout : aErrConnection;
}

aErr aLink_ExchangePacket(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* data, aPacketFilterProc filter,
                          void* filterRef, uint64_t msTimeout, aPacket** reply, bool* sent) {
  const auto put = [&]() -> aErr {
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
      return aErrResource;
    const aErr err = aLink_PutPacket(ref, packet);
    aPacket_Destroy(&packet);
    return err;
  };
  return aLink_Exchange(ref, put, filter, filterRef, msTimeout, reply, sent);
}

namespace {

bool sEmptyPacket(const aPacket* packet, void*) {
  return packet->length == 0;
}

}  // namespace

aErr aLink_QueryModuleAddress(aLinkRef ref, uint64_t msTimeout, bool nextPacket, uint8_t* address) {
  if (!address)
    return aErrParam;
  const uint8_t none = 0;
  aPacket* reply = nullptr;
  aErr err = aLink_ExchangePacket(ref, kSyncQueryAddress, 0, &none, nextPacket ? drainAll : sEmptyPacket, nullptr,
                                  msTimeout, &reply);
  if (err != aErrNone)
    return err;
  err = aLink_ReadModuleAddress(reply, address);
  aPacket_Destroy(&reply);
  return err;
}

aErr aLink_ReadModuleAddress(const aPacket* reply, uint8_t* address) {
  if (reply->length != 0 || reply->address == 0)
    return aErrIO;
  *address = reply->address;
  return aErrNone;
}

aErr aLink_InstallUserPacketFilter(aLinkRef ref, aPacketFilterProc filter, void* filterRef) {
  aLink* link = sInitialised(ref);
  if (!link || aMutex_Lock(link->filterLock) != aErrNone)
    return aErrParam;
  link->userFilter = filter;
  link->userFilterRef = filterRef;
  aMutex_Unlock(link->filterLock);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef ref, bool pooled) {
  aLink* link = sInitialised(ref);
  if (!link)
    return aErrParam;
  link->pooled = pooled ? 1 : 0;
  return aErrNone;
}
