// Link: stream keys and samples, the stream map, the stream filter on the
// link's receive thread, the callback thread, and the enable and disable
// exchange with the module.
#include "LinkStream.h"

#include <algorithm>
#include <chrono>

#include "LinkImpl.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr uint8_t kWildcard = 0xFF;
constexpr uint8_t kGenericMasks = 15;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamState = 0x41;
constexpr uint8_t kStreamHeader = 4;    // command, option, index, type
constexpr uint8_t kTimestampBytes = 8;  // two big-endian halves

constexpr unsigned sElementShift(Link::STREAM_KEY element) {
  switch (element) {
    case Link::STREAM_KEY_INDEX:
      return 0;
    case Link::STREAM_KEY_OPTION:
      return 8;
    case Link::STREAM_KEY_CMD:
      return 16;
    case Link::STREAM_KEY_MODULE_ADDRESS:
      return 24;
    case Link::STREAM_KEY_SUBINDEX:
      return 32;
  }
  return 64;
}

constexpr Link::STREAM_KEY kElements[] = {Link::STREAM_KEY_MODULE_ADDRESS, Link::STREAM_KEY_CMD,
                                          Link::STREAM_KEY_OPTION, Link::STREAM_KEY_INDEX, Link::STREAM_KEY_SUBINDEX};

// Value width of a typed sample, 0 for a byte block or no type.
uint8_t sValueWidth(Link::STREAM_PACKET type) {
  switch (type) {
    case Link::STREAM_PACKET_U8:
    case Link::STREAM_PACKET_U8_SUBINDEX:
      return 1;
    case Link::STREAM_PACKET_U16:
    case Link::STREAM_PACKET_U16_SUBINDEX:
      return 2;
    case Link::STREAM_PACKET_U32:
    case Link::STREAM_PACKET_U32_SUBINDEX:
      return 4;
    default:
      return 0;
  }
}

// Header, optional subindex, timestamp, value, trailer.
bool _checkStreamSampleLength(const aPacket* packet, Link::STREAM_PACKET type) {
  const uint8_t width = sValueWidth(type);
  if (!width)
    return false;
  const unsigned expected = kStreamHeader + (Link::isSubindexType(type) ? 1u : 0u) + kTimestampBytes + width + 1u;
  return packet->length == expected;
}

uint64_t sPacketKey(const aPacket* packet, Link::STREAM_PACKET type) {
  const uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
  return Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                               packet->data[2] & ueiINDEX_MASK, subindex);
}

bool sMatches(uint64_t key, const uint8_t pattern[5]) {
  for (size_t i = 0; i < 5; ++i) {
    const uint8_t want = pattern[i];
    if (want != kWildcard && Link::getStreamKeyElement(key, kElements[i]) != want)
      return false;
  }
  return true;
}

bool sHasWildcard(uint64_t key) {
  for (Link::STREAM_KEY element : kElements) {
    if (Link::getStreamKeyElement(key, element) == kWildcard)
      return true;
  }
  return false;
}

// Removes every entry the pattern covers; the caller holds the stream lock.
void sErasePattern(Link& link, StreamMap& map, uint8_t address, uint8_t command, uint8_t option, uint8_t index) {
  for (uint64_t key : link.filterActiveStreamKeys(address, command, option, index, kWildcard, false))
    map.erase(key);
}

}  // namespace

// ---- keys and samples ------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return uint64_t{index} | uint64_t{option} << 8 | uint64_t{command} << 16 | uint64_t{address} << 24 |
         uint64_t{subindex} << 32;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
  const unsigned shift = sElementShift(element);
  return shift < 64 ? static_cast<uint8_t>(key >> shift) : 0;
}

uint64_t Link::_getGenericStreamKeyMask(uint8_t i) {
  if (i >= kGenericMasks)
    return 0;
  const unsigned selected = i + 1u;
  uint64_t mask = 0;
  if (selected & 1u)
    mask |= uint64_t{0xFF} << sElementShift(STREAM_KEY_INDEX);
  if (selected & 2u)
    mask |= uint64_t{0xFF} << sElementShift(STREAM_KEY_OPTION);
  if (selected & 4u)
    mask |= uint64_t{0xFF} << sElementShift(STREAM_KEY_CMD);
  if (selected & 8u)
    mask |= uint64_t{0xFF} << sElementShift(STREAM_KEY_SUBINDEX);
  return mask;
}

bool Link::isStreamPacket(const aPacket* packet) {
  return aUEI_isStreamPacket(packet);
}

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
  STREAM_PACKET found = STREAM_PACKET_UNKNOWN;
  if (isStreamPacket(packet)) {
    const uint8_t trailer = packet->data[packet->length - 1];
    const uint8_t byte3 = packet->data[3];
    if (trailer != 0) {
      found = STREAM_PACKET_BYTES;  // a chunk of a block, whatever byte 3 holds
    } else if (byte3 >= STREAM_PACKET_U8 && byte3 <= STREAM_PACKET_U32_SUBINDEX) {
      found = static_cast<STREAM_PACKET>(byte3);
    }
  }
  if (type)
    *type = found;
  return found != STREAM_PACKET_UNKNOWN;
}

bool Link::isSubindexType(STREAM_PACKET type) {
  return type == STREAM_PACKET_U8_SUBINDEX || type == STREAM_PACKET_U16_SUBINDEX || type == STREAM_PACKET_U32_SUBINDEX;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET type = STREAM_PACKET_UNKNOWN;
  if (!getStreamPacketType(packet, &type) || type == STREAM_PACKET_BYTES)
    return false;
  return packet->data[packet->length - 1] == 0 && _checkStreamSampleLength(packet, type);
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
  STREAM_PACKET type = STREAM_PACKET_UNKNOWN;
  if (!getStreamPacketType(packet, &type))
    return aErrPacket;
  if (type == STREAM_PACKET_BYTES)
    return aErrSize;
  if (!isStreamSample(packet))
    return aErrPacket;
  const bool hasSubindex = isSubindexType(type);
  const uint8_t* at = &packet->data[kStreamHeader + (hasSubindex ? 1 : 0)];
  const uint64_t upper = aUEI_RetrieveInt(at);
  const uint64_t lower = aUEI_RetrieveInt(at + 4);
  at += kTimestampBytes;
  uint32_t sample = 0;
  switch (sValueWidth(type)) {
    case 1:
      sample = at[0];
      break;
    case 2:
      sample = aUEI_RetrieveShort(at);
      break;
    default:
      sample = aUEI_RetrieveInt(at);
      break;
  }
  if (timestamp)
    *timestamp = upper << 32 | lower;
  if (value)
    *value = sample;
  if (subindex)
    *subindex = hasSubindex ? packet->data[4] : 0;
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower) {
  if (upper)
    *upper = static_cast<uint32_t>(timestamp >> 32);
  if (lower)
    *lower = static_cast<uint32_t>(timestamp);
}

// ---- the filter on the receive thread ---------------------------------------

bool Link::impl::linkStreamFilter(const aPacket* packet, void* reference) {
  STREAM_PACKET type = STREAM_PACKET_UNKNOWN;
  if (!getStreamPacketType(packet, &type))
    return false;
  impl* self = static_cast<impl*>(reference);
  const uint64_t key = sPacketKey(packet, type);
  uint32_t value = 0;
  const bool hasValue = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  std::lock_guard<std::mutex> hold(self->streamMutex);
  StreamMap& map = self->streamMap;
  const auto exact = map.find(key);
  if (exact != map.end()) {
    self->queueAsyncCallback(exact, packet);
    if (hasValue) {
      exact->second.value = value;
      exact->second.fresh = true;
    }
  }
  // Masks that leave the key as it is, or repeat a key found already (a
  // command or subindex of 0xFF in the packet), would run a callback twice.
  StreamMap::iterator seen[kGenericMasks];
  size_t found = 0;
  for (uint8_t i = 0; i < kGenericMasks; ++i) {
    const uint64_t covering = key | _getGenericStreamKeyMask(i);
    if (covering == key)
      continue;
    const auto entry = map.find(covering);
    if (entry == map.end())
      continue;
    bool repeated = false;
    for (size_t j = 0; j < found; ++j)
      repeated = repeated || seen[j] == entry;
    if (repeated)
      continue;
    seen[found++] = entry;
    self->queueAsyncCallback(entry, packet);
  }
  if (exact == map.end() && found > 0 && hasValue) {
    StreamEntry cached;
    cached.key = key;
    cached.fresh = true;
    cached.value = value;
    map.emplace(key, std::move(cached));
  }
  return true;
}

void Link::impl::queueAsyncCallback(StreamMap::iterator entry, const aPacket* packet) {
  if (!entry->second.callback)
    return;
  asyncPacket job;
  job.packet = aPacket_Copy(packet);
  if (!job.packet)
    return;
  job.callback = entry->second.callback;
  job.reference = entry->second.reference;
  if (!streams.queue.push(std::move(job))) {
    // Full: dropped, never waited for, so a slow callback cannot hold up reception.
    aPacket_Destroy(&job.packet);
    return;
  }
  streams.signals->pushed.fetch_add(1);
  streams.signals->poke();
}

// ---- the callback thread ---------------------------------------------------

void StreamWorkerSignals::poke() {
  wake.fetch_add(1);
  wake.notify_all();
}

void StreamWorkerSignals::jobDone() {
  {
    std::lock_guard<std::mutex> hold(finishedMutex);
    ++finished;
  }
  finishedChanged.notify_all();
}

namespace {

bool sStopped(const std::future<void>& stop) {
  return stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void sRunJob(asyncPacket& job) {
  try {
    job.callback(job.packet, job.reference);
  } catch (...) {
    // A subscriber's exception must not end the thread that serves every
    // other subscription of the link.
  }
  aPacket_Destroy(&job.packet);
}

}  // namespace

void Link::impl::asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                           std::shared_ptr<StreamWorkerSignals> signals) {
  // The stop is looked at before every job, so a stopped thread never pops
  // again and a successor may take over the ring while this one is still in
  // a callback that did the stopping.
  while (!sStopped(stop)) {
    asyncPacket job;
    if (queue->pop(&job)) {
      sRunJob(job);
      signals->jobDone();
      continue;
    }
    const uint32_t seen = signals->wake.load();
    if (sStopped(stop))
      break;
    if (!queue->empty())
      continue;
    signals->wake.wait(seen);
  }
}

void LinkStreams::start() {
  if (callbackThread)
    return;
  reapRetired();
  callbackThread = std::make_unique<std::thread>(Link::impl::asyncWork, &queue, stopPromise.get_future(), signals);
  callbackThreadId = callbackThread->get_id();
}

void LinkStreams::stop() {
  if (!callbackThread)
    return;
  stopPromise.set_value();
  signals->poke();
  retired.push_back(std::move(*callbackThread));
  callbackThread.reset();
  callbackThreadId = std::thread::id();
  stopPromise = std::promise<void>();
  reapRetired();
}

void LinkStreams::reapRetired() {
  const std::thread::id self = std::this_thread::get_id();
  for (auto it = retired.begin(); it != retired.end();) {
    if (it->joinable() && it->get_id() == self) {
      // A callback stopped its own thread: it ends on its own once the
      // callback returns, touching the ring no more.
      ++it;
      continue;
    }
    if (it->joinable())
      it->join();
    it = retired.erase(it);
  }
  // Whatever was queued for the stopped threads is never run: free it. The
  // caller is now the ring's only consumer (a thread still finishing its own
  // callback, left above, pops no more).
  asyncPacket job;
  while (queue.pop(&job)) {
    aPacket_Destroy(&job.packet);
    signals->jobDone();
  }
}

void LinkStreams::waitFinished(uint64_t pushed) {
  if (!callbackThread || onCallbackThread())
    return;
  std::unique_lock<std::mutex> hold(signals->finishedMutex);
  signals->finishedChanged.wait(hold, [&] { return signals->finished >= pushed; });
}

bool LinkStreams::onCallbackThread() const {
  return std::this_thread::get_id() == callbackThreadId;
}

LinkStreams::~LinkStreams() {
  stop();
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& t : retired) {
    // Only a callback that destroys its own Link is left here; that thread
    // returns from the callback without touching the ring again.
    if (t.get_id() == self)
      t.detach();
  }
  reapRetired();
}

// ---- one stream filter per link id ------------------------------------------

namespace {

// A link has a single user-filter slot, yet every Link subscribed on its id
// (a router's and those of the modules behind it) must see the samples: the
// slot holds a dispatcher that offers each packet to all of them. An installed
// dispatcher's list never changes; a change installs a new one, and the old
// one is freed once the install has returned, when the link engine calls it
// no more.
struct StreamDispatch {
  std::vector<Link::impl*> subscribers;
};

// On the receive thread, under the link's filter lock; each Link's filter
// takes that Link's stream mutex (filter lock first, as everywhere).
bool sDispatchStream(const aPacket* packet, void* reference) {
  bool taken = false;
  for (Link::impl* subscriber : static_cast<const StreamDispatch*>(reference)->subscribers) {
    taken = Link::impl::linkStreamFilter(packet, subscriber) || taken;
  }
  return taken;
}

// Held across the install, so the changes to one id reach the link in the
// order made. Taken before the link's filter lock, never while holding it or
// a Link's stream mutex.
std::mutex gDispatchMutex;
std::map<aLinkRef, std::unique_ptr<StreamDispatch>> gDispatchers;  // guarded by gDispatchMutex

// The first subscriber of an id installs the dispatcher; later ones join it.
aErr sJoinDispatch(aLinkRef ref, Link::impl* subscriber) {
  std::lock_guard<std::mutex> hold(gDispatchMutex);
  const auto current = gDispatchers.find(ref);
  auto fresh = std::make_unique<StreamDispatch>();
  if (current != gDispatchers.end()) {
    const std::vector<Link::impl*>& now = current->second->subscribers;
    if (std::find(now.begin(), now.end(), subscriber) != now.end())
      return aErrNone;
    fresh->subscribers = now;
  }
  fresh->subscribers.push_back(subscriber);
  const aErr err = aLink_InstallUserPacketFilter(ref, sDispatchStream, fresh.get());
  if (err != aErrNone)
    return err;
  gDispatchers[ref] = std::move(fresh);
  return aErrNone;
}

// The last subscriber to leave frees the slot. Once this returns the
// subscriber's filter is not running and is never called again.
void sLeaveDispatch(aLinkRef ref, Link::impl* subscriber) {
  std::lock_guard<std::mutex> hold(gDispatchMutex);
  const auto current = gDispatchers.find(ref);
  if (current == gDispatchers.end())
    return;
  std::vector<Link::impl*> rest = current->second->subscribers;
  const auto at = std::find(rest.begin(), rest.end(), subscriber);
  if (at == rest.end())
    return;
  rest.erase(at);
  // A failed install means the link is gone, and with it every call of the filter.
  if (rest.empty()) {
    aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
    gDispatchers.erase(current);
    return;
  }
  auto fresh = std::make_unique<StreamDispatch>();
  fresh->subscribers = std::move(rest);
  aLink_InstallUserPacketFilter(ref, sDispatchStream, fresh.get());
  current->second = std::move(fresh);
}

// A link restarted in place has an empty slot: the id's dispatcher goes back in.
void sRestoreDispatch(aLinkRef ref) {
  std::lock_guard<std::mutex> hold(gDispatchMutex);
  const auto current = gDispatchers.find(ref);
  if (current != gDispatchers.end())
    aLink_InstallUserPacketFilter(ref, sDispatchStream, current->second.get());
}

}  // namespace

// ---- installing, subscribing, reading --------------------------------------

aErr Link::impl::installStreamFilter(bool install) {
  if (!linkRef)
    return aErrConnection;
  if (install) {
    const aErr err = sJoinDispatch(linkRef, this);
    if (err != aErrNone)
      return err;
  } else if (streams.filterInstalled) {
    sLeaveDispatch(linkRef, this);
  }
  streams.filterInstalled = install;
  if (install) {
    streams.start();
  } else {
    {
      std::lock_guard<std::mutex> hold(streamMutex);
      streamMap.clear();
    }
    streams.stop();
  }
  return aErrNone;
}

aErr Link::impl::restoreStreamFilter(aErr resetResult) {
  if (resetResult == aErrNone)
    sRestoreDispatch(linkRef);
  return resetResult;
}

aErr Link::registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* reference) {
  if (address & 1)
    return aErrParam;
  const uint64_t key = createStreamKey(address, command, option, index, kWildcard);
  bool empty = false;
  uint64_t pushed = 0;
  {
    std::lock_guard<std::mutex> hold(m_pImpl->streamMutex);
    StreamMap& map = m_pImpl->streamMap;
    if (enable) {
      StreamEntry& entry = map[key];
      entry.key = key;
      entry.callback = std::move(callback);
      entry.reference = reference;
    } else {
      sErasePattern(*this, map, address, command, option, index);
    }
    empty = map.empty();
    pushed = m_pImpl->streams.signals->pushed.load();
  }
  // Jobs already queued for what was removed run (or are discarded) before
  // the caller regains control, so it may free what its reference names.
  if (!enable)
    m_pImpl->streams.waitFinished(pushed);

  aErr err = m_pImpl->installStreamFilter(!empty);
  if (err == aErrNone) {
    uei request{};
    request.address = address;
    request.command = cmdSTREAM;
    request.option = enable ? kStreamEnable : kStreamDisable;
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiTypeInt;
    request.value.intVal = static_cast<uint32_t>(key);  // address, command, option, index; no subindex
    uei reply{};
    err = exchangeUEI(request, nullptr, static_cast<uint8_t>(request.option | ueiOPTION_ACK), &reply);
  }
  if (err != aErrNone) {
    std::lock_guard<std::mutex> hold(m_pImpl->streamMutex);
    sErasePattern(*this, m_pImpl->streamMap, address, command, option, index);
  }
  return err;
}

aErr Link::enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(address, command, option, index, enable, streamCallback(), nullptr);
}

aErr Link::getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (!value)
    return aErrParam;
  std::lock_guard<std::mutex> hold(m_pImpl->streamMutex);
  const auto entry = m_pImpl->streamMap.find(createStreamKey(address, command, option, index, subindex));
  if (entry == m_pImpl->streamMap.end())
    return aErrNotFound;
  *value = entry->second.value;
  if (!entry->second.fresh)
    return aErrStreamStale;
  entry->second.fresh = false;
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
  const uint8_t pattern[5] = {address, command, option, index, subindex};
  std::unique_lock<std::mutex> hold(m_pImpl->streamMutex, std::defer_lock);
  if (lock)
    hold.lock();
  std::vector<uint64_t> keys;
  for (const auto& [key, entry] : m_pImpl->streamMap) {
    if (sMatches(key, pattern))
      keys.push_back(key);
  }
  return keys;
}

aErr Link::getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
  if (!isConnected())
    return aErrConnection;
  if (!entries || !capacity || !count)
    return aErrParam;
  const uint8_t pattern[5] = {address, command, option, index, subindex};
  std::lock_guard<std::mutex> hold(m_pImpl->streamMutex);
  *count = 0;
  for (const auto& [key, entry] : m_pImpl->streamMap) {
    if (sHasWildcard(key) || !sMatches(key, pattern))
      continue;
    if (*count == capacity)
      return aErrSize;
    entries[*count] = StreamStatusEntry{key, entry.value};
    ++*count;
  }
  return aErrNone;
}

aErr Link::isLinkStreaming(uint8_t address, uint8_t* state) {
  if (!state)
    return aErrParam;
  uei request{};
  request.address = address;
  request.command = cmdSTREAM;
  request.option = kStreamState;
  request.specifier = ueiSPECIFIER_REQUEST;
  request.type = ueiTypeNone;
  uei reply{};
  const aErr err = exchangeUEI(request, nullptr, kStreamState & ueiOPTION_MASK, &reply);
  if (err != aErrNone)
    return err;
  if (reply.type != ueiTypeByte)
    return aErrSize;
  *state = reply.value.byteVal;
  return aErrNone;
}

}  // namespace Tovanire::Jorvanite
