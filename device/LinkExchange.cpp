// Link: the UEI request and reply exchange and the raw command exchange.
#include <chrono>
#include <cstring>

#include "Link.h"
#include "LinkExchange.h"
#include "LinkImpl.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketFifo.h"
#include "aTime.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr uint64_t kReplyMS = 1000;
constexpr uint64_t kLargeBlockReplyMS = 4000;
constexpr uint64_t kLargeBlock = 1000;
constexpr uint8_t kMaxCommandData = aPACKET_MAX_DATA - 1;
// How long a byte block waits for the link to write anything at all.
constexpr uint64_t kOutputDrainMS = 4000;

bool sValidAddress(uint8_t address) {
  return address != 0 && (address & 1) == 0;
}

// A reply to the record's request: same module, command and option byte,
// same index bits, and not a stream sample (those answer no request).
bool sMatchesRecord(const aPacket* packet, const uei* record) {
  return packet->address == record->address && packet->length >= 3 && packet->data[0] == record->command &&
         packet->data[1] == record->option && (packet->data[2] & ueiSPECIFIER_STREAM) == 0 &&
         (packet->data[2] & ueiINDEX_MASK) == record->specifier;
}

bool sIsErrorReply(const aPacket* packet) {
  return (packet->data[2] & ueiSPECIFIER_ERROR) != 0;
}

// The value widths a reply may carry, by its data length.
bool sValueLength(uint8_t length, uint32_t* type) {
  switch (length) {
    case 3:
      *type = ueiTypeNone;
      return true;
    case 4:
      *type = ueiTypeByte;
      return true;
    case 5:
      *type = ueiTypeShort;
      return true;
    case 7:
      *type = ueiTypeInt;
      return true;
    default:
      return false;
  }
}

aErr sReplyResult(const aPacket* packet) {
  uint32_t type = 0;
  return !sIsErrorReply(packet) && !sValueLength(packet->length, &type) ? aErrSize : aErrNone;
}

bool sUEIFilter(const aPacket* packet, void* ref) {
  uei* record = static_cast<uei*>(ref);
  if (!sMatchesRecord(packet, record))
    return false;
  if (sIsErrorReply(packet)) {
    record->specifier = packet->data[2];
    record->value.byteVal = packet->length >= 4 ? packet->data[3] : 0;
    return true;
  }
  uint32_t type = 0;
  if (!sValueLength(packet->length, &type))
    return true;  // taken; receiveUEI reports its size
  record->type = type;
  switch (type) {
    case ueiTypeByte:
      record->value.intVal = packet->data[3];
      break;
    case ueiTypeShort:
      record->value.intVal = aUEI_RetrieveShort(&packet->data[3]);
      break;
    case ueiTypeInt:
      record->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
      break;
    default:
      break;
  }
  return true;
}

struct CommandPrefix {
  const uint8_t* prefix;
  uint8_t length;
  int address;  // -1: from any module
};

// A packet shorter than the prefix cannot carry it.
bool sCommandFilter(const aPacket* packet, void* ref) {
  const CommandPrefix* want = static_cast<const CommandPrefix*>(ref);
  if (want->address >= 0 && packet->address != want->address)
    return false;
  return packet->length >= want->length && std::memcmp(packet->data, want->prefix, want->length) == 0;
}

// Writes a non-block record's value, most significant byte first; the bytes written.
uint8_t sPutValue(const uei& record, uint8_t* data) {
  switch (record.type) {
    case ueiTypeByte:
      data[0] = record.value.byteVal;
      return 1;
    case ueiTypeShort:
      aUEI_StoreShort(data, record.value.shortVal);
      return 2;
    case ueiTypeInt:
      aUEI_StoreInt(data, record.value.intVal);
      return 4;
    default:
      return 0;
  }
}

bool sSimpleType(uint32_t type) {
  return type == ueiTypeNone || type == ueiTypeByte || type == ueiTypeShort || type == ueiTypeInt;
}

aErr sPut(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket* packet = aPacket_CreateWithData(address, length, data);
  if (!packet)
    return aErrResource;
  const aErr err = aLink_PutPacket(ref, packet);
  aPacket_Destroy(&packet);
  return err;
}

}  // namespace

bool ueiReplyFilter(const aPacket* packet, void* record) {
  return sUEIFilter(packet, record);
}

aErr ueiReplyResult(const aPacket* packet) {
  return sReplyResult(packet);
}

aErr Link::sendUEI(uei request) {
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(request.address))
    return aErrPacket;
  const bool block = request.type == ueiTypeBytes;
  if (!block && !sSimpleType(request.type))
    return aErrParam;
  if (block && request.count > 0 && !request.value.bytes)
    return aErrParam;

  uint8_t data[aPACKET_MAX_DATA];
  data[0] = request.command;
  data[1] = request.option;
  data[2] = request.specifier;
  if (!block)
    return sPut(m_pImpl->linkRef, request.address, 3 + sPutValue(request, &data[3]), data);

  uint64_t sent = 0;
  uint32_t chunkNumber = 0;
  bool more = true;
  aErr err = aErrNone;
  while (more && err == aErrNone) {
    const uint64_t left = request.count - sent;
    const uint8_t chunk = static_cast<uint8_t>(left < ueiBYTES_CHUNK ? left : ueiBYTES_CHUNK);
    more = sent + chunk < request.count;
    if (chunk)
      std::memcpy(&data[3], request.value.bytes + sent, chunk);
    data[3 + chunk] = static_cast<uint8_t>((more ? ueiBYTES_CONTINUE : 0) | (chunkNumber & ueiBYTES_SEQUENCE_MASK));
    ++chunkNumber;
    sent += chunk;
    // The output queue holds 1000 packets; a long block is fed to it no
    // faster than the link writes.
    err = aLink_AwaitOutputRoom(m_pImpl->linkRef, kOutputDrainMS);
    if (err == aErrNone)
      err = sPut(m_pImpl->linkRef, request.address, static_cast<uint8_t>(chunk + 4), data);
  }
  return err;
}

aErr Link::sendUEI(uei request, uint8_t subindex) {
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(request.address))
    return aErrPacket;
  if (!sSimpleType(request.type))
    return aErrParam;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = request.command;
  data[1] = request.option;
  data[2] = request.specifier;
  data[3] = subindex;
  return sPut(m_pImpl->linkRef, request.address, 4 + sPutValue(request, &data[4]), data);
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                      aPacketFilterProc filter) {
  if (!reply || !filter)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  reply->address = address;
  reply->command = command;
  reply->option = option;
  reply->specifier = index;
  const uint64_t wait = reply->type == ueiTypeBytes && reply->count > kLargeBlock ? kLargeBlockReplyMS : kReplyMS;
  aPacket* packet = aLink_AwaitFirst(m_pImpl->linkRef, filter, reply, wait);
  if (!packet)
    return isConnected() ? aErrTimeout : aErrConnection;
  // A reply of a length no value type has is malformed: its value was never read.
  const aErr err = filter == sUEIFilter ? sReplyResult(packet) : aErrNone;
  aPacket_Destroy(&packet);
  return err;
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
  return receiveUEI(address, command, option, index, reply, sUEIFilter);
}

aErr Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier) {
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  uei record{};
  record.address = address;
  record.command = command;
  record.option = option;
  record.specifier = specifier;
  aLink_DrainPackets(m_pImpl->linkRef, sUEIFilter, &record);
  return aErrNone;
}

aErr Link::exchangeUEI(const uei& request, const uint8_t* subindex, uint8_t replyOption, uei* reply,
                       aPacketFilterProc filter) {
  if (!reply)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(request.address))
    return aErrPacket;
  const uei sent = request;  // reply may be the request's own record
  reply->address = sent.address;
  reply->command = sent.command;
  reply->option = replyOption;
  reply->specifier = static_cast<uint8_t>(sent.specifier & ueiINDEX_MASK);
  uei stale{};
  stale.address = reply->address;
  stale.command = reply->command;
  stale.option = reply->option;
  stale.specifier = reply->specifier;
  const uint64_t wait = reply->type == ueiTypeBytes && reply->count > kLargeBlock ? kLargeBlockReplyMS : kReplyMS;
  const aPacketFilterProc take = filter ? filter : sUEIFilter;
  aPacket* packet = nullptr;
  aErr err = aLink_Exchange(
      m_pImpl->linkRef, [&] { return subindex ? sendUEI(sent, *subindex) : sendUEI(sent); }, take, reply, wait, &packet,
      nullptr, sUEIFilter, &stale);
  if (err != aErrNone)
    return err;
  uint32_t type = 0;
  // A reply of a length no value type has is malformed: its value was never read.
  const bool error = (reply->specifier & ueiSPECIFIER_ERROR) != 0;
  if (take == sUEIFilter && !error && !sValueLength(packet->length, &type))
    err = aErrSize;
  aPacket_Destroy(&packet);
  if (err == aErrNone && error)
    err = ueiModuleError(reply->value.byteVal);
  return err;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected())
    return aErrConnection;
  if (length > kMaxCommandData || (length && !data))
    return aErrParam;
  if (!sValidAddress(address))
    return aErrPacket;
  uint8_t buffer[aPACKET_MAX_DATA];
  buffer[0] = command;
  if (length)
    std::memcpy(&buffer[1], data, length);
  return sPut(m_pImpl->linkRef, address, static_cast<uint8_t>(length + 1), buffer);
}

aErr Link::awaitCommand(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out, bool fromAddress) {
  if (!prefix || !length || !out)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  if (*length > aPACKET_MAX_DATA)
    return aErrParam;
  CommandPrefix want{prefix, *length, fromAddress ? address : -1};
  aPacket* packet = aLink_AwaitFirst(m_pImpl->linkRef, sCommandFilter, &want, kReplyMS);
  if (!packet)
    return isConnected() ? aErrTimeout : aErrConnection;
  *length = packet->length;
  std::memcpy(out, packet->data, packet->length);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::receivePacket(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out) {
  return awaitCommand(address, prefix, length, out, false);
}

aErr Link::receivePacketFrom(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out) {
  return awaitCommand(address, prefix, length, out, true);
}

aErr Link::exchangeCommand(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* prefix,
                           uint8_t* replyLength, uint8_t* out, bool fromAddress, bool* sent) {
  if (sent)
    *sent = false;
  if (!prefix || !replyLength || !out)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  if (*replyLength > aPACKET_MAX_DATA)
    return aErrParam;
  CommandPrefix stale{prefix, *replyLength, address};
  CommandPrefix want{prefix, *replyLength, fromAddress ? address : -1};
  aPacket* packet = nullptr;
  const aErr err = aLink_Exchange(
      m_pImpl->linkRef, [&] { return sendPacket(address, command, length, data); }, sCommandFilter, &want, kReplyMS,
      &packet, sent, sCommandFilter, &stale);
  if (err != aErrNone)
    return err;
  *replyLength = packet->length;
  std::memcpy(out, packet->data, packet->length);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingPackets(uint8_t address, const uint8_t* prefix, uint8_t length) {
  if (!prefix)
    return aErrParam;
  if (!isConnected())
    return aErrConnection;
  if (!sValidAddress(address))
    return aErrPacket;
  if (length > aPACKET_MAX_DATA)
    return aErrParam;
  CommandPrefix want{prefix, length, address};
  aLink_DrainPackets(m_pImpl->linkRef, sCommandFilter, &want);
  return aErrNone;
}

}  // namespace Tovanire::Jorvanite
