#pragma once
// The client byte stream: the transport of a client link (linkType 4). Its
// bytes travel to and from a link-sharing server (aServer.h) over ZeroMQ.
// Each write goes out as one message per packet; each message from the
// server (one reply packet, or a batch of stream packets) is handed out one
// byte per get.
//
// Threads: the link's send thread writes, its receive thread gets (and
// waits), and the stream's own broker actor alone talks to the server; two
// loopback socket pairs join them, so every socket has one user and no lock
// is needed. Create and destroy while neither link thread uses the stream.

#include <czmq.h>

#include <cstdint>

#include "aError.h"
#include "aStream.h"

// How long one get waits for the next message from the server.
inline constexpr int kClientGetWaitMS = 1000;

struct aStreamZeroMQClient {
  zsock_t* server;             // DEALER to the server's front end; broker only
  uint16_t outgoingPort;       // 0: the pairs are in-process (aZmqPair.h)
  zsock_t* outgoingWriteEnd;   // bound; write operation
  zsock_t* outgoingBrokerEnd;  // connected; broker
  uint16_t incomingPort;       // 0, as above
  zsock_t* incomingReadEnd;    // bound; get operation
  zsock_t* incomingBrokerEnd;  // connected; broker
  zactor_t* broker;
  zpoller_t* poller;  // over the incoming read end; get operation
  zframe_t* current;  // the frame being handed out, or null
  uint64_t index;
  uint64_t size;
};

// A stream to the server at address (IPv4, network byte order) and port.
// The connection is made (and remade after a loss) in the background, so
// this succeeds whether or not a server listens yet. *stream is set to null
// first and to the stream on success. aErrParam for a null stream address;
// aErrMemory when a socket, the poller or the context cannot be made;
// aErrConnection when a bind or connect fails; aErrResource when the stream
// cannot be made. Nothing is left behind on failure.
//
// Get: the next byte of the current message; aErrNotReady after
// kClientGetWaitMS without one; aErrIO when a ready socket yields nothing.
// A one-byte write (which the stream makes through put) gives
// aErrUnimplemented; longer writes give aErrNone even when a message had to
// be dropped (a full queue after 100 tries 1 ms apart).
//
// A Ctrl+C (CZMQ's interrupted flag) is handed by the broker to the
// process's own SIGINT handling, and the broker ends: a process that lives on
// keeps a silent stream whose gets and waits time out as usual.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream);

// The frame reader behind a get. TakeFrame makes *frame (taken over, *frame
// nulled) the one handed out, in place of any before it; an empty frame has
// nothing to hand out and is dropped (false). NextByte hands out the current
// frame's next byte and releases the frame after its last; aErrIndexRange
// when there is none.
bool aStreamClient_TakeFrame(aStreamZeroMQClient* client, zframe_t** frame);
aErr aStreamClient_NextByte(aStreamZeroMQClient* client, uint8_t* byte);
// How many of the `length` bytes of a write the next message takes: one
// packet ([address][data length][data]) when the bytes begin with a whole
// one, else all of them.
uint64_t aStreamClient_MessageLength(const uint8_t* data, uint64_t length);
