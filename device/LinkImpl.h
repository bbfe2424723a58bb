#pragma once
// The private state of a Link, shared by the files that implement its
// operations. Not for callers outside the object layer.

#include <cstdint>
#include <mutex>

#include "Link.h"
#include "LinkStream.h"
#include "aLogger.h"

namespace Tovanire::Jorvanite {

struct Link::impl {
  Link* owner;
  aLinkRef linkRef = 0;  // one use of this link-table entry is held while nonzero
  aLanicConfig config;
  std::mutex streamMutex;     // around the stream cache; taken by every UEI get
  StreamMap streamMap;        // guarded by streamMutex
  LinkStreams streams;        // declared after the map: its thread has ended before the map goes
  char* name = nullptr;       // owned; at most kMaxNameLength characters
  linkSpec* spec = nullptr;   // owned copy; null until one is set
  aLogger* logger = nullptr;  // owned; made by the first enablePacketLog
  // The link id on which this Link turned the packet log on, 0 when it has
  // not: only a Link that turned it on may turn it off.
  aLinkRef loggingOn = 0;

  // The logger's callback: one packet-log record of link `linkRef` as one line of `file`.
  static void readDebugBuffer(void* file, uint32_t linkRef);
  // Stops the logger and this Link's share in the link's recording; the last
  // Link to leave turns recording off and writes what the ring still holds.
  // The logger's stop result (aErrParam without a logger).
  aErr stopPacketLogger();

  static constexpr size_t kMaxNameLength = 1024;

  impl(Link* link, const char* linkName);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  // Stream subscriptions (LinkStream.cpp).
  // Offered every packet by the link id's stream dispatcher (which holds the
  // link's single user filter slot for all Links subscribed on that id); the
  // reference is the Link's private state. Takes every typed stream packet.
  static bool linkStreamFilter(const aPacket* packet, void* reference);
  // Joins this Link to the id's dispatcher (and starts the callback thread)
  // or leaves it (clearing the map and stopping the thread); the last Link
  // to leave frees the slot.
  aErr installStreamFilter(bool install);
  void queueAsyncCallback(StreamMap::iterator entry, const aPacket* packet);
  // After a reset of the link in place: puts the link id's stream filter
  // back for every Link subscribed on it. Returns the reset's result.
  aErr restoreStreamFilter(aErr resetResult);
  static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                        std::shared_ptr<StreamWorkerSignals> signals);
};

}  // namespace Tovanire::Jorvanite
