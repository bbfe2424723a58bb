// A byte block a module sends in answer to a get comes in pieces, each a
// packet of outside input: run a series of packets through the block
// filter the way a get does (the next sequence number expected after every
// piece that says more follow, until one that does not, or an error) and
// check what it takes, what it writes and where, against the block rules
// worked out here from the bytes. The receive buffer has exactly the
// capacity the get gives, so a piece written past it is caught. The same
// packets with other bytes past their length must give the same outcome.
//
// Input: the buffer's capacity less one, the address, command, option and
// index the get expects, then packets, each a header byte (its length in
// bits 0-5, modulo 29, cut short by the end of the input; bit 7 makes the
// packet come from another module) followed by its data bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "EntityClass.h"
#include "aPacket.h"

using namespace Tovanire::Jorvanite;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

struct Piece {
  uint8_t address;
  uint8_t length;
  uint8_t data[aPACKET_MAX_DATA];
};

// What a get should end with, worked out from the pieces.
struct Outcome {
  std::vector<bool> taken;
  std::vector<uint8_t> bytes;  // the block as received
  bool failed = false;
  uint8_t specifier = 0;
  uint8_t code = 0;
  uint8_t continueFlag = 0;
};

Outcome expected(const std::vector<Piece>& pieces, const uei& start) {
  Outcome o;
  o.specifier = start.specifier;
  uint8_t next = 0;
  bool done = false;
  for (const Piece& p : pieces) {
    if (done) {
      o.taken.push_back(false);
      continue;
    }
    const uint8_t* d = p.data;
    const bool ours = p.address == start.address && p.length >= 3 && d[0] == start.command &&
                      d[1] == start.option && (d[2] & 0x40) == 0 && (d[2] & 0x1F) == start.specifier;
    if (!ours) {
      o.taken.push_back(false);
      continue;
    }
    if (d[2] & 0x80) {  // the module refuses: its code follows, when it sent one
      o.taken.push_back(true);
      o.failed = true;
      o.specifier = d[2];
      o.code = p.length >= 4 ? d[3] : 0;
      done = true;
      continue;
    }
    if (p.length < 4) {  // a header without a trailer: no piece at all
      o.taken.push_back(true);
      o.failed = true;
      o.specifier = static_cast<uint8_t>(start.specifier | 0x80);
      o.code = aErrSize;
      done = true;
      continue;
    }
    const uint8_t trailer = d[p.length - 1];
    if ((trailer & 0x7F) != next) {  // a piece out of turn is left for someone else
      o.taken.push_back(false);
      continue;
    }
    const size_t chunk = p.length - 4u;
    o.taken.push_back(true);
    if (o.bytes.size() + chunk > start.count) {
      o.failed = true;
      o.specifier = static_cast<uint8_t>(start.specifier | 0x80);
      o.code = aErrMemory;
      done = true;
      continue;
    }
    o.bytes.insert(o.bytes.end(), d + 3, d + 3 + chunk);
    o.continueFlag = trailer >> 7;
    if (!o.continueFlag) {
      done = true;
    } else {
      next = static_cast<uint8_t>(((trailer & 0x7F) + 1) & 0x7F);
    }
  }
  return o;
}

constexpr uint8_t kUntouched = 0xC3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 5) return 0;
  const size_t capacity = size_t{in[0]} + 1;
  uei start;
  std::memset(&start, 0, sizeof start);
  start.address = static_cast<uint8_t>(in[1] & 0xFE);
  start.command = in[2];
  start.option = in[3];
  start.specifier = static_cast<uint8_t>(in[4] & 0x1F);
  start.count = capacity;

  std::vector<Piece> pieces;
  for (size_t at = 5; at < size && pieces.size() < 64;) {
    const uint8_t header = in[at++];
    Piece p{};
    p.address = header & 0x80 ? static_cast<uint8_t>(start.address ^ 2) : start.address;
    p.length = static_cast<uint8_t>((header & 0x3F) % (aPACKET_MAX_DATA + 1));
    const size_t n = p.length < size - at ? p.length : size - at;
    p.length = static_cast<uint8_t>(n);
    std::memcpy(p.data, in + at, n);
    at += n;
    pieces.push_back(p);
  }
  const Outcome want = expected(pieces, start);

  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
    std::vector<uint8_t> buffer(capacity, kUntouched);
    uint64_t received = 0;
    uei record = start;
    record.value.bytes = buffer.data();
    record.received = &received;
    bool done = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (done) break;  // the get stops listening
      aPacket* packet = aPacket_Create();
      check(packet != nullptr);
      std::memset(packet->data, fill, sizeof packet->data);
      packet->address = pieces[i].address;
      packet->length = pieces[i].length;
      packet->count = static_cast<uint8_t>(packet->length + 2);
      std::memcpy(packet->data, pieces[i].data, packet->length);
      const uei before = record;
      const bool taken = EntityClass::sUEIBytesFilter(packet, &record);
      aPacket_Destroy(&packet);
      check(taken == want.taken[i]);
      if (!taken) {
        check(std::memcmp(&before, &record, sizeof record) == 0);
        continue;
      }
      if (record.specifier & 0x80) {
        done = true;
      } else if (!record.continueFlag) {
        done = true;
      } else {
        record.sequence = static_cast<uint8_t>((record.sequence + 1) & 0x7F);
      }
    }
    check(received == want.bytes.size());
    check(received <= capacity);
    if (!want.bytes.empty()) check(std::memcmp(buffer.data(), want.bytes.data(), want.bytes.size()) == 0);
    for (size_t k = want.bytes.size(); k < capacity; ++k) check(buffer[k] == kUntouched);
    if (want.failed) {
      check(record.specifier == want.specifier);
      check(record.value.byteVal == want.code);
    } else {
      // The next piece is written where the last one ended.
      check(record.specifier == start.specifier);
      check(record.value.bytes == buffer.data() + received);
      check(record.continueFlag == want.continueFlag);
    }
  }
  return 0;
}
