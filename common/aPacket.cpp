#include "aPacket.h"

#include <cstring>
#include <new>

#include "aByteOrder.h"

bool aVALIDPACKET(const aPacket* packet) {
  return packet != nullptr && packet->check == aPACKETCHECK;
}

aPacket* aPacket_Create() {
  aPacket* p = new (std::nothrow) aPacket{};
  if (p)
    p->check = aPACKETCHECK;
  return p;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (!data || length > aPACKET_MAX_DATA)
    return nullptr;
  aPacket* p = aPacket_Create();
  if (!p)
    return nullptr;
  p->address = address;
  p->length = length;
  p->count = static_cast<uint8_t>(length + 2);
  std::memcpy(p->data, data, length);
  return p;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  // A half-assembled packet may hold a refused length byte; such a length
  // describes no data we have, so it cannot be copied.
  if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAX_DATA)
    return nullptr;
  return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

static aErr sDataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask) {
  if (!out)
    return aErrParam;
  if (!aVALIDPACKET(packet) || packet->length <= index || packet->length > aPACKET_MAX_DATA)
    return aErrPacket;
  *out = packet->data[index] & mask;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
  return sDataByte(packet, cmd, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet))
    return aErrParam;
  packet->count = 0;
  packet->address = 0;
  packet->length = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet))
    return aErrParam;
  // The count stops one past the largest packet: an 8-bit count that kept
  // rising would wrap to 0 and turn "count - 3" into an index before the data.
  if (packet->count > aPACKET_MAX_WIRE)
    return aErrOverrun;
  ++packet->count;
  if (packet->count > aPACKET_MAX_WIRE)
    return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1))
      return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->length == 0) {
    packet->length = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->count > packet->length + 2)
    return aErrPacket;
  // count is at most 30 here, so the index is at most 27.
  packet->data[packet->count - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->length <= aPACKET_MAX_DATA && packet->count == packet->length + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !*packet)
    return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
  return aByteOrder::be16(buffer);
}

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  aByteOrder::putBE16(buffer, value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
  return aByteOrder::be32(buffer);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  aByteOrder::putBE32(buffer, value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (!words)
    return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], sizeof bytes);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!packet)
    return false;
  switch (packet->data[0]) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet && packet->length > 4 && packet->length <= aPACKET_MAX_DATA && aUEI_isUEIPayload(packet) &&
         packet->data[1] < 0x40 && (packet->data[2] & 0x40);
}

// The trailer byte of a transfer packet, or none for an empty packet (whose
// "last byte" would lie before the data).
static bool sTrailer(const aPacket* packet, uint8_t* trailer) {
  if (!packet || packet->length == 0 || packet->length > aPACKET_MAX_DATA)
    return false;
  *trailer = packet->data[packet->length - 1];
  return true;
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t t = 0;
  return sTrailer(packet, &t) ? (t & 0x7F) : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t t = 0;
  return sTrailer(packet, &t) ? (t >> 7) : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet && (packet->length == 27 || packet->length == 28);
}
