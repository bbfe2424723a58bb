#pragma once
// The module packet: an address, a length and up to 28 data bytes, and the
// small rules by which callers read a packet's payload.
//
// Wire form (both directions, no start marker, checksum or escaping):
//   [address][length n, 0..28][n data bytes]          2 to 30 bytes
//
// Every function that takes a packet in copies what it needs; the caller
// keeps ownership of its own packet. A packet has no lock: it belongs to one
// thread at a time and crosses threads only as a copy (see aPacketFifo.h).

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKETCHECK 0xBEEF
#define aPACKET_MAX_DATA 28
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

struct aPacket {
  uint16_t check;                  // aPACKETCHECK while the packet is valid
  uint8_t count;                   // wire bytes taken in by aPacket_AddByte, address and length included
  uint8_t address;                 // module address; 0 = none taken in yet. Valid: even, 2..254
  uint8_t length;                  // data bytes, 0..28
  uint8_t data[aPACKET_MAX_DATA];  // bytes past the length are 0 in a new or reset packet
};

// Accepts a packet (nonzero/true) for the filtered takes of the packet FIFO
// and the link engine. Runs under the owner's lock: it must be quick and must
// not call back into the queue it filters.
typedef bool (*aPacketFilterProc)(const aPacket* packet, void* ref);

// True for a non-null packet carrying the check word.
bool aVALIDPACKET(const aPacket* packet);

// A new empty packet (all zero but the check word), or null when memory runs
// out. Free it with aPacket_Destroy.
aPacket* aPacket_Create();

// A new packet holding address, length and data (count = length + 2). Null
// for null data (even with length 0), a length above 28, or no memory. Any
// address byte is accepted.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new packet with the same address, length and data (count = length + 2).
// Null for an invalid packet, one whose length is above 28, or no memory.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0 (the command). aErrParam for a null out; aErrPacket for an
// invalid packet or length 0.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);

// Data byte 1 with the get/set flags cleared (AND 0x3F). aErrParam for a null
// out; aErrPacket for an invalid packet or a length below 2.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);

// Data byte 2 with bits 5-7 cleared (AND 0x1F). aErrParam for a null out;
// aErrPacket for an invalid packet or a length below 3.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears count, address, length and all data bytes. aErrParam for an
// invalid packet.
aErr aPacket_Reset(aPacket* packet);

// Takes the next received wire byte into the packet being assembled:
//   aErrParam    invalid packet (nothing changes);
//   aErrOverrun  more than 30 bytes since the last reset (byte dropped);
//   aErrPacket   an address byte of 0 or odd, a length byte above 28, or a
//                byte past the packet's end;
//   aErrNone     byte stored.
// After any error the caller resets the packet before assembling the next
// one. Test aPacket_IsComplete after every byte: a packet of length 0 is
// complete right after its length byte. However many bytes arrive without a
// reset, nothing is ever written outside the packet.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when valid, the length is at most 28 and count = length + 2.
bool aPacket_IsComplete(const aPacket* packet);

// Frees *packet and sets it to null. aErrParam for a null address or pointer.
aErr aPacket_Destroy(aPacket** packet);

// Big-endian numbers in payload buffers.
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);

// Turns each of count words in place from big-endian byte order into a number.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// True for a non-null packet whose command (data byte 0) is one of the
// commands that are not UEI: 0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175.
bool aUEI_isNotUEIPayload(const aPacket* packet);

// Negation of aUEI_isNotUEIPayload (so true for a null packet).
bool aUEI_isUEIPayload(const aPacket* packet);

// True for a non-null UEI packet of more than 4 data bytes whose option byte
// carries neither get nor set flag (below 0x40) and whose index byte has the
// stream flag (bit 6).
bool aUEI_isStreamPacket(const aPacket* packet);

// Trailer of a multi-packet byte transfer (the last data byte): sequence in
// bits 0-6, continue flag in bit 7. 0 for a null packet or length 0.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);

// True when the packet holds 27 or 28 data bytes (a full transfer packet).
bool aUEI_getBytesFullPacket(const aPacket* packet);
