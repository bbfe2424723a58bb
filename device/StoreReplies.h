#pragma once
// The module's replies to store-slot (command 4) and factory-data (0x5E)
// requests, read from a reply's data bytes. Each reader checks the length
// before it reads a byte, so it may be given any bytes at all; the filters
// tell a reply from other traffic the same way.
//
// Not for callers outside the object layer.

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

namespace Tovanire::Jorvanite::storereply {

inline constexpr uint8_t kNoHandle = 255;

// A request and what its reply must match: the module asked and the
// request's data bytes (command, sub-command, store and slot or handle).
struct Request {
  uint8_t address;
  uint8_t data[aPACKET_MAX_DATA];
  uint8_t length;
};

// Packet filters; the reference is the Request.
bool slotFilter(const aPacket* packet, void* request);
bool factoryFilter(const aPacket* packet, void* request);

// Capacity or size: a 16-bit value, most significant byte first.
aErr slotValue(const uint8_t* data, uint8_t length, size_t* value);
// The handle an open gives, or kNoHandle for a refusal or a short reply.
uint8_t openHandle(const uint8_t* data, uint8_t length);
aErr closeAck(const uint8_t* data, uint8_t length);
// A write's acknowledgement carries the sum of the chunk's bytes.
aErr writeAck(const uint8_t* data, uint8_t length, uint8_t sum);
// Takes a read chunk's bytes into buffer[*got], up to `wanted` in all.
aErr readChunk(const uint8_t* data, uint8_t length, uint8_t* buffer, size_t wanted, size_t* got);
// Takes a factory chunk into buffer[*got]; the buffer stays at least one
// byte larger than the data (aErrOverrun). *more: a full packet, so another
// chunk follows.
aErr factoryChunk(const uint8_t* data, uint8_t length, uint8_t* buffer, size_t capacity, size_t* got, bool* more);
aErr factoryWriteAck(const uint8_t* data, uint8_t length);
aErr factoryEndAck(const uint8_t* data, uint8_t length);

}  // namespace Tovanire::Jorvanite::storereply
