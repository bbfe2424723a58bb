// The LPC client's commands: the autobaud handshake, the ISP commands with
// their return codes, and the data phases of Write and Read.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "NXPSerialClass.h"
#include "NXPSerialInternal.h"
#include "aTime.h"

using namespace nxpserial;

namespace {

bool sEndsWithTerm(const char* line, uint64_t length) {
  return length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n';
}

// One decimal number that makes up a whole reply line ("123\r\n"); false
// for a line cut short, empty, signed or carrying anything else.
bool sParseNumberLine(const char* line, uint64_t length, unsigned long* value) {
  if (!sEndsWithTerm(line, length))
    return false;
  const char* p = line;
  while (*p == ' ')
    ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p)))
    return false;
  char* end = nullptr;
  *value = std::strtoul(p, &end, 0);
  while (*end == ' ')
    ++end;
  return end == line + length - 2;
}

// What a reply line that should have arrived whole tells the caller when it
// did not: the last read's failure, or aErrIO for a line cut or garbled.
aErr sLineFailure(aErr lastRead) {
  return lastRead != aErrNone ? lastRead : aErrIO;
}

// Where the return code sits in a reply line: with echo on, the character
// before the line end (what the echo left in front is skipped), else the first.
uint64_t sErrorIndex(bool echo, uint64_t lineLength) {
  return echo && lineLength > 2 ? lineLength - NXPSerialClass::TERMINATION_SIZE - 1 : 0;
}

}  // namespace

uint8_t NXPSerialClass::GetErrorIndex(uint64_t lineLength) {
  return static_cast<uint8_t>(sErrorIndex(echo, lineLength));
}

aErr NXPSerialClass::Sync() {
  static const char kSynchronized[] = "Synchronized\r\n";
  char buf[kLineCapacity];
  uint64_t len = 0;

  aErr err = Send("?", false);
  if (err != aErrNone)
    return err;
  err = Response(buf, sizeof buf, &len, kSynchronized, 14);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n", "?",
             buf);
    return err;
  }
  if (std::strncmp(buf, kSynchronized, 14) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buf);

  if ((err = Send(kSynchronized, false)) != aErrNone)
    return err;
  if ((err = Response(buf, sizeof buf, &len, kSynchronized, 13)) != aErrNone)
    return err;

  // Each acknowledgement must be the chip's OK: anything else means it did
  // not take the handshake, and going on would only talk past it.
  auto acknowledged = [&]() -> aErr {
    buf[0] = '\0';
    const aErr got = Response(buf, sizeof buf, &len, "OK\r\n", 4);
    if (got != aErrNone)
      return got;
    if (std::strncmp(buf, "OK", 2) != 0) {
      Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buf, "OK\r\n");
      return aErrIO;
    }
    return aErrNone;
  };
  if ((err = acknowledged()) != aErrNone)
    return err;

  char crystal[32];
  std::snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
  if ((err = Send(crystal, false)) != aErrNone)
    return err;
  if ((err = Response(buf, sizeof buf, &len, crystal, std::strlen(crystal) - 1)) != aErrNone)
    return err;
  return acknowledged();
}

// Sends a command and judges its return-code line. Success needs the code
// itself to be 0: with echo on, the whole number that ends just before the
// line end, so that a code such as 10 ending in 0 is not taken for success.
// A failed code is logged under responsePackage (0: not logged).
aErr NXPSerialClass::Exchange(const char* text, const char* logPrefix, uint32_t responsePackage, char* line,
                              uint64_t* length) {
  const aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    std::string printable(text);
    while (!printable.empty() && (printable.back() == '\n' || printable.back() == '\r'))
      printable.pop_back();
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", logPrefix, printable.c_str(),
             aError_GetErrorText(err));
    return err;
  }
  GetLine(line, kLineCapacity, length, kEmptyReadBudget);
  if (ReturnCodeIsSuccess(line, *length, echo))
    return aErrNone;
  if (responsePackage != 0)
    Log::log(responsePackage, "%sError response ==>[%s]\n", logPrefix, GetErrorText(line));
  return aErrParam;
}

bool NXPSerialClass::ReturnCodeIsSuccess(const char* line, uint64_t length, bool echo) {
  // Not GetErrorIndex: its 8-bit position would wrap on a long line and
  // could land on a stray 0 inside it.
  const uint64_t at = sErrorIndex(echo, length);
  if (at >= length || !std::isdigit(static_cast<unsigned char>(line[at])))
    return false;
  uint64_t first = at;
  uint64_t last = at;
  if (echo && length > 2) {
    while (first > 0 && std::isdigit(static_cast<unsigned char>(line[first - 1])))
      --first;
  } else {
    while (last + 1 < length && std::isdigit(static_cast<unsigned char>(line[last + 1])))
      ++last;
  }
  for (uint64_t i = first; i <= last; ++i)
    if (line[i] != '0')
      return false;
  return true;
}

aErr NXPSerialClass::Unlock() {
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange("U 23130\r\n", "", 0, line, &len);
}

aErr NXPSerialClass::SetBaudRate(unsigned rate) {
  char text[64];
  std::snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", 0, line, &len);
}

aErr NXPSerialClass::SetEcho(bool on) {
  char text[16];
  std::snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char line[kLineCapacity];
  uint64_t len = 0;
  const aErr err = Exchange(text, "", 0, line, &len);
  if (err == aErrNone)
    echo = on;
  return err;
}

aErr NXPSerialClass::SectorCommand(char letter, unsigned firstSector, unsigned lastSector) {
  if (lastSector < firstSector)
    return aErrParam;
  char text[64];
  std::snprintf(text, sizeof text, "%c %u %u\r\n", letter, firstSector, lastSector);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", DEBUG_NXPSerial, line, &len);
}

aErr NXPSerialClass::Prepare(unsigned firstSector, unsigned lastSector) {
  return SectorCommand('P', firstSector, lastSector);
}

aErr NXPSerialClass::Erase(unsigned firstSector, unsigned lastSector) {
  return SectorCommand('E', firstSector, lastSector);
}

aErr NXPSerialClass::CopyToFlash(unsigned flashAddress, unsigned ramAddress, unsigned count) {
  if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
    return aErrParam;
  char text[96];
  std::snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", DEBUG_NXPSerial, line, &len);
}

aErr NXPSerialClass::ExecuteFrom(unsigned address) {
  char text[64];
  std::snprintf(text, sizeof text, "G %u T\r\n", address);
  return SendCommand(text, 0);
}

// The command line of Write ('W') or Read ('R'), after the checks both share.
aErr NXPSerialClass::DataCommand(char letter, unsigned address, unsigned count, const void* data, char* line,
                                 uint64_t* length) {
  if (count == 0 || count % 4 != 0 || !data)
    return aErrParam;
  char text[64];
  std::snprintf(text, sizeof text, "%c %u %u\r\n", letter, address, count);
  return letter == 'W' ? Exchange(text, "Write() ", DEBUG_NXPSerial_SR, line, length)
                       : Exchange(text, "", DEBUG_NXPSerial, line, length);
}

aErr NXPSerialClass::Write(unsigned ramAddress, unsigned count, unsigned char* data) {
  char line[kLineCapacity];
  uint64_t len = 0;
  aErr err = DataCommand('W', ramAddress, count, data, line, &len);
  if (err != aErrNone)
    return err;

  unsigned sent = 0;
  unsigned lines = 0;
  unsigned lastGood = 0;
  unsigned retries = MAX_READ_RETRY;
  char encoded[2 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3)];
  while (sent < count && err == aErrNone) {
    const unsigned n = count - sent < MAX_BYTES_PER_LINE ? count - sent : MAX_BYTES_PER_LINE;
    uuencode(encoded, data + sent, n);
    if ((err = Send(encoded, echo)) != aErrNone || (err = Send(kTerm, echo)) != aErrNone)
      break;
    sent += n;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && sent < count)
      continue;

    const int checksum = sum(data + lastGood, sent - lastGood);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", static_cast<unsigned>(checksum), checksum);
    char checksumText[32];
    std::snprintf(checksumText, sizeof checksumText, "%d\r\n", checksum);
    if ((err = Send(checksumText, echo)) != aErrNone)
      break;
    const uint64_t started = aTime_GetMSTicks();
    GetLine(line, kLineCapacity, &len, kChecksumBudget);
    Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMSTicks() - started + 1));
    if (std::strcmp(line, "OK\r\n") == 0) {
      lastGood = sent;
      Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(sent),
               static_cast<int>(count), sent * 100.0 / count);
    } else if (std::strcmp(line, "RESEND\r\n") == 0) {
      if (--retries < 1) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        err = aErrTimeout;
      } else {
        sent = lastGood;
      }
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
      err = aErrIO;
    }
    lines = 0;
  }
  return err;
}

aErr NXPSerialClass::Read(unsigned address, unsigned count, unsigned char* destination) {
  char line[kLineCapacity];
  uint64_t len = 0;
  aErr err = DataCommand('R', address, count, destination, line, &len);
  if (err != aErrNone)
    return err;

  unsigned received = 0;
  unsigned lastGood = 0;
  unsigned retries = MAX_READ_RETRY;
  while (received < count && err == aErrNone) {
    for (unsigned lines = 0; lines < LINES_PER_CHECKSUM && received < count; ++lines) {
      const aErr got = GetLine(line, kLineCapacity, &len, kEmptyReadBudget);
      // A line cut short or carrying no data cannot be resent into place:
      // its length is unknown, and counting it would leave bytes unwritten.
      const unsigned declared = (static_cast<unsigned char>(line[0]) - 0x20u) & 0x3F;
      const unsigned n = uudecode(destination + received, count - received, line);
      if (!sEndsWithTerm(line, len) || n == 0 || n != declared) {
        Log::log(DEBUG_NXPSerial, "Read() bad data line [%s]\n", line);
        err = sLineFailure(got);
        break;
      }
      received += n;
    }
    if (err != aErrNone)
      break;

    const aErr got = GetLine(line, kLineCapacity, &len, kEmptyReadBudget);
    if (!sEndsWithTerm(line, len)) {
      err = sLineFailure(got);
      break;
    }
    const long checksum = std::strtol(line, nullptr, 0);
    if (checksum == sum(destination + lastGood, received - lastGood)) {
      Send("OK\r\n", false);
      // The chip echoes the acknowledgement only while echo is on; reading
      // for it otherwise would eat the start of the next data line.
      if (echo) {
        char ack[16];
        uint64_t ackLen = 0;
        Response(ack, sizeof ack, &ackLen, "OK\r\n", received == count ? 4 : 3);
      }
      lastGood = received;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(received),
               static_cast<int>(count), received * 100.0 / count);
    } else if (--retries < 1) {
      err = aErrTimeout;
    } else {
      if ((err = Send("RESEND\r\n", echo)) != aErrNone)
        break;
      received = lastGood;
    }
  }
  return err;
}

aErr NXPSerialClass::ReadNumbers(const char* text, unsigned long* values, unsigned count) {
  char line[kLineCapacity];
  uint64_t len = 0;
  aErr err = Exchange(text, "", 0, line, &len);
  if (err != aErrNone)
    return err;
  for (unsigned i = 0; i < count; ++i) {
    const aErr got = GetLine(line, kNumberLineCapacity, &len, kEmptyReadBudget);
    if (!sParseNumberLine(line, len, &values[i])) {
      Log::log(DEBUG_NXPSerial, "Error reading number %u of %u: [%s]\n", i + 1, count, line);
      return sLineFailure(got);
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  unsigned long words[4] = {};
  const aErr err = ReadNumbers("N\r\n", words, 4);
  if (err != aErrNone)
    return err;
  for (int i = 0; i < 4; ++i)
    deviceID[i] = static_cast<uint32_t>(words[i]);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* partNumber) {
  if (!partNumber)
    return aErrParam;
  unsigned long value = 0;
  const aErr err = ReadNumbers("J\r\n", &value, 1);
  if (err != aErrNone)
    return err;
  *partNumber = static_cast<long>(value);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(*partNumber));
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* major, unsigned char* minor) {
  if (!major || !minor)
    return aErrParam;
  unsigned long values[2] = {};
  const aErr err = ReadNumbers("K\r\n", values, 2);
  if (err != aErrNone)
    return err;
  *major = static_cast<unsigned char>(values[0]);
  *minor = static_cast<unsigned char>(values[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
  return aErrNone;
}
