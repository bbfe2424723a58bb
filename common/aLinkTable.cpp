#include "aLinkTable.h"

#include <new>

#include "aLinkInternal.h"
#include "aLinkTableInternal.h"
#include "aMutex.h"
#include "aPacketLog.h"
#include "aPacketLogInternal.h"
#include "aServer.h"
#include "aStreamClient.h"
#include "aStreamInternal.h"
#include "aStreamSerial.h"
#include "aStreamSocket.h"
#include "aTime.h"
#include "aUSBStream.h"

namespace {

constexpr int kResetTries = 20;
constexpr uint64_t kResetPauseMS = 100;

struct LinkTable {
  linkItem* head = nullptr;  // newest first
  aLinkRef nextId = 1;
};

LinkTable _links;
// Gives every client link its own index, so two client links to one server
// are never taken for one another. Creations are serialised by the callers.
uint32_t _clientCount = 0;

// Made on the table's first use; the initialisation of a function-local
// static runs once even when threads race to it.
aMutex* sTableLock() {
  static aMutex* const lock = aMutex_Create("aLink_Managed");
  return lock;
}

// Holds the table lock for one step. `held` is false when the lock could
// not be made: the step then does nothing.
class TableStep {
 public:
  TableStep() : lock_(sTableLock()), held(lock_ && aMutex_Lock(lock_) == aErrNone) {}
  ~TableStep() {
    if (held)
      aMutex_Unlock(lock_);
  }
  TableStep(const TableStep&) = delete;
  TableStep& operator=(const TableStep&) = delete;

 private:
  aMutex* lock_;

 public:
  const bool held;
};

linkItem* sFindLocked(aLinkRef ref) {
  for (linkItem* e = _links.head; e; e = e->next) {
    if (e->linkRef == ref)
      return e;
  }
  return nullptr;
}

aLinkRef sCreate2(uint32_t identifier, uint32_t port, uint32_t clientIndex, uint32_t type) {
  linkItem* entry = new (std::nothrow) linkItem{};
  if (!entry)
    return 0;
  entry->link = new (std::nothrow) aLink{};
  if (!entry->link) {
    delete entry;
    return 0;
  }
  entry->identifier = identifier;
  entry->port = port;
  entry->clientIndex = clientIndex;
  entry->type = type;
  TableStep step;
  if (!step.held) {
    delete entry->link;
    delete entry;
    return 0;
  }
  entry->linkRef = _links.nextId++;
  if (_links.nextId == 0)
    _links.nextId = 1;
  entry->next = _links.head;
  _links.head = entry;
  return entry->linkRef;
}

aLinkRef sCreate(uint32_t identifier, uint32_t port, uint32_t type) {
  return sCreate2(identifier, port, 0, type);
}

// The newest entry of that kind with that identifier and port gets one more
// user, in the same step as the lookup, so a destroy cannot free it in
// between. Its id, or 0 when there is none; *hasServer tells whether it
// carries a server (it is then not shared).
aLinkRef sShareByEndpoint(uint32_t identifier, uint32_t port, uint32_t type, bool* hasServer) {
  TableStep step;
  if (!step.held)
    return 0;
  for (linkItem* e = _links.head; e; e = e->next) {
    // The kind matters: a serial number must never find a network link whose
    // address happens to have the same value.
    // Nor may one module behind a forwarding gateway find another module
    // that shares its address on another port.
    if (e->identifier != identifier || e->port != port || e->type != type)
      continue;
    if (hasServer)
      *hasServer = e->server != nullptr;
    if (e->server)
      return 0;
    e->userCount = static_cast<int16_t>(e->userCount + 1);
    return e->linkRef;
  }
  return 0;
}

aLinkRef sShareByID(aLinkRef ref) {
  TableStep step;
  linkItem* e = step.held ? sFindLocked(ref) : nullptr;
  if (!e)
    return 0;
  e->userCount = static_cast<int16_t>(e->userCount + 1);
  return ref;
}

void sChangeUseCount(aLinkRef ref, int16_t delta) {
  TableStep step;
  if (linkItem* e = step.held ? sFindLocked(ref) : nullptr)
    e->userCount = static_cast<int16_t>(e->userCount + delta);
}

enum class Release { NotFound, StillUsed, Last };

// Lowers the user count and, when it reaches 0, unlinks the entry: one
// step, so of two destroys racing for the last use exactly one tears down.
Release sRelease(aLinkRef ref, linkItem** extracted) {
  TableStep step;
  if (!step.held)
    return Release::NotFound;
  linkItem** at = &_links.head;
  while (*at && (*at)->linkRef != ref)
    at = &(*at)->next;
  linkItem* e = *at;
  if (!e)
    return Release::NotFound;
  e->userCount = static_cast<int16_t>(e->userCount - 1);
  if (e->userCount > 0)
    return Release::StillUsed;
  *at = e->next;
  e->next = nullptr;
  *extracted = e;
  return Release::Last;
}

// Stops a link whose stream goes next: a pipe thread that is reconnecting
// the stream is cut short rather than waited for.
void sStopForGood(aLink* link) {
  if (link->stream)
    aStream_Interrupt(link->stream);
  aLink_Stop(link);
}

void sTearDown(linkItem* entry, aErr* result) {
  aLink* link = entry->link;
  if (link->filterLock && aMutex_Lock(link->filterLock) == aErrNone) {
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->filterLock);
  }
  sStopForGood(link);
  if (entry->server)
    aServer_Destroy(&entry->server);
  if (entry->dependentRef) {
    aLinkRef dependent = entry->dependentRef;
    aLink_Destroy(&dependent);
  }
  if (link->inputFifo)
    aPacketFifo_Destroy(&link->inputFifo);
  *result = link->outputFifo ? aPacketFifo_Destroy(&link->outputFifo) : aErrNone;
  if (link->receivePacket)
    aPacket_Destroy(&link->receivePacket);
  aLink_PacketDebug_Free(link);
  if (link->filterLock)
    aMutex_Destroy(&link->filterLock);
  if (link->stream)
    aStream_Destroy(&link->stream);
  link->check = 0;
  delete link;
  delete entry;
}

// Hands the new stream to the link and starts it; on any failure the link
// (the stream with it) is destroyed and 0 returned.
aLinkRef sInitAndStart(aLinkRef ref, aStream* stream) {
  if (aLink_Init(ref, stream) != ref) {
    aStream_Destroy(&stream);
    aLink_Destroy(&ref);
    return 0;
  }
  sChangeUseCount(ref, 1);
  if (aLink_Start(ref) != aErrNone) {
    aLink_Destroy(&ref);
    return 0;
  }
  return ref;
}

bool sBaudIndex(uint32_t baud, uint32_t* index) {
  static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
    if (kRates[i] == baud) {
      *index = i;
      return true;
    }
  }
  return false;
}

}  // namespace

linkItem* aLink_LookupEntry(aLinkRef ref) {
  TableStep step;
  return step.held ? sFindLocked(ref) : nullptr;
}

aLink* aLink_GetLinkObject(aLinkRef ref) {
  TableStep step;
  linkItem* e = step.held ? sFindLocked(ref) : nullptr;
  return e ? e->link : nullptr;
}

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  bool hasServer = false;
  if (aLinkRef shared = sShareByEndpoint(serialNumber, 0, LINK_USB, &hasServer))
    return shared;
  if (hasServer)
    return 0;
  aLinkRef ref = sCreate(serialNumber, 0, LINK_USB);
  if (!ref)
    return 0;
  aStream* stream = nullptr;
  if (aStream_CreateUSB(serialNumber, &stream) != aErrNone) {
    aLink_Destroy(&ref);
    return 0;
  }
  ref = sInitAndStart(ref, stream);
  if (ref && aLink_Sync(ref) != aErrNone)
    aLink_Destroy(&ref);
  return ref;
}

aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  if (aLinkRef shared = sShareByEndpoint(address, port, LINK_TCPIP, nullptr))
    return shared;
  aLinkRef ref = sCreate(address, port, LINK_TCPIP);
  if (!ref)
    return 0;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) {
    aLink_Destroy(&ref);
    return 0;
  }
  return sInitAndStart(ref, stream);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate) {
  if (aLinkRef shared = sShareByEndpoint(serialNumber, 0, LINK_SERIAL, nullptr))
    return shared;
  aLinkRef ref = sCreate(serialNumber, 0, LINK_SERIAL);
  if (!ref)
    return 0;
  uint32_t index = 0;
  aStream* stream = nullptr;
  if (!devicePath || !sBaudIndex(baudRate, &index) ||
      aStream_CreateSerial(devicePath, index, 0, 0, 0, &stream) != aErrNone) {
    aLink_Destroy(&ref);
    return 0;
  }
  return sInitAndStart(ref, stream);
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference) {
  if (reference)
    return sShareByID(reference);
  aLinkRef ref = sCreate2(address, port, _clientCount++, LINK_ALANIC);
  if (!ref)
    return 0;
  aStream* stream = nullptr;
  if (aStream_CreateClient(address, port, &stream) != aErrNone) {
    aLink_Destroy(&ref);
    return 0;
  }
  return sInitAndStart(ref, stream);
}

aLinkRef aLink_Create(aStream* stream) {
  if (!aVALIDSTREAM(stream))
    return 0;
  aLinkRef ref = sCreate(kLinkStreamIdentifier, 0, LINK_STREAM);
  if (!ref) {
    aStream_Destroy(&stream);
    return 0;
  }
  return sInitAndStart(ref, stream);
}

aErr aLink_Destroy(aLinkRef* ref) {
  if (!ref)
    return aErrParam;
  const aLinkRef id = *ref;
  *ref = 0;
  linkItem* entry = nullptr;
  switch (sRelease(id, &entry)) {
    case Release::NotFound:
      return aErrParam;
    case Release::StillUsed:
      return aErrNone;
    case Release::Last:
      break;
  }
  if (!entry->link) {
    delete entry;
    return aErrUnknown;
  }
  aErr result = aErrNone;
  sTearDown(entry, &result);
  return result;
}

aErr aLink_Reset(aLinkRef ref) {
  linkItem* entry = aLink_LookupEntry(ref);
  if (!entry || !entry->link)
    return aErrParam;
  return aLink_ResetLink(entry);
}

aErr aLink_AnswersAnew(aLinkRef ref, uint64_t ms) {
  const linkItem* entry = aLink_LookupEntry(ref);
  if (!entry)
    return aErrParam;
  if (entry->type != LINK_TCPIP)
    return aErrMode;
  return aSocket_Answers(entry->identifier, static_cast<uint16_t>(entry->port), ms);
}

aErr aLink_ResetLink(linkItem* entry) {
  if (!entry || !entry->link)
    return aErrParam;
  aLink* link = entry->link;
  sStopForGood(link);
  if (link->inputFifo)
    aPacketFifo_Destroy(&link->inputFifo);
  if (link->outputFifo)
    aPacketFifo_Destroy(&link->outputFifo);
  if (link->stream)
    aStream_Destroy(&link->stream);

  aStream* stream = nullptr;
  aErr err = aErrParam;
  for (int i = 0; i < kResetTries; ++i) {
    switch (entry->type) {
      case LINK_USB:
        err = aStream_CreateUSB(entry->identifier, &stream);
        break;
      case LINK_TCPIP:
        err = aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), &stream);
        break;
      case LINK_ALANIC:
        err = aStream_CreateClient(entry->identifier, static_cast<uint16_t>(entry->port), &stream);
        break;
      default:  // serial links and a caller's stream cannot be remade
        err = aErrParam;
        break;
    }
    if (err == aErrNone)
      break;
    aTime_MSSleep(kResetPauseMS);
  }
  if (err != aErrNone)
    return err;
  if (aLink_Init(entry->linkRef, stream) != entry->linkRef) {
    aStream_Destroy(&stream);
    return aErrMemory;
  }
  return aLink_Start(entry->linkRef);
}
