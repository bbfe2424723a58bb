#pragma once
// The object layer's handle on one link of the link engine: how the module
// is reached (a copy of a link specifier), how links are opened (the link
// configuration) and, once connected, the link id it holds in the link
// table. It also carries the UEI and raw-command exchange with the module.
//
// Every operation returns an aErr unless stated. Null pointer arguments give
// aErrParam; exchanges on a Link that is not connected give aErrConnection;
// a module address that is 0 or odd gives aErrPacket. Each request waits
// 1000 ms for its reply (4000 ms for the acknowledgement of a byte block
// above 1000 bytes); replies are picked from the link's input queue by
// filters and what a filter does not accept stays queued.
//
// Threads: a Link is used from one thread at a time. Link creation across
// every Link of the process is serialised (only the create call, not the
// wait for the link to come up). Several Links may share one link id (a
// router and the modules behind it) and be used from different threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "aError.h"
#include "aLink.h"
#include "aLinkSpecifier.h"
#include "aPacket.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

// How a Link opens its links. A plain value, copied whole.
struct aLanicConfig {
  aLanicConfig();
  bool enabled;               // link sharing: USB through a local sharing server; client links allowed
  bool fallback;              // discoverAndConnect may retry once on the other of USB and client
  bool localOnly;             // the sharing server binds and answers on 127.0.0.1 only
  uint16_t port;              // receives the sharing server's port
  uint32_t networkInterface;  // IPv4, network byte order: for discovery and the sharing server
};

class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Configuration and specifier.
  aErr getConfig(aLanicConfig* config) const;
  aErr setConfig(aLanicConfig config);          // aErrMode while connected
  aErr getLinkSpecifier(linkSpec* spec) const;  // aErrNotFound when none is set
  aErr setLinkSpecifier(linkSpec spec);         // aErrBusy while connected
  const char* getName() const;                  // null when constructed without one

  // Opens the link the stored specifier names and waits (about 2 s) for it
  // to run. aErrConnection when a link id is already held (the caller
  // disconnects first), aErrConfiguration without a specifier or for a
  // client link with sharing off, aErrMode for an unknown type. A link that
  // was created but did not come up stays held until disconnect().
  aErr connect();
  // Finds the module (by serial number, or the first of that model when the
  // serial number is 0), stores its specifier and connects; with fallback
  // set, a USB attempt that fails to find or connect tries a client link
  // once, and the other way round. aErrNotFound when nothing was found.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  // Shares the link of an already connected router Link: one more use of
  // the same link id, opened from the stored specifier.
  // aErrInitialization when the router holds no link, aErrConnection when
  // this Link already holds one or the creator did not hand back the
  // router's id.
  aErr connectThroughLinkModule(Link& router);
  // Polls the link's status up to `polls` times 10 ms apart until it runs.
  aErr waitForLink(uint16_t polls);

  bool isConnected() const;     // a link id is held and its link runs
  uint32_t getStatus() const;   // the link engine's status; 8 when no link id is held
  aLinkRef getLinkRef() const;  // the held link id, 0 for none
  aErr disconnect();            // gives the held use back; aErrNone always
  // Restarts the held link in place (same id, no handshake) and returns the
  // link table's result; aErrConnection when no link id is held.
  aErr reset();
  // Asks the module for its address (an empty packet to 0xAD answered by an
  // empty packet from the module). aErrNotReady, address 0, when not
  // connected or unanswered within 1000 ms.
  aErr getModuleAddress(uint8_t* address);
  aErr enablePooledPackets(bool pooled);
  // The held link's connection epoch (aLink_GetConnectionEpoch): it moves
  // once the module's connection was lost or replaced, even when the stream
  // has reconnected since. aErrMode when the transport keeps none;
  // aErrConnection when no link id is held.
  aErr getConnectionEpoch(uint64_t* epoch) const;
  // Sends the module one address query (aLink_Probe), so that a transport
  // that learns of a vanished peer only by sending to it finds out.
  // aErrConnection when no link id is held.
  aErr probe();
  // Waits up to ms for an answer to an earlier probe (an empty packet from
  // the module) and takes it: aErrNone when one came, aErrTimeout when none
  // did (at once with ms 0 or a link that does not run), aErrConnection when
  // no link id is held.
  aErr takeProbeAnswer(uint64_t ms);
  // Whether the module takes a new connection within ms, beside the held
  // link's own (aLink_AnswersAnew): aErrNone when it did. aErrMode for links
  // other than TCPIP; aErrConnection when no link id is held.
  aErr answersAnew(uint64_t ms);

  // UEI exchange. sendUEI queues the request the record describes (one
  // packet, or the chunks of a byte block, fed to the link no faster than it
  // writes them: aErrTimeout when it stops writing for 4 s); aErrResource
  // when a packet cannot be made, aErrParam for a type the record cannot
  // carry; else the first failure of queueing, which stops the sending.
  aErr sendUEI(uei request);
  aErr sendUEI(uei request, uint8_t subindex);
  // Waits for the reply matching the record (address, command, option byte,
  // index bits); the arguments are stored into the record first. On success
  // the record holds the reply: an error reply sets bit 7 of `specifier`
  // and the module's code in value.byteVal (0 when the reply carries none);
  // otherwise `type` and `value` follow the reply's length. Stream samples
  // are never taken. aErrTimeout when none comes in time (aErrConnection
  // when the link went down meanwhile); aErrSize for a taken reply whose
  // length fits no value type.
  aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  // The same with the caller's filter, which gets the record as reference;
  // the record is handed over as it is and no length check is made.
  aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                  aPacketFilterProc filter);
  // Drops every queued reply that receiveUEI would match for these bytes.
  aErr dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier);
  // One UEI request and its reply. Queued replies of the reply's key (the
  // request's address and command, replyOption, the index bits of the
  // request's specifier) are dropped, the request is sent as sendUEI does
  // (with the subindex when given) and the reply awaited into `reply` as
  // receiveUEI does (with `filter` when given). aErrNone with the reply in
  // the record; for an error reply the module's code (aErrUnknown when it
  // gives none or 0); else the send's failure, aErrTimeout, aErrConnection
  // when the link went down, aErrSize for a reply no value type fits.
  aErr exchangeUEI(const uei& request, const uint8_t* subindex, uint8_t replyOption, uei* reply,
                   aPacketFilterProc filter = nullptr);

  // Raw commands. sendPacket queues [command][length data bytes] (length at
  // most 27, else aErrParam) and returns the queueing's result.
  aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits 1000 ms for the first packet whose data begin with the *length
  // prefix bytes (from any address); then *length is its data length and
  // `out` (28 bytes) holds its data. aErrTimeout when none comes.
  aErr receivePacket(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out);
  // The same, taking only a packet from `address`: for replies that carry
  // nothing else naming the module, on a link other modules share.
  aErr receivePacketFrom(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out);
  // Drops queued packets from `address` whose data begin with the prefix:
  // late answers to requests that gave up, before the same request again.
  aErr dropMatchingPackets(uint8_t address, const uint8_t* prefix, uint8_t length);
  // One raw command and its reply. Queued packets from `address` whose data
  // begin with the *length prefix bytes are dropped, [command][data] is sent
  // as sendPacket does, and the reply awaited as receivePacket does
  // (receivePacketFrom with fromAddress). *sent, when given, tells whether
  // the request was queued: a failed send and a missing reply may both be
  // aErrConnection.
  aErr exchangeCommand(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data, const uint8_t* prefix,
                       uint8_t* replyLength, uint8_t* out, bool fromAddress, bool* sent = nullptr);

  // ---- Stream subscriptions (LinkStream.cpp) ----
  // A stream key names one value of one module: bits 0-7 index, 8-15
  // option, 16-23 command, 24-31 module address, 32-39 subindex, the rest
  // zero. An element 0xFF is a wildcard in subscriptions and key patterns.
  enum STREAM_KEY : uint8_t {
    STREAM_KEY_MODULE_ADDRESS = 0,
    STREAM_KEY_CMD = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4,
  };
  // The sample type of a stream packet (data byte 3; a trailer that is not
  // zero makes it a byte block whatever that byte holds).
  enum STREAM_PACKET : uint8_t {
    STREAM_PACKET_UNKNOWN = 0,
    STREAM_PACKET_U8 = 1,
    STREAM_PACKET_U16 = 2,
    STREAM_PACKET_U32 = 3,
    STREAM_PACKET_BYTES = 4,
    STREAM_PACKET_U8_SUBINDEX = 5,
    STREAM_PACKET_U16_SUBINDEX = 6,
    STREAM_PACKET_U32_SUBINDEX = 7,
  };
  // Run on the Link's callback thread, never on its receive thread, with a
  // copy of each matching packet (valid during the call only) and the
  // subscriber's reference. The result is ignored.
  using streamCallback = std::function<uint8_t(const aPacket* packet, void* reference)>;
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };

  static uint64_t createStreamKey(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);  // 0 for any other selector
  // Mask i (0 to 14): 0xFF in the elements picked by the bits of i + 1
  // (bit 0 index, 1 option, 2 command, 3 subindex); 0 for any other i.
  static uint64_t _getGenericStreamKeyMask(uint8_t i);
  // Stream packet: more than 4 data bytes, a UEI command, option byte below
  // 0x40 and the stream bit (0x40) in the index byte.
  static bool isStreamPacket(const aPacket* packet);
  // Writes the sample type (0 for none); true for a stream packet with a type.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
  static bool isSubindexType(STREAM_PACKET type);
  // A typed sample (not a byte block) with a zero trailer and its type's length.
  static bool isStreamSample(const aPacket* packet);
  // Decodes a sample; each output may be null. aErrPacket for no stream
  // packet with a type, or a malformed sample; aErrSize for a byte block.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* upper, uint32_t* lower);

  // Subscribes (enable) or unsubscribes to a value pattern (0xFF wildcards;
  // the subindex is always every subindex) and asks the module to start or
  // stop streaming it. Samples are cached for getStreamValue; a non-empty
  // callback runs for each matching packet. Unsubscribing removes every
  // subscription and cached value the pattern covers; once it returns, no
  // callback for them runs any more (unless called from a callback). A
  // failure leaves nothing the pattern covers. aErrParam for an odd address,
  // aErrConnection without a link, else the exchange's error or the
  // module's code.
  aErr registerStreamCallback(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              streamCallback callback, void* reference);
  // The same without a callback: the values are only cached.
  aErr enableStream(uint8_t address, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // The last streamed value of exactly this key: aErrNone the first time,
  // aErrStreamStale (value written all the same) until the next sample;
  // aErrNotFound when the value is not cached.
  aErr getStreamValue(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // The map keys, in key order, that match the pattern (0xFF matches any
  // element). `lock`: take the stream lock here (false when held already).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock);
  // Key and value of each cached value matching the pattern, in key order.
  // aErrConnection when not connected, aErrParam for a null array or count
  // or capacity 0, aErrSize when more match than fit (the first ones kept).
  aErr getStreamStatus(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* count);
  // Asks the module whether it streams; *state is its answer byte.
  aErr isLinkStreaming(uint8_t address, uint8_t* state);

  // Packet log (LinkPacketLog.cpp): records the link's traffic and a logger
  // thread appends each record to the file at `path` as one text line:
  // "<length> > " (sent) or "<length> < " (anything else), then "0x%X " per
  // byte of a packet or the characters of a text record, then "\r\n".
  // Enabling writes a "START" text record; the logger made by the first
  // enable is kept (and its file) until the Link goes. aErrConfiguration
  // without a link id; aErrParam for a null path; aErrIO when the file
  // cannot be opened (the link records all the same).
  aErr enablePacketLog(const char* path);
  // Stops recording and the logger, after the file got every record made;
  // aErrParam when logging was never enabled.
  aErr disablePacketLog();

  // Store slots and factory data (LinkStore.cpp). Null pointers give
  // aErrParam; every request goes to `address` and waits 1000 ms for its
  // reply (3000 ms for opening a slot).
  aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size);
  // Writes the slot in chunks of 25 bytes, each acknowledged with its byte
  // sum (aErrIO on a mismatch); aErrMedia when the slot cannot be opened;
  // an opened slot is always closed.
  aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
  // Reads the slot into the buffer; *received gets the bytes delivered.
  // aErrOverrun (after delivering the first `capacity` bytes) when the slot
  // holds more than the buffer.
  aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                       size_t* received);
  // An item's (0 to 15) factory data. The buffer must be at least one byte
  // larger than the data, else aErrOverrun.
  aErr getFactoryData(uint8_t address, uint8_t item, uint8_t* buffer, size_t capacity, size_t* received);
  aErr setFactoryData(uint8_t address, uint8_t item, const uint8_t* data, size_t length);

  // The Link's private state; defined inside the library only.
  struct impl;

 private:
  aErr connectionSteps(aLinkRef shareWith);
  aErr awaitCommand(uint8_t address, const uint8_t* prefix, uint8_t* length, uint8_t* out, bool fromAddress);
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);

  impl* m_pImpl;
};

}  // namespace Tovanire::Jorvanite
