#pragma once
// A serial-port stream with raw terminal settings. Reads never wait
// (aErrNotReady when nothing is there); bytes are read from the port in
// blocks and served one by one. A write returns once every byte has left
// the port. Destroying the stream puts back the settings the port had.
//
// Threads: one thread may read while another writes (a get uses only the
// read side's buffer, a write only the port); destroy the stream once
// neither does.

#include <cstdint>

#include "aError.h"
#include "aStream.h"

// Baud index to line speed.
enum : uint32_t {
  aSerialBaud2400 = 0,
  aSerialBaud4800 = 1,
  aSerialBaud9600 = 2,
  aSerialBaud19200 = 3,
  aSerialBaud38400 = 4,
  aSerialBaud57600 = 5,
  aSerialBaud115200 = 6,
  aSerialBaud230400 = 7,
};

// Opens path with baudIndex (0..7), parity (bit 0 set: even parity),
// dataBits (0: 8 bits, 1: 7 bits) and stopBits (0: one, 1: two); no flow
// control. aErrNone with the stream in *stream; aErrResource for a null path
// or stream address, a baud index, data-bit or stop-bit choice out of range,
// or no memory; aErrFileNameLength for a path of 4096 characters or more;
// aErrNotFound when the device does not exist; aErrPermission when access is
// denied; aErrIO when the port cannot be opened otherwise or a terminal
// setting fails. After a failure *stream is null (when the address is not)
// and a port already opened has its settings restored and is closed.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, uint32_t parity, int32_t dataBits, int32_t stopBits,
                          aStream** stream);
