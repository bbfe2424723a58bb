#pragma once
// A TCP client stream to a module reached over the network. Reads never
// wait (aErrNotReady when nothing is there); bytes are read from the socket
// in blocks and served one by one. The stream reconnects by itself when it
// finds the connection broken; the receive and the send thread of a link may
// both find it, and their reconnects are serialised so that neither closes a
// descriptor the other is using. After a reconnect that fails, every get and
// write returns aErrConnection until the stream is destroyed.
// Destroy the stream (after an interrupt, see below) once neither thread
// uses it; the stream owns its socket.
//
// get    aErrNone with a byte; aErrNotReady when nothing is waiting (also
//        after the peer closed: that is seen by the next write) or while the
//        other thread is reconnecting; aErrConnection when not connected.
// write  sends the whole block or fails. A broken connection (including a
//        peer that has closed) is reconnected and the block sent on the new
//        one. When the send buffer stays full for 10 tries 60 ms apart the
//        write fails with aErrTimeout; if part of the block was already on
//        the wire the connection is dropped and remade, so the module never
//        sees half a packet followed by the next one.
// wait   sleeps until a byte arrives, the other thread reconnects, or ms
//        pass.
// interrupt  ends a connect in progress at once and keeps the stream from
//        connecting again (its reconnects fail with aErrConnection): for a
//        stream about to be destroyed, whose threads must be joined first.
//        Bytes still flow on a connection that is up.
// epoch  moves with every reconnect, failed or not, and once when a
//        connection is found lost: the peer closed it or reset it (seen by
//        a read, or by the epoch query itself, which looks without
//        reading). A module that restarted shows here even when the stream
//        reconnected to it before anyone asked.

#include <cstdint>

#include "aError.h"
#include "aStream.h"

#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
// Every connect gives up after this long. A module on the local network
// answers a connection in milliseconds, and this leaves room for a first SYN
// lost and its retransmission a second later. Much longer, and the loops
// that look for a module again (five reconnects once its loader starts,
// then fifteen tries a second apart) keep a module gone for good from its
// verdict for minutes instead of about a minute; the kernel's own limit,
// six SYN retries, is more than two minutes per connect.
#define aSOCKET_CONNECT_BOUND_MS 2000

// Connects to address (IPv4, network byte order) and port (host order) and
// stores the new stream in *stream (set to null first). aErrNone; every
// failure, a null stream address included, gives aErrResource and no stream.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

// Whether the peer at address (IPv4, network byte order) and port (host
// order) takes a new connection within ms: aErrNone when it did (the
// connection is reset again at once), aErrConnection when it refused or did
// not answer in time, aErrIO when no connection could be tried. Tells a
// peer that restarted its stack from one whose old connection is only
// waiting out TCP's retransmission back-off.
aErr aSocket_Answers(uint32_t address, uint16_t port, uint64_t ms);
