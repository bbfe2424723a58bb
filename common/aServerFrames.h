#pragma once
// The link-sharing server's readers of bytes that come from outside, each a
// function of its own so that it can be fed from a buffer: the stream
// batcher on the shared link's receive thread, the broker's routing of what
// the sync actor hands it (module replies among commands), and the readers
// of the module's address and model at start-up.

#include <czmq.h>

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// Called with a batch to send; the bytes are the batcher's again on return.
typedef void (*aServerBatchFlushProc)(const uint8_t* batch, size_t length, void* ref);

// Adds the packet's frame to the stream batch (kServerStreamBatchSize bytes
// at batch, *length of them used) when it is a stream packet: true, taken.
// Then, for any packet, on a heartbeat or once the batch holds more than
// kServerStreamFlushBytes, a nonempty batch goes to flush and the batch is
// empty again, whether or not it could be sent. So a batch holds whole
// frames and never more than kServerStreamBatchSize - 1 bytes.
bool aServer_BatchStreamPacket(uint8_t* batch, uint16_t* length, const aPacket* packet, aServerBatchFlushProc flush,
                               void* ref);

// The broker's handling of one frame from the sync actor. The oldest
// waiting identity is popped. A reply (any frame while announced replies are
// due, or one that is not of a command's size) gives that identity back, for
// the caller to send the frame to and destroy. A command gives null:
// SERVER_CMD_INCOMING_PACKETS with count n puts n copies of the identity
// back at the head and sets *expectedReplies to n; any other drops it.
zframe_t* aServer_RouteSyncFrame(uint16_t* expectedReplies, zlist_t* waiting, const uint8_t* frame, size_t size);

// The module's answer to the system entity's model query sent to address:
// four data bytes from that address, the system command first and the model
// last; any other packet aErrIO (*model untouched).
aErr aServer_ReadModel(const aPacket* reply, uint8_t address, uint8_t* model);
