#include "SDPLoader.h"

#include <sys/types.h>

#include <string>

#include "Log.h"
#include "aByteOrder.h"

namespace {

enum : uint8_t {
  kCommandReport = 1,
  kDataReport = 2,
};

enum : uint8_t {
  kReadRegister = 0x01,
  kWriteFile = 0x04,
  kErrorStatus = 0x05,
  kJumpAddress = 0x0B,
};

constexpr uint8_t kFormat32 = 0x20;
constexpr uint32_t kProbeAttempts = 5;
constexpr uint32_t kReplyTimeoutMs = 100;

// Report ID, the type twice, big-endian address, format, big-endian count;
// the data field and the reserved byte stay zero.
void sCommand(std::vector<uint8_t>& buffer, uint8_t type, uint32_t address, uint8_t format, uint32_t count) {
  buffer.assign(MAX_COMMAND_BYTES, 0);
  buffer[0] = kCommandReport;
  buffer[1] = type;
  buffer[2] = type;
  aByteOrder::putBE32(&buffer[3], address);
  buffer[7] = format;
  aByteOrder::putBE32(&buffer[8], count);
}

}  // namespace

SDPLoader::SDPLoader() = default;

SDPLoader::~SDPLoader() {
  delete loader_;
}

bool SDPLoader::setLoader(SDPLoader_Interface* loader) {
  if (!loader || loader_)
    return false;
  loader_ = loader;
  return true;
}

uint8_t SDPLoader::init() {
  if (!loader_)
    return SDP_NO_TRANSPORT;
  return loader_->init() ? SDP_OK : SDP_OPEN_FAILED;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& buffer) {
  if (buffer.size() < MAX_COMMAND_BYTES)
    buffer.resize(MAX_COMMAND_BYTES, 0);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& buffer) {
  sCommand(buffer, kErrorStatus, 0, 0, 0);
  _fillCommand(buffer);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& buffer, uint32_t address, uint32_t size) {
  sCommand(buffer, kWriteFile, address, kFormat32, size);
  _fillCommand(buffer);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& buffer, uint32_t address) {
  sCommand(buffer, kJumpAddress, address, 0, 0);
  _fillCommand(buffer);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& buffer, uint32_t address) {
  sCommand(buffer, kReadRegister, address, kFormat32, 4);
  _fillCommand(buffer);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer) {
  if (!Log::fh || !(Log::package_bitmask & DEBUG_iMXSerial))
    return;
  // Log lines are cut at 2047 characters; a data report dumps to about three
  // times its size, so it goes out in pieces.
  std::string text;
  char piece[4];
  for (uint8_t byte : buffer) {
    snprintf(piece, sizeof piece, "%X ", byte);
    text += piece;
    if (text.size() > 1500) {
      Log::log(DEBUG_iMXSerial, "%s", text.c_str());
      text.clear();
    }
  }
  text += "\n";
  Log::log(DEBUG_iMXSerial, "%s", text.c_str());
}

bool SDPLoader::_readWord(const std::vector<uint8_t>& reply, uint32_t& value) {
  value = 0;
  return loader_->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply) {
  uint32_t value;
  return _readWord(reply, value);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
  uint32_t value;
  return _readWord(reply, value) && value == STATUS_WRITE_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply) {
  uint32_t value;
  return _readWord(reply, value) && value == STATUS_ACK;
}

void SDPLoader::_exchange(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply, bool traceAsWriteRes) {
  int64_t written = loader_->writeData(command);
  if (traceAsWriteRes)
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", ssize_t(written));
  else
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(written));
  _printBuffer(command);
  reply.clear();
  int64_t got = loader_->readData(reply, kReplyTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", ssize_t(got));
  _printBuffer(reply);
}

bool SDPLoader::_isConnectionAlive() {
  std::vector<uint8_t> command;
  _createStatusPacket(command);
  std::vector<uint8_t> reply;
  for (uint32_t attempt = 0; attempt < kProbeAttempts; ++attempt) {
    _exchange(command, reply, false);
    if (_expectResponse(reply))
      return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
  if (!loader_)
    return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive())
    return SDP_NO_ANSWER;

  std::vector<uint8_t> buffer;
  _createWriteFilePacket(buffer, address, uint32_t(image.size()));
  int64_t res = loader_->writeData(buffer);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", ssize_t(res));
  _printBuffer(buffer);

  std::vector<uint8_t> reply;
  uint32_t total = 0;
  size_t consumed = 0;
  for (int loop = 0; consumed < image.size(); ++loop) {
    // The ROM stays quiet until the whole image is in; anything it says
    // before that is an error report, and more data would only be ignored.
    reply.clear();
    int64_t got = loader_->readData(reply, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", ssize_t(got));
    _printBuffer(reply);
    if (got > 0) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return SDP_UNEXPECTED_DATA;
    }
    size_t take = image.size() - consumed;
    if (take > MAX_WRITE_BYTES)
      take = MAX_WRITE_BYTES;
    buffer.clear();
    buffer.reserve(take + 1);
    buffer.push_back(kDataReport);
    buffer.insert(buffer.end(), image.begin() + ssize_t(consumed), image.begin() + ssize_t(consumed + take));
    consumed += take;
    res = loader_->writeData(buffer);
    total += uint32_t(res);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", ssize_t(res), int(total),
             loop, long(consumed), ssize_t(buffer.size()));
    _printBuffer(buffer);
  }

  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", int(total));
  reply.clear();
  loader_->readData(reply, kReplyTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  if (_expectSuccess(reply)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SDP_OK;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return SDP_BAD_STATUS;
}

void SDPLoader::startLoader(uint32_t address) {
  if (!loader_)
    return;
  std::vector<uint8_t> buffer;
  _createJumpPacket(buffer, address);
  // Whatever the ROM says before it jumps is taken and not looked at.
  std::vector<uint8_t> reply;
  _exchange(buffer, reply, true);
}

uint8_t SDPLoader::_readFuse(uint32_t address, uint32_t& word) {
  std::vector<uint8_t> buffer;
  _create4ByteReadRegisterPacket(buffer, address);
  std::vector<uint8_t> reply;
  _exchange(buffer, reply, false);
  return _readWord(reply, word) ? SDP_OK : SDP_MALFORMED_REPLY;
}

uint8_t SDPLoader::getFingerprint(uint64_t& value) {
  if (!loader_)
    return SDP_NO_TRANSPORT;
  if (!_isConnectionAlive())
    return SDP_NO_ANSWER;
  uint32_t word;
  if (_readFuse(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, word) != SDP_OK)
    return SDP_MALFORMED_REPLY;
  value |= word;
  if (_readFuse(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, word) != SDP_OK)
    return SDP_MALFORMED_REPLY;
  value |= uint64_t(word) << 32;
  return SDP_OK;
}
