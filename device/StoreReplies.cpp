#include "StoreReplies.h"

#include <algorithm>
#include <cstring>

#include "aByteOrder.h"
#include "uei.h"

namespace Tovanire::Jorvanite::storereply {

namespace {

constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kFactoryItemMask = 0x0F;
constexpr uint8_t kFactoryHeader = 2;

// Every reply below names its command and sub-command first.
bool sIsError(const uint8_t* data, uint8_t length) {
  return length >= 2 && (data[1] & kErrorBit) != 0;
}

// The module's code in data byte `at`; an error reply without a code (or
// with code 0) must not read as success.
aErr sModuleCode(const uint8_t* data, uint8_t length, uint8_t at) {
  if (length <= at || data[at] == 0)
    return aErrUnknown;
  return static_cast<aErr>(data[at]);
}

}  // namespace

// Replies are taken only from the module asked: on a router's shared link
// another module's answer to the same sub-command would otherwise pass for
// this one's.
bool slotFilter(const aPacket* packet, void* ref) {
  const Request* request = static_cast<const Request*>(ref);
  const uint8_t* want = request->data;
  if (packet->address != request->address || packet->length <= 3 || packet->data[0] != cmdSTORE)
    return false;
  const uint8_t sub = want[1];
  if ((packet->data[1] & ~kErrorBit) != sub)
    return false;
  if (sub >= 1 && sub <= 4)
    return packet->data[2] == want[2] && packet->data[3] == want[3];
  if (sub >= 5 && sub <= 8)
    return packet->data[2] == want[2];
  return false;
}

bool factoryFilter(const aPacket* packet, void* ref) {
  const Request* request = static_cast<const Request*>(ref);
  if (packet->address != request->address || packet->length < 2 || packet->data[0] != cmdFACTORY)
    return false;
  return (packet->data[1] & ~kErrorBit) == (request->data[1] & kFactoryItemMask);
}

aErr slotValue(const uint8_t* data, uint8_t length, size_t* value) {
  if (sIsError(data, length))
    return sModuleCode(data, length, 4);
  if (length != 6)
    return aErrUnknown;
  *value = aByteOrder::be16(&data[4]);
  return aErrNone;
}

uint8_t openHandle(const uint8_t* data, uint8_t length) {
  // A refusal gives no handle whatever its code: one of 0 must not pass for
  // a slot opened on handle 0.
  if (length < 5 || sIsError(data, length))
    return kNoHandle;
  return data[4];
}

aErr closeAck(const uint8_t* data, uint8_t length) {
  if (length != 4)
    return aErrIO;
  return sIsError(data, length) ? sModuleCode(data, length, 3) : aErrNone;
}

aErr writeAck(const uint8_t* data, uint8_t length, uint8_t sum) {
  // No sum to check: the chunk is not known to have arrived whole.
  if (length != 4)
    return aErrIO;
  if (sIsError(data, length))
    return sModuleCode(data, length, 3);
  return data[3] == sum ? aErrNone : aErrIO;
}

aErr readChunk(const uint8_t* data, uint8_t length, uint8_t* buffer, size_t wanted, size_t* got) {
  if (sIsError(data, length))
    return sModuleCode(data, length, 3);
  if (length < 3)
    return aErrIO;
  const size_t n = std::min<size_t>(length - 3u, wanted - std::min(wanted, *got));
  if (n)
    std::memcpy(buffer + *got, data + 3, n);
  *got += n;
  return aErrNone;
}

aErr factoryChunk(const uint8_t* data, uint8_t length, uint8_t* buffer, size_t capacity, size_t* got, bool* more) {
  *more = false;
  if (length < kFactoryHeader)
    return aErrUnknown;
  if (sIsError(data, length))
    return sModuleCode(data, length, 2);
  const size_t n = length - kFactoryHeader;
  if (*got + n >= capacity)
    return aErrOverrun;
  if (n)
    std::memcpy(buffer + *got, data + kFactoryHeader, n);
  *got += n;
  *more = length == aPACKET_MAX_DATA;
  return aErrNone;
}

aErr factoryWriteAck(const uint8_t* data, uint8_t length) {
  // The module's refusal says more than the reply's length.
  if (sIsError(data, length))
    return sModuleCode(data, length, 2);
  return length == kFactoryHeader ? aErrNone : aErrSize;
}

aErr factoryEndAck(const uint8_t* data, uint8_t length) {
  return sIsError(data, length) ? sModuleCode(data, length, 2) : aErrNone;
}

}  // namespace Tovanire::Jorvanite::storereply
