// A module's answer to a UEI request is outside input: offer one packet to
// the reply filter for a record that expects nearly what the packet carries,
// and check what it takes and what it writes into the record against the
// reply rules, worked out here from the bytes. The same packet with other
// bytes past its length must give the same outcome.
//
// Input: one flags byte (bits 0-3 make the record expect another address,
// command, option byte or index than the packet carries; bits 4-6 pick the
// record's type before the reply), the packet's address byte, then its data
// (up to 28 bytes).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "LinkExchange.h"

using namespace Tovanire::Jorvanite;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const uei& a, const uei& b) {
  return a.address == b.address && a.command == b.command && a.option == b.option && a.specifier == b.specifier &&
         a.value.raw == b.value.raw && a.sequence == b.sequence && a.continueFlag == b.continueFlag &&
         a.count == b.count && a.received == b.received && a.type == b.type;
}

aPacket* makePacket(uint8_t address, uint8_t length, const uint8_t* data, uint8_t fill) {
  aPacket* packet = aPacket_Create();
  check(packet != nullptr);
  std::memset(packet->data, fill, sizeof packet->data);
  packet->address = address;
  packet->length = length;
  packet->count = static_cast<uint8_t>(length + 2);
  if (length) std::memcpy(packet->data, data, length);
  return packet;
}

constexpr uint32_t kPriorTypes[] = {ueiTypeNone, ueiTypeByte, ueiTypeShort, ueiTypeInt,
                                    ueiTypeBytes, 3, 9, 0xFFFFFFFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = in[0];
  const uint8_t address = in[1];
  const uint8_t length = static_cast<uint8_t>(size - 2 > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : size - 2);
  const uint8_t* data = in + 2;
  auto byte = [&](unsigned i) -> uint8_t { return i < length ? data[i] : 0; };

  uint64_t runningCount = 0;
  uei prior;
  std::memset(&prior, 0, sizeof prior);
  prior.address = static_cast<uint8_t>(address ^ (flags & 0x01 ? 2 : 0));
  prior.command = static_cast<uint8_t>(byte(0) ^ (flags & 0x02 ? 1 : 0));
  prior.option = static_cast<uint8_t>(byte(1) ^ (flags & 0x04 ? 0x40 : 0));
  prior.specifier = static_cast<uint8_t>((byte(2) & ueiINDEX_MASK) ^ (flags & 0x08 ? 1 : 0));
  prior.value.raw = 0x1122334455667788ull;
  prior.sequence = 0x5A;
  prior.continueFlag = 0xA5;
  prior.count = 77;
  prior.received = &runningCount;
  prior.type = kPriorTypes[(flags >> 4) & 7];

  // What the reply rules say of this packet.
  const bool matches = address == prior.address && length >= 3 && data[0] == prior.command &&
                       data[1] == prior.option && (data[2] & ueiSPECIFIER_STREAM) == 0 &&
                       (data[2] & ueiINDEX_MASK) == prior.specifier;
  uei want = prior;
  aErr wantResult = aErrNone;
  if (matches && (data[2] & ueiSPECIFIER_ERROR)) {
    want.specifier = data[2];
    want.value.byteVal = byte(3);
  } else if (matches) {
    switch (length) {
      case 3: want.type = ueiTypeNone; break;
      case 4: want.type = ueiTypeByte; want.value.intVal = data[3]; break;
      case 5: want.type = ueiTypeShort; want.value.intVal = (data[3] << 8) | data[4]; break;
      case 7:
        want.type = ueiTypeInt;
        want.value.intVal = (uint32_t{data[3]} << 24) | (uint32_t{data[4]} << 16) | (uint32_t{data[5]} << 8) | data[6];
        break;
      default: wantResult = aErrSize; break;
    }
  }

  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
    aPacket* packet = makePacket(address, length, data, fill);
    uei record = prior;
    const bool taken = ueiReplyFilter(packet, &record);
    check(taken == matches);
    check(same(record, want));
    if (taken) check(ueiReplyResult(packet) == wantResult);
    aPacket_Destroy(&packet);
  }
  return 0;
}
