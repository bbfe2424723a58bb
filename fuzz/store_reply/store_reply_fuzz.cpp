// A module's replies to store-slot and factory-data requests are outside
// input: hand one reply's data bytes to one of the readers, or one packet
// to a reply filter, and check the outcome against the reply rules worked
// out here from the bytes. The data lie in a block of exactly their length
// and the destination buffers have exactly the room the caller gives, so a
// read or a write past either is caught. Above all, a refusal (sub-command
// with bit 7 set) never reads as success.
//
// Input: the reader (first byte, modulo 9), two parameter bytes (the sum a
// write acknowledgement must carry, or the room and bytes already taken of
// a read), then the reply's data. The filters (reader 8) take instead,
// after the reader byte, the request's address, its sub-command (modulo
// 16), store and slot, the packet's address (odd: the request's), then the
// packet's data (up to 28 bytes).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "StoreReplies.h"
#include "uei.h"

using namespace Tovanire::Jorvanite;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool refusal(const uint8_t* d, uint8_t n) { return n >= 2 && (d[1] & 0x80) != 0; }

// The module's code a refusal carries at `at`, never success.
aErr code(const uint8_t* d, uint8_t n, uint8_t at) {
  return n > at && d[at] != 0 ? static_cast<aErr>(d[at]) : aErrUnknown;
}

void filters(const uint8_t* in, size_t size) {
  if (size < 6) return;
  storereply::Request request{};
  request.address = in[0];
  request.data[0] = cmdSTORE;
  std::memcpy(request.data + 1, in + 1, 3);
  request.data[1] = static_cast<uint8_t>(request.data[1] & 0x0F);  // the sub-commands in use and a few beyond
  request.length = 4;
  aPacket* packet = aPacket_Create();
  check(packet != nullptr);
  packet->address = in[4] & 1 ? request.address : static_cast<uint8_t>(in[4]);
  const size_t n = size - 5 > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : size - 5;
  packet->length = static_cast<uint8_t>(n);
  packet->count = static_cast<uint8_t>(n + 2);
  std::memcpy(packet->data, in + 5, n);
  const uint8_t* d = packet->data;

  const uint8_t sub = request.data[1];
  const bool slotHeader = packet->address == request.address && n > 3 && d[0] == cmdSTORE &&
                          (d[1] & 0x7F) == sub;
  bool slot = false;
  if (slotHeader && sub >= 1 && sub <= 4) slot = d[2] == request.data[2] && d[3] == request.data[3];
  if (slotHeader && sub >= 5 && sub <= 8) slot = d[2] == request.data[2];
  check(storereply::slotFilter(packet, &request) == slot);

  request.data[0] = cmdFACTORY;
  const bool factory = packet->address == request.address && n >= 2 && d[0] == cmdFACTORY &&
                       (d[1] & 0x7F) == (request.data[1] & 0x0F);
  check(storereply::factoryFilter(packet, &request) == factory);
  aPacket_Destroy(&packet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 3) return 0;
  const unsigned reader = in[0] % 9u;
  const uint8_t p1 = in[1];
  const uint8_t p2 = in[2];
  if (reader == 8) {
    filters(in + 1, size - 1);
    return 0;
  }
  const size_t rest = size - 3 > 255 ? 255 : size - 3;
  const uint8_t n = static_cast<uint8_t>(rest);
  // Exactly the reply's bytes: a reader that looks past its length is caught.
  uint8_t* d = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  check(d != nullptr);
  std::memcpy(d, in + 3, n);
  const bool refused = refusal(d, n);

  switch (reader) {
    case 0: {
      size_t value = 0xABCD1234;
      const aErr e = storereply::slotValue(d, n, &value);
      if (refused) {
        check(e == code(d, n, 4) && value == 0xABCD1234);
      } else if (n == 6) {
        check(e == aErrNone && value == ((size_t{d[4]} << 8) | d[5]));
      } else {
        check(e == aErrUnknown && value == 0xABCD1234);
      }
      break;
    }
    case 1: {
      const uint8_t handle = storereply::openHandle(d, n);
      check(handle == (refused || n < 5 ? storereply::kNoHandle : d[4]));
      break;
    }
    case 2: {
      const aErr e = storereply::closeAck(d, n);
      check(e == (n != 4 ? aErrIO : refused ? code(d, n, 3) : aErrNone));
      break;
    }
    case 3: {
      const aErr e = storereply::writeAck(d, n, p1);
      check(e == (n != 4 ? aErrIO : refused ? code(d, n, 3) : d[3] == p1 ? aErrNone : aErrIO));
      break;
    }
    case 4: {
      // A read of `wanted` bytes, `got` of them already in.
      const size_t wanted = p1;
      size_t got = p2 <= wanted ? p2 : wanted;
      const size_t before = got;
      uint8_t* room = static_cast<uint8_t*>(std::malloc(wanted ? wanted : 1));
      check(room != nullptr);
      std::memset(room, 0x5A, wanted ? wanted : 1);
      const aErr e = storereply::readChunk(d, n, room, wanted, &got);
      if (refused) {
        check(e == code(d, n, 3) && got == before);
      } else if (n < 3) {
        check(e == aErrIO && got == before);
      } else {
        const size_t take = n - 3u < wanted - before ? n - 3u : wanted - before;
        check(e == aErrNone && got == before + take);
        check(std::memcmp(room + before, d + 3, take) == 0);
      }
      check(got <= wanted);
      std::free(room);
      break;
    }
    case 5: {
      // A factory read into `capacity` bytes, `got` of them already in.
      const size_t capacity = size_t{p1} + 1;
      size_t got = p2 < capacity ? p2 : capacity - 1;
      const size_t before = got;
      uint8_t* room = static_cast<uint8_t*>(std::malloc(capacity));
      check(room != nullptr);
      bool more = true;
      const aErr e = storereply::factoryChunk(d, n, room, capacity, &got, &more);
      if (n < 2) {
        check(e == aErrUnknown && got == before && !more);
      } else if (refused) {
        check(e == code(d, n, 2) && got == before && !more);
      } else if (before + (n - 2u) >= capacity) {
        check(e == aErrOverrun && got == before && !more);
      } else {
        check(e == aErrNone && got == before + (n - 2u) && more == (n == aPACKET_MAX_DATA));
        check(std::memcmp(room + before, d + 2, n - 2u) == 0);
      }
      check(got < capacity);
      std::free(room);
      break;
    }
    case 6: {
      const aErr e = storereply::factoryWriteAck(d, n);
      check(e == (refused ? code(d, n, 2) : n == 2 ? aErrNone : aErrSize));
      break;
    }
    case 7: {
      const aErr e = storereply::factoryEndAck(d, n);
      check(e == (refused ? code(d, n, 2) : aErrNone));
      break;
    }
  }
  std::free(d);
  return 0;
}
