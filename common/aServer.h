#pragma once
// The link-sharing server: lets several clients use one open USB link at the
// same time. Clients connect over ZeroMQ (a ROUTER front end on TCP); each
// client message is one packet frame [address][length][data]. The broker
// hands requests to the sync actor one at a time, the sync actor puts them on
// the shared link and collects the module's replies, and the broker routes
// them back to the client that asked. Stream packets are taken off the
// link's receive thread by the server's packet filter, batched, and sent to
// every client that enabled streaming. Force-route packets from clients are
// refused.
//
// Threads: three CZMQ actors (broker, sync actor, discovery responder) plus
// the packet filter on the shared link's receive thread. Every socket is
// used by one thread only once start-up is over. aServer_* functions are
// called by the thread that owns the server (the link table).

#include <czmq.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

struct linkItem;

inline constexpr size_t kServerStreamBatchSize = 4096;
// The batch is flushed once it holds more than this many bytes, so one more
// packet frame (30 bytes at most) always fits.
inline constexpr size_t kServerStreamFlushBytes = 4065;
inline constexpr uint32_t kServerPoolTimeToLive = 2000;
inline constexpr uint64_t kServerReplyWaitMS = 2000;
inline constexpr int kServerPollMS = 1000;
// At most this many clients get stream batches at a time: further stream
// enables subscribe no one until subscribers have gone.
inline constexpr size_t kServerMaxSubscribers = 64;
// A client's share of the link: at most this many of its packets wait for
// the link at a time (its queued requests and the chunks of the byte block
// being held for it); what it sends past them is dropped. Room for the
// largest byte block the library writes in one request, a loader piece of
// at most 65535 bytes (its size is a 16-bit field), 2731 chunks of 24
// bytes, with requests to spare. A client with more waiting would not see
// their answers within its own wait anyway, while the server would hold
// whatever a careless or hostile client sends.
inline constexpr size_t kServerClientPacketsWaiting = 4096;
// Answers and stream batches queued on the front end for one client that
// does not read them; sends past it fail at once and are dropped. A client
// that reads has a few in flight; 256 batches are about a second of a
// module's fastest streaming, and at most 1 MiB.
inline constexpr int kServerClientSendHighWater = 256;

// Server commands from the sync actor to the broker (3-byte frames).
inline constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0;
inline constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 1;
// The request is on the link and needs no answer: the broker may hand over the next.
inline constexpr uint8_t SERVER_CMD_NO_ANSWER = 2;
inline constexpr size_t kServerCommandSize = 3;

// The broker's pipe signal that drops every waiting identity.
inline constexpr uint8_t kServerFlushSignal = 5;

// One client's multi-packet byte-block transfer, held back until its last
// packet has arrived.
struct aServerPacketPool {
  zframe_t* identity;   // copy of the client's identity frame
  zlist_t* packets;     // aPacket* copies, in arrival order
  uint8_t sequence;     // sequence number of the last packet taken in
  uint32_t timeToLive;  // decremented for each UEI-payload packet from any client; reset by each chunk taken
};

struct aServer {
  linkItem* linkEntry;  // the shared link's table entry
  // Written by the owning thread after start, read by the broker and the
  // discovery responder; 0 until set, and discovery is answered only after.
  std::atomic<uint8_t> model;
  uint8_t moduleAddress;
  bool localOnly;
  uint32_t networkInterface;  // IPv4, network byte order
  uint64_t lastPublish;       // aTime_GetMSTicks when the beacon began publishing
  bool publishing;
  zactor_t* broker;
  zactor_t* syncActor;
  zactor_t* discoveryResponder;
  bool beacon;  // the discovery responder is a beacon (else the multicast responder)
  uint16_t frontPort;
  zsock_t* frontEnd;         // ROUTER
  uint16_t syncPairPort;     // 0: the pairs are in-process (aZmqPair.h)
  zsock_t* syncActorEnd;     // connected; sync actor only
  zsock_t* syncBrokerEnd;    // bound; broker only
  uint16_t streamPairPort;   // 0, as above
  zsock_t* streamFilterEnd;  // connected; the link's receive thread only
  zsock_t* streamBrokerEnd;  // bound; broker only
  uint8_t streamBatch[kServerStreamBatchSize];
  uint16_t batchLength;
  uint32_t beaconHost;   // IPv4, network byte order, placed in discovery answers
  zlist_t* packetPools;  // aServerPacketPool*
  uint16_t expectedReplies;
  // Requests dropped: past a client's share, or without an answer from the
  // module. Counted by the broker; read by anyone.
  std::atomic<uint64_t> droppedRequests;
};

// A zeroed server on the open link `linkRef`: null when the link is not in
// the table or memory is exhausted. Interface 0 becomes 127.0.0.1. Nothing
// is started.
aServer* aServer_Create(uint32_t linkRef, uint32_t networkInterface, bool localOnly);

// Starts the server: sockets, discovery responder, broker, sync actor, the
// packet filter on the link. aErrParam for null, aErrResource when any part
// cannot be made (what was made stays for aServer_Destroy).
aErr aServer_Start(aServer* server);

// Shuts the server down (also a partly started one), frees it and nulls
// *server. aErrParam when server or *server is null.
aErr aServer_Destroy(aServer** server);

aErr aServer_GetPort(const aServer* server, uint16_t* port);
// The interface as start-up left it; the owner connects its client to it.
aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
// Makes the broker forget the clients waiting for an answer (between two
// messages): their answers, when they come, are dropped.
aErr aServer_FlushFIFO(aServer* server);

// --- Pieces of the broker, callable on their own for tests and fuzzing ---

// The packet in a received frame, or null when the frame is not one: it must
// hold 2 to 30 bytes, a length byte of at most 28 and that many data bytes
// (bytes after them are ignored).
aPacket* aServer_FrameToPacket(const uint8_t* frame, size_t size);

// Writes the packet's wire form (address, length, data) to out, which holds
// at least aPACKET_MAX_WIRE bytes; the number of bytes written.
size_t aServer_PacketToFrame(const aPacket* packet, uint8_t* out);

// False for requests the module does not answer: force-route packets and
// non-final chunks of a byte-block transfer.
bool aServer_IsResponseRequired(const aPacket* packet);

// One request waiting for the link: its packet frames laid end to end (the
// chunks of a byte block in order, else one packet).
struct aServerRequest {
  std::string frames;
  size_t packets;
};

// The requests waiting for the link, by client. Clients take turns: each
// hand-over serves the client at the front of the turns, which then goes
// to the back, behind every client that has queued meanwhile.
struct aServerRequestQueues {
  struct Client {
    std::deque<aServerRequest> requests;
    size_t packets = 0;
  };
  std::map<std::string, Client> clients;  // by identity; only clients with requests waiting
  std::deque<std::string> turns;          // those clients, the next to be served first
  std::string served;                     // the client served last; back in the turns at the next hand-over
};

// The broker's lists: waiting identities and stream subscribers (each
// identity once, at most kServerMaxSubscribers; a subscriber that a batch
// finds gone is dropped); zframe_t* elements, owned. The waiting identities
// are those of the request the sync actor is handling, one per answer it
// will give (an empty one where the answer goes to nobody); the broker hands
// over the next request only when the list is empty.
struct aServerBrokerLists {
  zlist_t* waiting;
  zlist_t* subscribers;
  aServerRequestQueues queued;
};

// Handles one client message as the broker does: stream enable, byte-block
// pools, force-route refusal, the client's share, and the request queued
// for its turn. Takes ownership of both frames (either may be null).
void aServer_HandleClientMessage(aServer* server, aServerBrokerLists* lists, zframe_t* identity, zframe_t* content);

// While no request is with the sync actor: hands the next client in turn's
// oldest request to it on server->syncBrokerEnd, as one message of its
// packet frames, and notes who waits for the answer.
void aServer_DispatchRequests(aServer* server, aServerBrokerLists* lists);

// The server's user packet filter (runs on the shared link's receive thread):
// takes stream packets into the batch and flushes the batch to the broker on
// a heartbeat or when it is nearly full.
bool aServer_StreamingPacketFilter(const aPacket* packet, void* server);
