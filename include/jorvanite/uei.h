#pragma once
// The UEI record: one get, set or call of one option of one entity (command
// code and entity index) of a module, and what its reply brought back.
//
// Request (data bytes of a packet addressed to the module):
//   [command][option | 0x40 get, 0x80 set][index | 0x20][value, MSB first]
//   subindex form: [command][option | flag][index | 0x20][subindex][value]
// Reply:
//   [command][option (get) or option | 0xC0 (set, call)][index][value]
//   index bit 7: error reply, data byte 3 holds the module's aErr code;
//   index bit 6: a stream sample, never the reply to a request.
// Byte blocks travel in chunks of up to 24 bytes, each followed by one
// trailer byte: bit 7 more chunks follow, bits 0-6 the chunk's sequence
// number (from 0, modulo 128).
//
// A record is a plain value owned by its caller; Link copies what it sends
// and writes replies only into the record it is handed, on the calling
// thread.

#include <cstddef>
#include <cstdint>

#include "aError.h"

namespace Tovanire::Jorvanite {

// Module command codes (data byte 0).
inline constexpr uint8_t cmdSYSTEM = 3;
inline constexpr uint8_t cmdSTORE = 4;
inline constexpr uint8_t cmdI2C = 8;
inline constexpr uint8_t cmdDEBUG = 0x17;
inline constexpr uint8_t cmdMODULE_INFO = 0x49;
inline constexpr uint8_t cmdSTREAM = 0x5D;
inline constexpr uint8_t cmdFACTORY = 0x5E;
inline constexpr uint8_t cmdUPGRADE = 0x5F;

// Option byte flags and index byte bits.
inline constexpr uint8_t ueiOPTION_GET = 0x40;
inline constexpr uint8_t ueiOPTION_SET = 0x80;
inline constexpr uint8_t ueiOPTION_ACK = 0xC0;  // a set or call reply carries both
inline constexpr uint8_t ueiOPTION_MASK = 0x3F;
inline constexpr uint8_t ueiINDEX_MASK = 0x1F;
inline constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
inline constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
inline constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;

// Byte-block chunking.
inline constexpr size_t ueiBYTES_CHUNK = 24;
inline constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
inline constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;

// Value types; the number is the value's width in bytes (no type 3).
enum ueiType : uint32_t {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

union ueiValue {
  uint8_t byteVal;
  uint16_t shortVal;
  uint32_t intVal;
  uint8_t* bytes;  // byte block: the data to send, or where received chunks go
  uint64_t raw;
};
static_assert(sizeof(ueiValue) == 8, "the value is one 8-byte union");

struct uei {
  uint8_t address;       // module address: even, nonzero
  uint8_t command;       // entity's command code
  uint8_t option;        // request: option with its flag; receive: the reply's option byte
  uint8_t specifier;     // request: index | 0x20; receive: plain index; after an error reply: the reply's index byte
  ueiValue value;        // after an error reply byteVal holds the module's code
  uint8_t sequence;      // byte-block receive: sequence number expected next
  uint8_t continueFlag;  // byte-block receive: continue flag of the last chunk taken
  uint64_t count;        // byte block: bytes to send, or capacity of the receive buffer
  uint64_t* received;    // byte-block receive: running count of bytes taken
  uint32_t type;         // a ueiType
};

// The result an error reply (or a failed status byte) stands for: the
// module's code, where a missing code or code 0 can only mean an unknown
// failure, never success.
inline aErr ueiModuleError(uint8_t code) {
  return code == 0 ? aErrUnknown : static_cast<aErr>(code);
}

}  // namespace Tovanire::Jorvanite
