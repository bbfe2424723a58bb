#include "aServer.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "aDebug.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aPacketFifo.h"
#include "aServerDiscovery.h"
#include "aServerFrames.h"
#include "aTime.h"
#include "aZmqPair.h"
#include "aZmqSignals.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr int kSendFlags = ZFRAME_DONTWAIT;

// Sends bytes as one frame without waiting; false when it could not be queued.
bool sSendBytes(zsock_t* socket, const uint8_t* data, size_t size, int more = 0) {
  zframe_t* frame = zframe_new(data, size);
  if (!frame)
    return false;
  if (zframe_send(&frame, socket, kSendFlags | more) != 0) {
    zframe_destroy(&frame);
    return false;
  }
  return true;
}

// Sends [identity][payload] on a ROUTER without waiting; both frames stay the caller's.
bool sSendToClient(zsock_t* router, zframe_t* identity, zframe_t* payload) {
  if (zframe_send(&identity, router, kSendFlags | ZFRAME_REUSE | ZFRAME_MORE) != 0)
    return false;
  return zframe_send(&payload, router, kSendFlags | ZFRAME_REUSE) == 0;
}

void sSendCommand(zsock_t* socket, uint8_t command, uint16_t count) {
  const uint8_t frame[kServerCommandSize] = {command, static_cast<uint8_t>(count >> 8),
                                             static_cast<uint8_t>(count & 0xFF)};
  sSendBytes(socket, frame, sizeof frame);
}

// A bound port, or 0 for a failed bind (never taken for a port).
uint16_t sBind(zsock_t* socket, const char* endpoint) {
  if (!socket)
    return 0;
  int port = zsock_bind(socket, "%s", endpoint);
  return port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

void sDestroyFrames(zlist_t** list) {
  if (!*list)
    return;
  while (zframe_t* frame = static_cast<zframe_t*>(zlist_pop(*list)))
    zframe_destroy(&frame);
  zlist_destroy(list);
}

bool sContinues(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

// ---- byte-block pools ---------------------------------------------------

aServerPacketPool* sPoolCreate(zframe_t* identity, const aPacket* first) {
  aServerPacketPool* pool = new (std::nothrow) aServerPacketPool{};
  if (!pool)
    return nullptr;
  pool->identity = zframe_dup(identity);
  pool->packets = zlist_new();
  aPacket* copy = aPacket_Copy(first);
  if (!pool->identity || !pool->packets || !copy || zlist_append(pool->packets, copy) != 0) {
    aPacket_Destroy(&copy);
    zframe_destroy(&pool->identity);
    zlist_destroy(&pool->packets);
    delete pool;
    return nullptr;
  }
  pool->sequence = 0;
  pool->timeToLive = kServerPoolTimeToLive;
  return pool;
}

void sPoolDestroy(aServerPacketPool** pool) {
  if (!*pool)
    return;
  if ((*pool)->packets) {
    while (aPacket* p = static_cast<aPacket*>(zlist_pop((*pool)->packets)))
      aPacket_Destroy(&p);
    zlist_destroy(&(*pool)->packets);
  }
  zframe_destroy(&(*pool)->identity);
  delete *pool;
  *pool = nullptr;
}

void sPoolRemove(aServer* server, aServerPacketPool* pool) {
  zlist_remove(server->packetPools, pool);
  sPoolDestroy(&pool);
}

void sAgePools(aServer* server) {
  std::vector<aServerPacketPool*> stale;
  for (void* item = zlist_first(server->packetPools); item; item = zlist_next(server->packetPools)) {
    aServerPacketPool* pool = static_cast<aServerPacketPool*>(item);
    if (pool->timeToLive == 0) {
      stale.push_back(pool);
    } else {
      --pool->timeToLive;
    }
  }
  for (aServerPacketPool* pool : stale)
    sPoolRemove(server, pool);
}

aServerPacketPool* sFindPool(aServer* server, zframe_t* identity) {
  for (void* item = zlist_first(server->packetPools); item; item = zlist_next(server->packetPools)) {
    aServerPacketPool* pool = static_cast<aServerPacketPool*>(item);
    if (zframe_eq(pool->identity, identity))
      return pool;
  }
  return nullptr;
}

std::string sIdentity(zframe_t* identity) {
  return std::string(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
}

// Appends the packet's frame to the request's frames.
void sAddFrame(aServerRequest* request, const aPacket* packet) {
  uint8_t frame[aPACKET_MAX_WIRE];
  request->frames.append(reinterpret_cast<const char*>(frame), aServer_PacketToFrame(packet, frame));
  ++request->packets;
}

void sQueueRequest(aServerBrokerLists* lists, zframe_t* identity, aServerRequest request) {
  aServerRequestQueues& queued = lists->queued;
  const std::string id = sIdentity(identity);
  aServerRequestQueues::Client& client = queued.clients[id];
  // A client the turns do not hold yet queues behind every client that
  // waits; the one served last takes its place there at the next hand-over.
  if (client.requests.empty() && id != queued.served)
    queued.turns.push_back(id);
  client.packets += request.packets;
  client.requests.push_back(std::move(request));
}

// The client's packets that wait for the link: its queued requests and the
// byte block held for it.
size_t sPacketsWaiting(aServer* server, aServerBrokerLists* lists, zframe_t* identity) {
  size_t waiting = 0;
  const auto client = lists->queued.clients.find(sIdentity(identity));
  if (client != lists->queued.clients.end())
    waiting = client->second.packets;
  if (server->packetPools) {
    for (void* item = zlist_first(server->packetPools); item; item = zlist_next(server->packetPools)) {
      aServerPacketPool* pool = static_cast<aServerPacketPool*>(item);
      if (zframe_eq(pool->identity, identity))
        waiting += zlist_size(pool->packets);
    }
  }
  return waiting;
}

// Every request that goes without its answer: the client's own wait runs out.
void sRequestDropped(aServer* server, const char* why, const aPacket* packet) {
  const uint64_t dropped = ++server->droppedRequests;
  aDebug_Trace(aDebugServer, "DROPPED PACKET! (%s; %llu so far) Address: %d, Size: %d", why,
               static_cast<unsigned long long>(dropped), packet ? packet->address : 0, packet ? packet->length : 0);
}

bool sOpensTransfer(const aPacket* packet) {
  return packet->length == aPACKET_MAX_DATA && aUEI_getBytesSequence(packet) == 0 && aUEI_getBytesContinue(packet);
}

// The whole transfer becomes one request, handed over in one piece.
void sQueuePool(aServerBrokerLists* lists, aServerPacketPool* pool, zframe_t* identity) {
  aServerRequest request{};
  for (void* item = zlist_first(pool->packets); item; item = zlist_next(pool->packets)) {
    sAddFrame(&request, static_cast<const aPacket*>(item));
  }
  sQueueRequest(lists, identity, std::move(request));
}

// True when the byte-block pools take the packet.
bool sHandleSetUEIBytes(aServer* server, aServerBrokerLists* lists, zframe_t* identity, const aPacket* packet) {
  if (!server->packetPools || !aUEI_isUEIPayload(packet))
    return false;
  sAgePools(server);
  aServerPacketPool* pool = sFindPool(server, identity);
  if (pool) {
    const uint8_t sequence = aUEI_getBytesSequence(packet);
    if (sequence == ((pool->sequence + 1) & 0x7F)) {
      aPacket* copy = aPacket_Copy(packet);
      if (!copy || zlist_append(pool->packets, copy) != 0) {
        // Without the chunk the transfer cannot complete: give it up now.
        aPacket_Destroy(&copy);
        sPoolRemove(server, pool);
        return true;
      }
      if (sContinues(packet)) {
        pool->sequence = sequence;
        // Stale means stalled: the transfer moved on, so its time to live
        // starts again. Counted from its first chunk, a block of more than
        // 2000 chunks would expire under its own packets.
        pool->timeToLive = kServerPoolTimeToLive;
        return true;
      }
      sQueuePool(lists, pool, identity);
      sPoolRemove(server, pool);
      return true;
    }
    // Out of sequence: the held transfer can never complete, and the client
    // has moved on (its own wait for the answer ran out). Keeping the pool
    // would swallow every UEI request of that client until it expired, so it
    // is dropped and this packet handled as a fresh one.
    sPoolRemove(server, pool);
  }
  if (!sOpensTransfer(packet))
    return false;
  if (aServerPacketPool* fresh = sPoolCreate(identity, packet)) {
    if (zlist_append(server->packetPools, fresh) != 0)
      sPoolDestroy(&fresh);
  }
  return true;
}

void sHandleStreamEnable(aServerBrokerLists* lists, zframe_t* identity, const aPacket* packet) {
  constexpr uint8_t kCmdStream = 0x5D;
  constexpr uint8_t kStreamEnable = 0x81;
  if (packet->length != 7 || packet->data[0] != kCmdStream || packet->data[1] != kStreamEnable)
    return;
  for (void* item = zlist_first(lists->subscribers); item; item = zlist_next(lists->subscribers)) {
    if (zframe_eq(static_cast<zframe_t*>(item), identity))
      return;
  }
  // Remote clients choose how many identities they bring; every batch is
  // copied to each subscriber, so the list has a bound.
  if (zlist_size(lists->subscribers) >= kServerMaxSubscribers)
    return;
  zlist_append(lists->subscribers, zframe_dup(identity));
}

bool sIsBlacklisted(const aPacket* packet) {
  return packet->address == cmdFORCEROUTE && packet->length == 1;
}

// ---- broker -------------------------------------------------------------

void sBrokerFrontend(aServer* server, aServerBrokerLists* lists) {
  zmsg_t* msg = zmsg_recv(server->frontEnd);
  if (!msg)
    return;
  zframe_t* identity = zmsg_pop(msg);
  zframe_t* content = zmsg_pop(msg);
  zmsg_destroy(&msg);
  aServer_HandleClientMessage(server, lists, identity, content);
}

// Replies announced by SERVER_CMD_INCOMING_PACKETS are counted down, and
// every frame that arrives while some are due is a reply, whatever its size:
// a reply of one data byte is three bytes long, like a command.
void sBrokerSync(aServer* server, aServerBrokerLists* lists) {
  zframe_t* frame = zframe_recv(server->syncBrokerEnd);
  if (!frame)
    return;
  // Told apart before the routing consumes it: a command, not a reply.
  const bool command = server->expectedReplies == 0 && zframe_size(frame) == kServerCommandSize;
  zframe_t* identity =
      aServer_RouteSyncFrame(&server->expectedReplies, lists->waiting, zframe_data(frame), zframe_size(frame));
  if (identity && zframe_size(identity) > 0) {
    sSendToClient(server->frontEnd, identity, frame);
  } else if (command && zframe_data(frame)[0] == SERVER_CMD_DROPPED_PACKET) {
    sRequestDropped(server, "no answer from the module", nullptr);
  }
  zframe_destroy(&identity);
  zframe_destroy(&frame);
}

void sBrokerStreaming(aServer* server, aServerBrokerLists* lists) {
  zframe_t* batch = zframe_recv(server->streamBrokerEnd);
  if (!batch)
    return;
  // A client that left (or reset, which gives it a new identity) is
  // unreachable: the front end says so (EHOSTUNREACH), and it is no longer
  // a subscriber. A full queue (EAGAIN) only loses this batch.
  std::vector<zframe_t*> gone;
  for (void* item = zlist_first(lists->subscribers); item; item = zlist_next(lists->subscribers)) {
    if (!sSendToClient(server->frontEnd, static_cast<zframe_t*>(item), batch) && zmq_errno() == EHOSTUNREACH) {
      gone.push_back(static_cast<zframe_t*>(item));
    }
  }
  for (zframe_t* identity : gone) {
    zlist_remove(lists->subscribers, identity);
    zframe_destroy(&identity);
  }
  zframe_destroy(&batch);
}

// Answers still owed to the flushed clients are on their way from the sync
// actor and arrive before any answer to a later request. Each waiting
// identity is therefore replaced by an empty one, which routes its answer
// nowhere; dropping them instead would hand each stale answer to the next
// client in line.
void sFlushWaiting(aServerBrokerLists* lists) {
  for (void* item = zlist_first(lists->waiting); item; item = zlist_next(lists->waiting)) {
    static const uint8_t none = 0;
    zframe_reset(static_cast<zframe_t*>(item), &none, 0);
  }
}

void sBroker(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, server->syncBrokerEnd, server->frontEnd, server->streamBrokerEnd, nullptr);
  if (!poller)
    return;
  if (server->beacon && server->discoveryResponder)
    zpoller_add(poller, server->discoveryResponder);
  server->publishing = false;
  server->lastPublish = 0;
  aServerBrokerLists lists{};
  lists.waiting = zlist_new();
  lists.subscribers = zlist_new();
  zsock_signal(pipe, 0);
  bool running = lists.waiting && lists.subscribers;
  while (running) {
    void* which = zpoller_wait(poller, kServerPollMS);
    if (which == server->streamBrokerEnd) {
      sBrokerStreaming(server, &lists);
    } else if (which == server->syncBrokerEnd) {
      sBrokerSync(server, &lists);
    } else if (which == server->frontEnd) {
      sBrokerFrontend(server, &lists);
    } else if (which == pipe) {
      zframe_t* frame = zframe_recv(pipe);
      const bool flush = frame && zframe_size(frame) == 8 && zframe_data(frame)[0] == kServerFlushSignal;
      zframe_destroy(&frame);
      if (!flush)
        break;
      sFlushWaiting(&lists);
    } else if (which && which == server->discoveryResponder) {
      _serverWorker_broker_beacon(server);
    } else if (!which && zpoller_terminated(poller)) {
      break;
    }
    aServer_DispatchRequests(server, &lists);
    _serverWorker_broker_silence(server);
  }
  sDestroyFrames(&lists.waiting);
  sDestroyFrames(&lists.subscribers);
  zpoller_destroy(&poller);
}

// ---- sync actor ---------------------------------------------------------

bool sDrainAll(const aPacket* packet, void* ref) {
  return drainAll(packet, ref);
}

// Puts one request (its packet frames, one message) on the link and tells
// the broker how it went: its answer, SERVER_CMD_DROPPED_PACKET, or
// SERVER_CMD_NO_ANSWER for a request the module does not answer.
void sSyncBackend(aServer* server) {
  zmsg_t* message = zmsg_recv(server->syncActorEnd);
  if (!message)
    return;
  aLink* link = server->linkEntry->link;
  // Replies are not matched to requests: the next packet received is taken
  // as this request's answer. Whatever is already queued (an answer that
  // came after its request gave up, a packet the module sent unasked) would
  // be taken instead, and every later client would get the answer meant for
  // the one before it. Requests run one at a time, so nothing queued now can
  // belong to this one.
  aPacketFifo_DrainPackets(link->inputFifo, sDrainAll, nullptr);
  aErr put = aErrParam;
  bool answered = false;
  while (zframe_t* frame = zmsg_pop(message)) {
    aPacket* request = aServer_FrameToPacket(zframe_data(frame), zframe_size(frame));
    zframe_destroy(&frame);
    if (!request)
      continue;
    // The chunks of a byte block come one after the other without answers to
    // wait for: they are fed to the link no faster than it writes them, and
    // a link that takes nothing for the reply wait has the put refused.
    aPacketFifo_AwaitRoom(link->outputFifo, aLINK_OUTPUT_HIGH_WATER, aLINK_OUTPUT_LOW_WATER, kServerReplyWaitMS);
    put = aPacketFifo_Put(link->outputFifo, request);
    answered = aServer_IsResponseRequired(request);
    aPacket_Destroy(&request);
  }
  zmsg_destroy(&message);
  if (!answered) {
    sSendCommand(server->syncActorEnd, SERVER_CMD_NO_ANSWER, 0);
    return;
  }
  if (put != aErrNone) {
    sSendCommand(server->syncActorEnd, SERVER_CMD_DROPPED_PACKET, 0);
    return;
  }
  std::vector<aPacket*> replies;
  while (aPacket* reply = aPacketFifo_Await(link->inputFifo, kServerReplyWaitMS)) {
    replies.push_back(reply);
    if (!sContinues(reply) || replies.size() == 0xFFFF)
      break;
  }
  if (replies.empty()) {
    sSendCommand(server->syncActorEnd, SERVER_CMD_DROPPED_PACKET, 0);
    return;
  }
  sSendCommand(server->syncActorEnd, SERVER_CMD_INCOMING_PACKETS, static_cast<uint16_t>(replies.size()));
  for (aPacket*& reply : replies) {
    uint8_t wire[aPACKET_MAX_WIRE];
    sSendBytes(server->syncActorEnd, wire, aServer_PacketToFrame(reply, wire));
    aPacket_Destroy(&reply);
  }
}

void sSyncActor(zsock_t* pipe, void* arg) {
  aServer* server = static_cast<aServer*>(arg);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, server->syncActorEnd, nullptr);
  if (!poller)
    return;
  zsock_signal(pipe, 0);
  while (true) {
    void* which = zpoller_wait(poller, kServerPollMS);
    if (which == pipe)
      break;
    if (which == server->syncActorEnd) {
      sSyncBackend(server);
    } else if (!which && zpoller_terminated(poller)) {
      break;
    }
  }
  zpoller_destroy(&poller);
}

// Starts an actor and waits for its ready signal; null when it cannot start.
zactor_t* sStartActor(zactor_fn* fn, aServer* server) {
  zactor_t* actor = zactor_new(fn, server);
  if (actor && zsock_wait(actor) != 0)
    zactor_destroy(&actor);
  return actor;
}

aErr sInitServer(aServer* server) {
  aZmq_LeaveSignalsAlone();
  server->expectedReplies = 0;
  server->frontEnd = zsock_new(ZMQ_ROUTER);
  // Sends to a client that is gone fail (EHOSTUNREACH) instead of vanishing,
  // so the broker can drop its stream subscription.
  if (server->frontEnd)
    zsock_set_router_mandatory(server->frontEnd, 1);
  // What a client leaves unread stays within its high-water mark.
  if (server->frontEnd)
    zsock_set_sndhwm(server->frontEnd, kServerClientSendHighWater);
  server->streamFilterEnd = zsock_new(ZMQ_DEALER);
  server->streamBrokerEnd = zsock_new(ZMQ_DEALER);
  server->syncActorEnd = zsock_new(ZMQ_DEALER);
  server->syncBrokerEnd = zsock_new(ZMQ_DEALER);
  // Made with the sockets, before any actor runs: the broker may take a
  // client's first byte-block chunk into a pool as soon as it has started.
  server->packetPools = zlist_new();
  if (!server->frontEnd || !server->streamFilterEnd || !server->streamBrokerEnd || !server->syncActorEnd ||
      !server->syncBrokerEnd || !server->packetPools) {
    return aErrResource;
  }

  // May replace the interface; sets the responder, the beacon flag and host.
  if (_configureInterface(server) != aErrNone)
    return aErrResource;

  char endpoint[64];
  if (server->localOnly) {
    // Loopback whatever interface it was given, and reported as such: the
    // creator connects its own client where the server says it listens.
    server->networkInterface = kLoopback;
    std::snprintf(endpoint, sizeof endpoint, "tcp://127.0.0.1:*");
  } else {
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = server->networkInterface;
    inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
    std::snprintf(endpoint, sizeof endpoint, "tcp://%s:*", dotted);
  }
  server->frontPort = sBind(server->frontEnd, endpoint);
  // The pairs are in-process (aZmqPair.h); their port fields stay 0.
  const bool streamPair = aZmqPair_Join(server->streamBrokerEnd, server->streamFilterEnd);
  // The sync pair carries a whole byte block at once (one message of every
  // chunk of its transfer): a high-water mark would refuse a long one. It
  // holds one request at a time.
  for (zsock_t* end : {server->syncBrokerEnd, server->syncActorEnd}) {
    zsock_set_sndhwm(end, 0);
    zsock_set_rcvhwm(end, 0);
  }
  const bool syncPair = aZmqPair_Join(server->syncBrokerEnd, server->syncActorEnd);
  if (!server->frontPort || !streamPair || !syncPair)
    return aErrResource;

  server->broker = sStartActor(sBroker, server);
  if (!server->broker)
    return aErrResource;
  server->syncActor = sStartActor(sSyncActor, server);
  if (!server->syncActor)
    return aErrResource;

  const aLinkRef ref = server->linkEntry->linkRef;
  if (aLink_InstallUserPacketFilter(ref, aServer_StreamingPacketFilter, server) != aErrNone)
    return aErrResource;
  aLink_DrainPackets(ref, sDrainAll, nullptr);
  if (!server->discoveryResponder)
    return aErrResource;
  return aErrNone;
}

void sDeinitServer(aServer* server) {
  // After the link table's teardown the entry is no longer in the table and
  // its filter is already gone; this covers a server destroyed on its own.
  if (server->linkEntry)
    aLink_InstallUserPacketFilter(server->linkEntry->linkRef, nullptr, nullptr);
  if (server->syncActor)
    zactor_destroy(&server->syncActor);
  if (server->broker)
    zactor_destroy(&server->broker);
  _stopDiscoveryResponder(server);
  zsock_destroy(&server->syncBrokerEnd);
  zsock_destroy(&server->syncActorEnd);
  zsock_destroy(&server->streamBrokerEnd);
  zsock_destroy(&server->streamFilterEnd);
  zsock_destroy(&server->frontEnd);
  if (server->packetPools) {
    while (aServerPacketPool* pool = static_cast<aServerPacketPool*>(zlist_pop(server->packetPools))) {
      sPoolDestroy(&pool);
    }
    zlist_destroy(&server->packetPools);
  }
}

}  // namespace

aPacket* aServer_FrameToPacket(const uint8_t* frame, size_t size) {
  if (!frame || size < 2 || size > aPACKET_MAX_WIRE)
    return nullptr;
  const uint8_t length = frame[1];
  if (length > aPACKET_MAX_DATA || size < static_cast<size_t>(length) + 2)
    return nullptr;
  return aPacket_CreateWithData(frame[0], length, frame + 2);
}

size_t aServer_PacketToFrame(const aPacket* packet, uint8_t* out) {
  const uint8_t length = packet->length > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : packet->length;
  out[0] = packet->address;
  out[1] = length;
  for (uint8_t i = 0; i < length; ++i)
    out[2 + i] = packet->data[i];
  return static_cast<size_t>(length) + 2;
}

bool aServer_IsResponseRequired(const aPacket* packet) {
  if (packet->address == cmdFORCEROUTE)
    return false;
  return !sContinues(packet);
}

void aServer_HandleClientMessage(aServer* server, aServerBrokerLists* lists, zframe_t* identity, zframe_t* content) {
  aPacket* packet = identity && content ? aServer_FrameToPacket(zframe_data(content), zframe_size(content)) : nullptr;
  if (packet) {
    sHandleStreamEnable(lists, identity, packet);
    // Refused before the pools look at it: a force route whose data byte
    // happens to read as the next chunk of an open transfer would otherwise
    // reach the module inside it.
    if (sIsBlacklisted(packet)) {
      // Refused: never reaches the link.
    } else if (sPacketsWaiting(server, lists, identity) >= kServerClientPacketsWaiting) {
      sRequestDropped(server, "the client's share is full", packet);
    } else if (!sHandleSetUEIBytes(server, lists, identity, packet)) {
      aServerRequest request{};
      sAddFrame(&request, packet);
      sQueueRequest(lists, identity, std::move(request));
    }
    aPacket_Destroy(&packet);
  }
  zframe_destroy(&identity);
  zframe_destroy(&content);
}

void aServer_DispatchRequests(aServer* server, aServerBrokerLists* lists) {
  aServerRequestQueues& queued = lists->queued;
  while (zlist_size(lists->waiting) == 0) {
    // The client served last goes behind everyone that queued meanwhile.
    if (!queued.served.empty() && queued.clients.count(queued.served))
      queued.turns.push_back(queued.served);
    queued.served.clear();
    if (queued.turns.empty())
      return;
    const std::string id = std::move(queued.turns.front());
    queued.turns.pop_front();
    const auto found = queued.clients.find(id);
    if (found == queued.clients.end() || found->second.requests.empty())
      continue;
    aServerRequestQueues::Client& client = found->second;
    const aServerRequest request = std::move(client.requests.front());
    client.requests.pop_front();
    client.packets -= request.packets;
    if (client.requests.empty())
      queued.clients.erase(found);
    queued.served = id;
    // One message of all its frames: the sync actor answers it once.
    const uint8_t* frames = reinterpret_cast<const uint8_t*>(request.frames.data());
    const size_t total = request.frames.size();
    bool sent = true;
    size_t at = 0, last = 0;
    while (sent && at < total) {
      last = at;
      at += static_cast<size_t>(frames[at + 1]) + 2;
      sent = sSendBytes(server->syncBrokerEnd, frames + last, at - last, at < total ? ZFRAME_MORE : 0);
    }
    aPacket* packet = aServer_FrameToPacket(frames + last, at - last);
    if (!sent || !packet) {
      sRequestDropped(server, "the hand-over to the link failed", packet);
    } else {
      // Whom the answer goes to: nobody for a request the module does not answer.
      zframe_t* waiting = aServer_IsResponseRequired(packet) ? zframe_new(id.data(), id.size()) : zframe_new_empty();
      zlist_append(lists->waiting, waiting);
    }
    aPacket_Destroy(&packet);
  }
}

bool aServer_StreamingPacketFilter(const aPacket* packet, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  if (!server || !packet)
    return false;
  const auto send = [](const uint8_t* batch, size_t length, void* to) {
    sSendBytes(static_cast<zsock_t*>(to), batch, length);
  };
  return aServer_BatchStreamPacket(server->streamBatch, &server->batchLength, packet, send, server->streamFilterEnd);
}

aServer* aServer_Create(uint32_t linkRef, uint32_t networkInterface, bool localOnly) {
  linkItem* entry = aLink_LookupEntry(linkRef);
  if (!entry || !entry->link)
    return nullptr;
  aServer* server = new (std::nothrow) aServer{};
  if (!server)
    return nullptr;
  server->linkEntry = entry;
  server->localOnly = localOnly;
  server->networkInterface = networkInterface ? networkInterface : kLoopback;
  return server;
}

aErr aServer_Start(aServer* server) {
  if (!server)
    return aErrParam;
  return sInitServer(server);
}

aErr aServer_Destroy(aServer** server) {
  if (!server || !*server)
    return aErrParam;
  sDeinitServer(*server);
  delete *server;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port) {
  if (!server || !port)
    return aErrParam;
  *port = server->frontPort;
  return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface) {
  if (!server || !networkInterface)
    return aErrParam;
  *networkInterface = server->networkInterface;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (!server)
    return aErrParam;
  server->moduleAddress = address;
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (!server)
    return aErrParam;
  server->model = model;
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (!server)
    return aErrParam;
  if (server->broker)
    zsock_signal(server->broker, kServerFlushSignal);
  return aErrNone;
}

// ---- the link table's side of sharing -----------------------------------

namespace {

constexpr uint64_t kDetailsWaitMS = 1000;
constexpr int kDetailsTries = 5;
constexpr uint64_t kDetailsPauseMS = 10;

// The server hands this client the module's next reply, so the reply is the
// next packet received, whatever it is; one already queued (a late answer to
// an earlier try) is not it.
bool sAnyPacket(const aPacket*, void*) {
  return true;
}

aErr sAsk(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* data, aPacket** reply) {
  return aLink_ExchangePacket(ref, address, length, data, sAnyPacket, nullptr, kDetailsWaitMS, reply);
}

aErr sGetModel(aLinkRef ref, uint8_t address, uint8_t* model) {
  // System entity, model option with the get bit, index 0.
  const uint8_t request[] = {0x03, 0x48, 0x20};
  aPacket* reply = nullptr;
  aErr err = sAsk(ref, address, sizeof request, request, &reply);
  if (err != aErrNone)
    return err;
  err = aServer_ReadModel(reply, address, model);
  aPacket_Destroy(&reply);
  return err;
}

aErr sConfigureServerDetails(aLinkRef clientRef, aServer* server) {
  uint8_t address = 0;
  aErr err = aLink_QueryModuleAddress(clientRef, kDetailsWaitMS, true, &address);
  aServer_SetModuleAddress(server, err == aErrNone ? address : 0);
  if (err == aErrNone) {
    uint8_t model = 0;
    err = sGetModel(clientRef, address, &model);
    aServer_SetModel(server, err == aErrNone ? model : 0);
  }
  if (err != aErrNone)
    aServer_FlushFIFO(server);
  return err;
}

// Takes back a create that failed once its server was stored in the USB
// link's entry. The client link goes first, then the server, while this
// create still holds its use of the USB link (the server's threads work on
// that link's queues), then that use. Left to the USB link's last release,
// the server would outlive the create whenever another user holds the plain
// link, keep its filter slot and refuse every later plain open.
void sTakeBackServer(linkItem* usbEntry, aLinkRef usb, aLinkRef client) {
  if (linkItem* clientEntry = client ? aLink_LookupEntry(client) : nullptr)
    clientEntry->dependentRef = 0;
  if (client)
    aLink_Destroy(&client);
  aServer* server = usbEntry->server;
  usbEntry->server = nullptr;
  aServer_Destroy(&server);
  aLink_Destroy(&usb);
}

}  // namespace

aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool localOnly) {
  if (!port || !networkInterface)
    return 0;
  aLinkRef usb = aLink_CreateUSB(serialNumber);
  if (!usb)
    return 0;
  linkItem* entry = aLink_LookupEntry(usb);
  aServer* server = entry ? aServer_Create(usb, *networkInterface, localOnly) : nullptr;
  if (!server) {
    aLink_Destroy(&usb);
    return 0;
  }
  // Stored before the start: a module being shared refuses plain opens.
  entry->server = server;
  uint16_t serverPort = 0;
  uint32_t serverInterface = 0;
  aLinkRef client = 0;
  if (aServer_Start(server) == aErrNone && aServer_GetPort(server, &serverPort) == aErrNone &&
      aServer_GetInterface(server, &serverInterface) == aErrNone) {
    client = aLink_CreateClient(serverInterface, serverPort, 0);
  }
  linkItem* clientEntry = client ? aLink_LookupEntry(client) : nullptr;
  aErr err = aErrConnection;
  if (clientEntry) {
    clientEntry->dependentRef = usb;
    for (int i = 0; i < kDetailsTries && err != aErrNone; ++i) {
      err = sConfigureServerDetails(client, server);
      if (err != aErrNone)
        aTime_MSSleep(kDetailsPauseMS);
    }
  }
  if (err != aErrNone) {
    sTakeBackServer(entry, usb, client);
    return 0;
  }
  *port = serverPort;
  *networkInterface = serverInterface;
  return client;
}
