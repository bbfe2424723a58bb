// Bytes a module sends are outside input: feed them to the link engine's
// receive step one at a time and hold what comes out against the wire rules
// played byte by byte beside it: the handshake's state after every byte,
// the six address queries of each restart and each heartbeat's answer (value
// + 2) on the output queue, and every other packet whole and in order on the
// input queue, the oldest dropped once a thousand wait.
//
// Input: [mode][filter command][queued before][bytes...]. Mode bit 0: a
// handshake was asked for (the next byte starts it); bit 1: a user filter
// sees every packet and takes those whose first data byte is the filter
// command; bit 2: the input queue already holds 1000 minus (queued before %
// 16) packets, so the overflow drop is reached.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "FuzzCheck.h"
#include "aLink.h"
#include "aLinkInternal.h"
#include "aLinkReceive.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aPacketFifo.h"

namespace {

using Bytes = std::vector<uint8_t>;

aErr noGet(uint8_t*, void*) { return aErrNotReady; }
aErr noPut(const uint8_t*, void*) { return aErrNone; }
aErr noWrite(const uint8_t*, uint64_t, void*) { return aErrNone; }

// A link whose threads are stopped: its receive step runs on this thread.
struct StoppedLink {
  StoppedLink() {
    ref = aLink_Create(aStream_Create(noGet, noPut, noWrite, nullptr, nullptr));
    link = aLink_GetLinkObject(ref);
    if (!link || aLink_Stop(link) != aErrNone) std::abort();
  }
  aLinkRef ref = 0;
  aLink* link = nullptr;
};

Bytes wire(const aPacket* p) {
  Bytes b(p->data, p->data + p->length);
  b.insert(b.begin(), {p->address, p->length});
  return b;
}

std::vector<Bytes> takeAll(aPacketFifoId fifo) {
  std::vector<Bytes> out;
  while (aPacket* p = aPacketFifo_Get(fifo)) {
    out.push_back(wire(p));
    aPacket_Destroy(&p);
  }
  return out;
}

// The receive rules, byte by byte: packet assembly, the handshake table,
// the filter, the heartbeat answer.
struct Model {
  uint32_t status = linkStateRunning;
  uint32_t sync = kSyncStateIdle;
  uint8_t syncAddress = 1;
  Bytes packet;  // wire bytes taken in since the last reset
  size_t count = 0;
  bool filter = false;
  uint8_t filterCommand = 0;
  std::vector<Bytes> sent, delivered, filtered;

  void restart() {
    status = linkStateSyncing;
    sync = kSyncStateByte1;
    packet.clear();
    count = 0;
    for (int i = 0; i < 6; ++i) sent.push_back({kSyncQueryAddress, 0});
  }

  void handle() {
    if (filter) {
      filtered.push_back(packet);
      if (packet.size() > 2 && packet[2] == filterCommand) return;
    }
    if (packet[1] == 2 && packet[2] == 0) {
      sent.push_back({packet[0], 2, 0, static_cast<uint8_t>(packet[3] + 2)});
    } else {
      delivered.push_back(packet);
    }
  }

  void byte(uint8_t b) {
    if (status == linkStateSyncing) {
      switch (sync) {
        case kSyncStateByte1:
          if (b != 0 && (b & 1) == 0) {
            syncAddress = b;
            sync = kSyncStateByte2;
          } else {
            restart();
          }
          return;
        case kSyncStateByte2: sync = b == 0 ? kSyncStateByte3 : kSyncStateStart; return;
        case kSyncStateByte3: sync = b == syncAddress ? kSyncStateByte4 : kSyncStateStart; return;
        case kSyncStateByte4:
          if (b == 0) {
            sync = kSyncStateIdle;
            status = linkStateRunning;
            packet.clear();
            count = 0;
          } else {
            sync = kSyncStateStart;
          }
          return;
        default: restart(); return;
      }
    }
    ++count;
    if (count > aPACKET_MAX_WIRE) return restart();
    if (packet.empty()) {
      if (b == 0 || (b & 1)) return restart();
    } else if (packet.size() == 1) {
      if (b > aPACKET_MAX_DATA) return restart();
    } else if (packet.size() >= static_cast<size_t>(packet[1]) + 2) {
      return restart();
    }
    packet.push_back(b);
    if (packet.size() >= 2 && packet.size() == static_cast<size_t>(packet[1]) + 2) {
      handle();
      packet.clear();
      count = 0;
    }
  }
};

Model* gModel = nullptr;
std::vector<Bytes> gSeen;

bool seeAndTake(const aPacket* p, void*) {
  gSeen.push_back(wire(p));
  return p->length > 0 && p->data[0] == gModel->filterCommand;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static StoppedLink stopped;
  if (size < 3) return 0;
  aLink* link = stopped.link;

  takeAll(link->inputFifo);
  takeAll(link->outputFifo);
  aPacket_Reset(link->receivePacket);
  link->heartbeatState = 0;
  link->syncAddress = 1;
  link->syncState = kSyncStateIdle;
  Model model;
  gModel = &model;
  gSeen.clear();
  model.filter = (data[0] & 2) != 0;
  model.filterCommand = data[1];
  check(aLink_InstallUserPacketFilter(stopped.ref, model.filter ? seeAndTake : nullptr, nullptr) == aErrNone);
  if (data[0] & 1) model.status = linkStateSyncing;  // as aLink_Sync leaves it: sync state idle
  link->status = model.status;

  std::vector<Bytes> queued;
  if (data[0] & 4) {
    const size_t before = aPACKETFIFO_MAX_PACKETS - data[2] % 16;
    for (size_t i = 0; i < before; ++i) {
      const uint8_t filler[3] = {0xF1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      aPacket* p = aPacket_CreateWithData(0xFE, 3, filler);
      check(p && aPacketFifo_Put(link->inputFifo, p) == aErrNone);
      queued.push_back(wire(p));
      aPacket_Destroy(&p);
    }
  }

  std::vector<Bytes> sent;
  for (size_t at = 3; at < size; ++at) {
    model.byte(data[at]);
    aLink_ReceiveByte(link, data[at]);
    check(link->status == model.status);
    check(link->syncState == model.sync);
    if (model.sync >= kSyncStateByte2) check(link->syncAddress == model.syncAddress);
    check(link->receivePacket->count == model.count);
    // Taken as the send thread would, before the queue's 1000 can fill:
    // a byte queues six packets at most.
    if (at % 128 == 0)
      for (Bytes& b : takeAll(link->outputFifo)) sent.push_back(std::move(b));
  }
  for (Bytes& b : takeAll(link->outputFifo)) sent.push_back(std::move(b));

  check(sent == model.sent);
  check(gSeen == model.filtered);
  for (const Bytes& d : model.delivered) queued.push_back(d);
  if (queued.size() > aPACKETFIFO_MAX_PACKETS) queued.erase(queued.begin(), queued.end() - aPACKETFIFO_MAX_PACKETS);
  check(takeAll(link->inputFifo) == queued);
  aLink_InstallUserPacketFilter(stopped.ref, nullptr, nullptr);
  gModel = nullptr;
  return 0;
}
