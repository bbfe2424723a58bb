#pragma once
// The I2C bus entity (command 8) of a module: reads from and writes to
// devices on the module's bus and switches the bus pull-ups, with raw
// command packets, sending the bus speed code with every transfer.
//
//   read     8, index, address | 1, length, speed     reply 8, index, address | 1, count, status, data
//   write    8, index, address, length, speed, data   reply 8, index, address, 0, status
//   pull-up  8, index, 1, on                          reply 8, index, 1, any, status
// Status bit 7 marks a failure whose aErr code is in bits 0-6 (aErrUnknown
// when they are 0). Device addresses are 8-bit bus addresses with the
// read/write bit in bit 0.
//
// Each transfer drops late replies to an earlier one, sends its request and
// waits 1000 ms for the reply (aErrTimeout when none comes). An entity is
// used from one thread at a time.

#include <cstdint>

#include "EntityClass.h"

namespace Tovanire::Jorvanite {

inline constexpr uint8_t kI2CMaxTransfer = 23;
inline constexpr uint8_t kI2CMaxSpeed = 3;

class I2CClass : public EntityClass {
 public:
  I2CClass();
  ~I2CClass() override;

  // Binds command 8 and the index; the speed code becomes 0.
  void init(Module* module, uint8_t index);

  // Reads `length` (at most 23, else aErrSize before sending) bytes into
  // the buffer: no more than the reply carries and the caller asked for.
  // aErrPacket for a reply too short for its status or its own count.
  aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool on);
  // Codes 0 to 3 (aErrParam above, the stored code unchanged); used from the next transfer.
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed) const;

 private:
  // Sends the request after dropping late replies with its reply prefix,
  // then takes the reply and checks its status byte.
  aErr transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* prefix, uint8_t prefixLength,
                uint8_t* reply, uint8_t* replyLength);

  uint8_t m_speed = 0;
};

}  // namespace Tovanire::Jorvanite
