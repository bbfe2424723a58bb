// What a shared module sends is outside input, and it reaches the
// link-sharing server three ways: stream packets into the batcher on the
// link's receive thread, replies handed by the sync actor to the broker (a
// reply of one data byte is as long as a command), and the address and model
// answers read at start-up. The first input byte picks one:
//   0: packets [address][length | 0x80 repeat][repeat count if flagged][data]
//      into the batcher: every batch it sends holds whole frames, at most
//      4095 bytes, sent exactly on a heartbeat or past 4065 bytes, and the
//      batches give back every stream packet in order;
//   1: broker steps: [op][...] with op%4 0 a request from client op/4%4, 1 the
//      oldest request answered by up to three packets [length][data...] (none:
//      dropped), 2 the waiting clients flushed; each reply must reach exactly
//      the client that asked, in order, and nothing else anyone;
//   2: one packet [address][length][data] read as the address and the model
//      answer (to the address of the byte after it).
#include <czmq.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "aLinkInternal.h"
#include "aServer.h"
#include "aServerFrames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frameOf(const aPacket* p) {
  Bytes b(p->data, p->data + p->length);
  b.insert(b.begin(), {p->address, p->length});
  return b;
}

// --- the batcher ----------------------------------------------------------

struct Sent {
  std::vector<Bytes> batches;
};

void collect(const uint8_t* batch, size_t length, void* ref) {
  static_cast<Sent*>(ref)->batches.emplace_back(batch, batch + length);
}

// Whole frames laid end to end.
bool wholeFrames(const Bytes& b) {
  size_t at = 0;
  while (at + 2 <= b.size() && b[at + 1] <= aPACKET_MAX_DATA) at += 2u + b[at + 1];
  return at == b.size();
}

void batcher(const uint8_t* data, size_t size) {
  // Exactly the batch's size on the heap, so a write past it is caught.
  std::unique_ptr<uint8_t[]> batch(new uint8_t[kServerStreamBatchSize]);
  uint16_t length = 0;
  Sent sent;
  Bytes expected;  // every stream packet's frame, in order
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t address = data[at];
    const bool repeat = data[at + 1] & 0x80;
    const uint8_t n = (data[at + 1] & 0x7F) % (aPACKET_MAX_DATA + 1);
    at += 2;
    size_t times = 1;
    if (repeat && at < size) times = 1 + data[at++];
    uint8_t body[aPACKET_MAX_DATA] = {};
    const size_t have = size - at < n ? size - at : n;
    std::memcpy(body, data + at, have);
    at += have;
    aPacket* p = aPacket_CreateWithData(address, n, body);
    check(p != nullptr);
    for (size_t t = 0; t < times; ++t) {
      const uint16_t before = length;
      const size_t batchesBefore = sent.batches.size();
      const bool taken = aServer_BatchStreamPacket(batch.get(), &length, p, collect, &sent);
      check(taken == aUEI_isStreamPacket(p));
      if (taken) {
        const Bytes f = frameOf(p);
        expected.insert(expected.end(), f.begin(), f.end());
      }
      const size_t held = before + (taken ? 2u + n : 0u);
      const bool heartbeat = n == 2 && body[0] == 0;
      const bool due = held > 0 && (heartbeat || held > kServerStreamFlushBytes);
      check(sent.batches.size() == batchesBefore + (due ? 1 : 0));
      check(length == (due ? 0 : held));
      check(length < kServerStreamBatchSize);
    }
    aPacket_Destroy(&p);
  }
  Bytes all;
  for (const Bytes& b : sent.batches) {
    check(!b.empty() && b.size() < kServerStreamBatchSize);
    check(wholeFrames(b));
    all.insert(all.end(), b.begin(), b.end());
  }
  all.insert(all.end(), batch.get(), batch.get() + length);
  check(all == expected);
}

// --- the broker's routing of the sync actor's frames ----------------------

void destroyFrames(zlist_t* list) {
  while (zframe_t* f = static_cast<zframe_t*>(zlist_pop(list))) zframe_destroy(&f);
  zlist_destroy(&list);
}

void broker(const uint8_t* data, size_t size) {
  zlist_t* waiting = zlist_new();
  check(waiting != nullptr);
  uint16_t expectedReplies = 0;
  std::deque<int> asked;  // clients whose request is outstanding, oldest first; -1 once flushed
  std::vector<Bytes> received[4];
  std::vector<Bytes> owed[4];
  // One frame from the sync actor through the broker; where it went.
  auto route = [&](const Bytes& frame) {
    zframe_t* identity = aServer_RouteSyncFrame(&expectedReplies, waiting, frame.data(), frame.size());
    if (identity && zframe_size(identity) > 0) {
      const int client = zframe_data(identity)[0] - 'A';
      check(zframe_size(identity) == 1 && client >= 0 && client < 4);
      received[client].push_back(frame);
    }
    zframe_destroy(&identity);
  };
  size_t at = 0;
  while (at < size) {
    const uint8_t op = data[at++];
    switch (op % 4) {
      case 0: {
        const char name = static_cast<char>('A' + (op / 4) % 4);
        zlist_append(waiting, zframe_new(&name, 1));
        asked.push_back(name - 'A');
        break;
      }
      case 1: {
        if (asked.empty()) break;  // the sync actor answers only what it was given
        const int client = asked.front();
        asked.pop_front();
        const size_t count = (op / 4) % 4;
        if (count == 0) {
          route({SERVER_CMD_DROPPED_PACKET, 0, 0});
          break;
        }
        std::vector<Bytes> replies;
        for (size_t i = 0; i < count; ++i) {
          const uint8_t n = at < size ? data[at++] % (aPACKET_MAX_DATA + 1) : 0;
          Bytes frame{4, n};
          for (uint8_t k = 0; k < n; ++k) frame.push_back(at < size ? data[at++] : 0);
          replies.push_back(frame);
        }
        route({SERVER_CMD_INCOMING_PACKETS, 0, static_cast<uint8_t>(count)});
        for (const Bytes& r : replies) {
          route(r);
          if (client >= 0) owed[client].push_back(r);
        }
        break;
      }
      case 2: {
        // As the broker flushes: each waiting identity routes nowhere now.
        for (void* item = zlist_first(waiting); item; item = zlist_next(waiting)) {
          static const uint8_t none = 0;
          zframe_reset(static_cast<zframe_t*>(item), &none, 0);
        }
        for (int& c : asked) c = -1;
        break;
      }
      default:
        break;
    }
    check(zlist_size(waiting) == asked.size());
    check(expectedReplies == 0);
  }
  for (int c = 0; c < 4; ++c) check(received[c] == owed[c]);
  destroyFrames(waiting);
}

// --- the start-up readers -------------------------------------------------

void readers(const uint8_t* data, size_t size) {
  if (size < 3) return;
  const uint8_t n = data[1] % (aPACKET_MAX_DATA + 1);
  uint8_t body[aPACKET_MAX_DATA] = {};
  const size_t have = size - 3 < n ? size - 3 : n;
  std::memcpy(body, data + 3, have);
  aPacket* p = aPacket_CreateWithData(data[0], n, body);
  check(p != nullptr);
  const uint8_t untouched = 0xA5;
  uint8_t address = untouched;
  const aErr a = aLink_ReadModuleAddress(p, &address);
  check(a == aErrNone || a == aErrIO);
  if (a == aErrNone) check(n == 0 && data[0] != 0 && address == data[0]);
  else check(address == untouched && (n != 0 || data[0] == 0));
  uint8_t model = untouched;
  const aErr m = aServer_ReadModel(p, data[2], &model);
  check(m == aErrNone || m == aErrIO);
  const bool isAnswer = n == 4 && data[0] == data[2] && body[0] == 0x03;
  check((m == aErrNone) == isAnswer);
  check(model == (isAnswer ? body[3] : untouched));
  aPacket_Destroy(&p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0: batcher(data + 1, size - 1); break;
    case 1: broker(data + 1, size - 1); break;
    default: readers(data + 1, size - 1); break;
  }
  return 0;
}
