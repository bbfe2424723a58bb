// Client messages are outside input: run them through the server's request
// handling (stream enable, byte-block pools, refused force routes, the
// clients' queues and turns, hand-over to the sync actor) and check what
// reaches the link. Input: messages of
// [client 0-3][frame size][frame bytes].
#include <czmq.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "aServer.h"

namespace {

struct Harness {
  Harness() {
    zsys_init();
    zsys_set_sndhwm(0);  // the harness drains after every message
    near = zsock_new_dealer("@inproc://linkserver-fuzz");
    far = zsock_new_dealer(">inproc://linkserver-fuzz");
    check(near && far);
  }
  ~Harness() {
    zsock_destroy(&far);
    zsock_destroy(&near);
  }
  zsock_t* near;
  zsock_t* far;
};

void destroyFrames(zlist_t** list) {
  while (zframe_t* f = static_cast<zframe_t*>(zlist_pop(*list))) zframe_destroy(&f);
  zlist_destroy(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  static aServer* server = new aServer{};
  server->syncBrokerEnd = harness.near;
  server->packetPools = zlist_new();
  aServerBrokerLists lists{};
  lists.waiting = zlist_new();
  lists.subscribers = zlist_new();

  size_t at = 0;
  while (at + 2 <= size) {
    const char client[2] = {static_cast<char>('A' + (data[at] & 3)), 0};
    size_t n = data[at + 1];
    at += 2;
    if (n > size - at) n = size - at;
    aServer_HandleClientMessage(server, &lists, zframe_new(client, 1), zframe_new(data + at, n));
    at += n;
    // Play the sync actor: take each request handed over and answer it.
    for (;;) {
      aServer_DispatchRequests(server, &lists);
      size_t frames = 0;
      bool answered = false;
      while (zframe_t* f = zframe_recv_nowait(harness.far)) {
        aPacket* p = aServer_FrameToPacket(zframe_data(f), zframe_size(f));
        check(p != nullptr);  // only packets reach the link
        check(!(p->address == 0xAF && p->length == 1));  // never a force route
        answered = aServer_IsResponseRequired(p);
        ++frames;
        aPacket_Destroy(&p);
        zframe_destroy(&f);
      }
      // One request at a time, and one waiting identity for it: the client's
      // when the module answers it, an empty one when nobody gets an answer.
      check(zlist_size(lists.waiting) == (frames ? 1u : 0u));
      zframe_t* waiting = static_cast<zframe_t*>(zlist_pop(lists.waiting));
      if (!waiting) break;
      check((zframe_size(waiting) > 0) == answered);
      zframe_destroy(&waiting);
    }
    check(zlist_size(lists.subscribers) <= 4);
  }

  destroyFrames(&lists.waiting);
  destroyFrames(&lists.subscribers);
  while (aServerPacketPool* pool = static_cast<aServerPacketPool*>(zlist_pop(server->packetPools))) {
    while (aPacket* p = static_cast<aPacket*>(zlist_pop(pool->packets))) aPacket_Destroy(&p);
    zlist_destroy(&pool->packets);
    zframe_destroy(&pool->identity);
    delete pool;
  }
  zlist_destroy(&server->packetPools);
  return 0;
}
