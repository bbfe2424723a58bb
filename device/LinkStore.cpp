// Link: store slots (command 4) and factory data (command 0x5E).
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "Link.h"
#include "LinkImpl.h"
#include "StoreReplies.h"
#include "aLink.h"
#include "aPacket.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr size_t kSlotChunk = 25;

constexpr size_t COMMAND_OVERHEAD = 2;
constexpr size_t kFactoryChunk = aPACKET_MAX_DATA - COMMAND_OVERHEAD;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryItemMask = 0x0F;

constexpr uint64_t kReplyMS = 1000;
constexpr uint64_t kOpenMS = 3000;

using storereply::kNoHandle;
using storereply::Request;

// One exchange on the link: the request queued, then its reply awaited.
class Exchange {
 public:
  Exchange(aLinkRef ref, uint8_t address) : ref_(ref), address_(address) {}
  ~Exchange() { aPacket_Destroy(&reply_); }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Queues the request: aErrResource when its packet cannot be made, else
  // the queue's result. Then waits for the reply (null when none came).
  aErr run(std::initializer_list<uint8_t> head, const uint8_t* tail, size_t tailLength, aPacketFilterProc filter,
           uint64_t waitMS) {
    aPacket_Destroy(&reply_);
    request_.address = address_;
    request_.length = 0;
    for (uint8_t b : head)
      request_.data[request_.length++] = b;
    if (tailLength)
      std::memcpy(request_.data + request_.length, tail, tailLength);
    request_.length = static_cast<uint8_t>(request_.length + tailLength);
    // A reply that came after an earlier wait ran out matches this request
    // too (same sub-command, store and slot or handle): it must not answer it.
    const aErr err =
        aLink_ExchangePacket(ref_, address_, request_.length, request_.data, filter, &request_, waitMS, &reply_);
    // Without a reply the callers tell what it leaves unknown.
    return err == aErrTimeout || err == aErrConnection ? aErrNone : err;
  }
  const aPacket* reply() const { return reply_; }

 private:
  aLinkRef ref_;
  uint8_t address_;
  Request request_{};
  aPacket* reply_ = nullptr;
};

// Capacity or size: a 16-bit value, most significant byte first.
aErr sSlotValue(aLinkRef ref, uint8_t address, uint8_t sub, uint8_t store, uint8_t slot, size_t* value) {
  Exchange ask(ref, address);
  const aErr put = ask.run({cmdSTORE, sub, store, slot}, nullptr, 0, storereply::slotFilter, kReplyMS);
  if (put != aErrNone)
    return put;
  const aPacket* reply = ask.reply();
  // Without a reply the value stays unknown: never success.
  if (!reply)
    return aErrTimeout;
  return storereply::slotValue(reply->data, reply->length, value);
}

// The handle the module gives the opened slot, or kNoHandle.
uint8_t sOpenSlot(aLinkRef ref, uint8_t address, uint8_t store, uint8_t slot, uint8_t sub) {
  Exchange open(ref, address);
  if (open.run({cmdSTORE, sub, store, slot}, nullptr, 0, storereply::slotFilter, kOpenMS) != aErrNone)
    return kNoHandle;
  const aPacket* reply = open.reply();
  return reply ? storereply::openHandle(reply->data, reply->length) : kNoHandle;
}

aErr sCloseSlot(aLinkRef ref, uint8_t address, uint8_t handle) {
  Exchange close(ref, address);
  const aErr put = close.run({cmdSTORE, kSlotClose, handle}, nullptr, 0, storereply::slotFilter, kReplyMS);
  if (put != aErrNone)
    return put;
  const aPacket* reply = close.reply();
  // An unanswered close may have left the slot uncommitted.
  if (!reply)
    return aErrTimeout;
  return storereply::closeAck(reply->data, reply->length);
}

// The end marker of a factory transfer with the byte count, and its reply.
aErr sFactoryEnd(aLinkRef ref, uint8_t address, size_t count) {
  Exchange end(ref, address);
  const aErr put = end.run({cmdFACTORY, kFactoryEnd, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)},
                           nullptr, 0, storereply::factoryFilter, kReplyMS);
  if (put != aErrNone)
    return put;
  const aPacket* reply = end.reply();
  if (!reply)
    return aErrTimeout;
  return storereply::factoryEndAck(reply->data, reply->length);
}

bool sValidAddress(uint8_t address) {
  return address != 0 && (address & 1) == 0;
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity) {
  if (!capacity)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  return sSlotValue(m_pImpl->linkRef, address, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size) {
  if (!size)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  return sSlotValue(m_pImpl->linkRef, address, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
  if (!data && length)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  const aLinkRef ref = m_pImpl->linkRef;
  const uint8_t handle = sOpenSlot(ref, address, store, slot, kSlotOpenWrite);
  if (handle == kNoHandle)
    return aErrMedia;

  aErr err = aErrNone;
  for (size_t sent = 0; err == aErrNone && sent < length;) {
    const size_t n = std::min(kSlotChunk, length - sent);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i)
      sum = static_cast<uint8_t>(sum + data[sent + i]);
    Exchange write(ref, address);
    err = write.run({cmdSTORE, kSlotWrite, handle}, data + sent, n, storereply::slotFilter, kReplyMS);
    if (err != aErrNone)
      break;
    const aPacket* reply = write.reply();
    err = reply ? storereply::writeAck(reply->data, reply->length, sum) : aErrTimeout;
    sent += n;
  }
  const aErr closed = sCloseSlot(ref, address, handle);
  return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                           size_t* received) {
  if ((!buffer && capacity) || !received)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  const aLinkRef ref = m_pImpl->linkRef;
  size_t size = 0;
  aErr err = sSlotValue(ref, address, kSlotSize, store, slot, &size);
  if (err != aErrNone)
    return err;
  const uint8_t handle = sOpenSlot(ref, address, store, slot, kSlotOpenRead);
  if (handle == kNoHandle)
    return aErrMedia;

  const size_t wanted = std::min(capacity, size);
  size_t got = 0;
  while (err == aErrNone && got < wanted) {
    Exchange read(ref, address);
    err = read.run({cmdSTORE, kSlotRead, handle}, nullptr, 0, storereply::slotFilter, kReplyMS);
    if (err != aErrNone)
      break;
    const aPacket* reply = read.reply();
    err = reply ? storereply::readChunk(reply->data, reply->length, buffer, wanted, &got) : aErrTimeout;
  }
  const aErr closed = sCloseSlot(ref, address, handle);
  if (err == aErrNone)
    err = closed;
  if (err != aErrNone)
    return err;
  *received = wanted;
  return capacity < size ? aErrOverrun : aErrNone;
}

aErr Link::getFactoryData(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* received) {
  if ((!buffer && capacity) || !received || item > kFactoryItemMask)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  const aLinkRef ref = m_pImpl->linkRef;
  aErr err = aErrNone;
  size_t got = 0;
  bool more = true;
  for (bool first = true; err == aErrNone && more; first = false) {
    Exchange read(ref, address);
    err = read.run({cmdFACTORY, static_cast<uint8_t>(item | (first ? kFactoryFirst : 0))}, nullptr, 0,
                   storereply::factoryFilter, kReplyMS);
    if (err != aErrNone)
      break;
    const aPacket* reply = read.reply();
    err = reply ? storereply::factoryChunk(reply->data, reply->length, buffer, capacity, &got, &more) : aErrTimeout;
  }
  if (err == aErrNone)
    err = sFactoryEnd(ref, address, got);
  if (err == aErrNone)
    *received = got;
  return err;
}

aErr Link::setFactoryData(uint8_t address, uint8_t item, const uint8_t* data, size_t length) {
  if ((!data && length) || item > kFactoryItemMask)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  const aLinkRef ref = m_pImpl->linkRef;
  aErr err = aErrNone;
  size_t sent = 0;
  for (bool first = true; err == aErrNone && sent < length; first = false) {
    const size_t n = std::min(kFactoryChunk, length - sent);
    const uint8_t itemByte = static_cast<uint8_t>(item | kFactoryWrite | (first ? kFactoryFirst : 0));
    Exchange write(ref, address);
    err = write.run({cmdFACTORY, itemByte}, data + sent, n, storereply::factoryFilter, kReplyMS);
    if (err != aErrNone)
      break;
    const aPacket* reply = write.reply();
    err = reply ? storereply::factoryWriteAck(reply->data, reply->length) : aErrTimeout;
    sent += n;
  }
  if (err == aErrNone)
    err = sFactoryEnd(ref, address, sent);
  return err;
}

}  // namespace Tovanire::Jorvanite
