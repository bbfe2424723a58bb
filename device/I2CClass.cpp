#include "I2CClass.h"

#include <algorithm>
#include <cstring>

#include "aPacket.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kReadData = 5;
constexpr uint8_t kStatusFailed = 0x80;
constexpr uint8_t kPullupAddress = 1;

}  // namespace

I2CClass::I2CClass() = default;
I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, cmdI2C, index);
  m_speed = 0;
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* prefix, uint8_t prefixLength,
                        uint8_t* reply, uint8_t* replyLength) {
  *replyLength = prefixLength;
  const aErr err = exchangePacket(cmdI2C, requestLength, request, prefix, replyLength, reply, nullptr);
  if (err != aErrNone)
    return err;
  if (*replyLength <= kStatusByte)
    return aErrPacket;
  if (reply[kStatusByte] & kStatusFailed)
    return ueiModuleError(reply[kStatusByte] & 0x7F);
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
  if (length > kI2CMaxTransfer)
    return aErrSize;
  if (!buffer)
    return aErrParam;
  const uint8_t device = static_cast<uint8_t>(address | 1);
  const uint8_t request[] = {getIndex(), device, length, m_speed};
  const uint8_t prefix[] = {cmdI2C, getIndex(), device};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  const aErr err = transfer(request, sizeof request, prefix, sizeof prefix, reply, &replyLength);
  if (err != aErrNone)
    return err;
  const uint8_t count = reply[3];
  // A reply that carries fewer bytes than its own count is torn.
  if (kReadData + count > replyLength)
    return aErrPacket;
  std::memcpy(buffer, &reply[kReadData], std::min(count, length));
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kI2CMaxTransfer)
    return aErrSize;
  if (length && !data)
    return aErrParam;
  uint8_t request[4 + kI2CMaxTransfer] = {getIndex(), address, length, m_speed};
  if (length)
    std::memcpy(&request[4], data, length);
  const uint8_t prefix[] = {cmdI2C, getIndex(), address, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return transfer(request, static_cast<uint8_t>(4 + length), prefix, sizeof prefix, reply, &replyLength);
}

aErr I2CClass::setPullup(bool on) {
  const uint8_t request[] = {getIndex(), kPullupAddress, static_cast<uint8_t>(on ? 1 : 0)};
  const uint8_t prefix[] = {cmdI2C, getIndex(), kPullupAddress};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  return transfer(request, sizeof request, prefix, sizeof prefix, reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kI2CMaxSpeed)
    return aErrParam;
  m_speed = speed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
  if (!speed)
    return aErrParam;
  *speed = m_speed;
  return aErrNone;
}

}  // namespace Tovanire::Jorvanite
