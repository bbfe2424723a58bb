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

// Server commands from the sync actor to the broker (3-byte frames).
inline constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0;
inline constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 1;
inline constexpr size_t kServerCommandSize = 3;

// The broker's pipe signal that drops every waiting identity.
inline constexpr uint8_t kServerFlushSignal = 5;

// One client's multi-packet byte-block transfer, held back until its last
// packet has arrived.
struct aServerPacketPool {
  zframe_t* identity;  // copy of the client's identity frame
  zlist_t* packets;    // aPacket* copies, in arrival order
  uint8_t sequence;    // sequence number of the last packet taken in
  uint32_t timeToLive; // decremented for each UEI-payload packet from any client; reset by each chunk taken
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
  zsock_t* frontEnd;  // ROUTER
  uint16_t syncPairPort;    // 0: the pairs are in-process (aZmqPair.h)
  zsock_t* syncActorEnd;   // connected; sync actor only
  zsock_t* syncBrokerEnd;  // bound; broker only
  uint16_t streamPairPort;  // 0, as above
  zsock_t* streamFilterEnd;  // connected; the link's receive thread only
  zsock_t* streamBrokerEnd;  // bound; broker only
  uint8_t streamBatch[kServerStreamBatchSize];
  uint16_t batchLength;
  uint32_t beaconHost;     // IPv4, network byte order, placed in discovery answers
  zlist_t* packetPools;    // aServerPacketPool*
  uint16_t expectedReplies;
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

// The broker's lists: waiting identities (oldest first) and stream
// subscribers (each identity once, at most kServerMaxSubscribers; a
// subscriber that a batch finds gone is dropped); zframe_t* elements, owned.
struct aServerBrokerLists {
  zlist_t* waiting;
  zlist_t* subscribers;
};

// Handles one client message as the broker does: stream enable, byte-block
// pools, force-route refusal, hand-over to the sync actor on
// server->syncBrokerEnd. Takes ownership of both frames (either may be null).
void aServer_HandleClientMessage(aServer* server, aServerBrokerLists* lists, zframe_t* identity,
                                 zframe_t* content);

// The server's user packet filter (runs on the shared link's receive thread):
// takes stream packets into the batch and flushes the batch to the broker on
// a heartbeat or when it is nearly full.
bool aServer_StreamingPacketFilter(const aPacket* packet, void* server);
