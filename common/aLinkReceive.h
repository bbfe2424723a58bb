#pragma once
// The link engine's receive step, on its own: what the receive thread does
// with one byte it has read. Exposed so that the handshake, the heartbeat
// answer and packet delivery can be driven from a byte buffer (the fuzz
// targets do) without a stream or a thread.

#include <cstdint>

#include "aLinkInternal.h"

// Hands one received byte to the handshake while the link is syncing, else
// to packet assembly: a framing error restarts the handshake (six address
// queries on the output queue); a complete packet goes to the user filter,
// is answered when it is a heartbeat, or is queued on the input queue (the
// oldest queued packet makes room when the queue is full; status 8 when it
// still cannot be queued). Receive thread only, or a link whose threads
// are stopped.
void aLink_ReceiveByte(aLink* link, uint8_t byte);
