#include "NXPSerialClass.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aStreamSerial.h"
#include "aTime.h"

const NXPSectorInfo NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},
    {0x03000, 0x1000, 3},   {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},
    {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},   {0x08000, 0x1000, 8},
    {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15},  {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},
    {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},  {0x30000, 0x8000, 20},
    {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},
    {0x68000, 0x8000, 27},  {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

uint32_t WAIT_TIME_MS(uint64_t n, uint32_t r)
{
  if (r == 0)
    return 1;
  return static_cast<uint32_t>((n * 9000 + 18000) / r + 1);
}

namespace {

constexpr unsigned kEmptyReadBudget = 100;
constexpr unsigned kChecksumBudget = 2000;
constexpr uint64_t kLineCapacity = 1024;
constexpr uint64_t kNumberLineCapacity = 32;
// Bytes that match nothing expected stop a read after this many, so a chip
// that babbles cannot hold the caller forever.
constexpr unsigned kStrayLimit = 1024;
constexpr char kTerm[] = "\r\n";

// Follows the two-byte line end: a byte that breaks the run starts it over
// without being tested against the first terminator byte again.
struct LineEnd {
  unsigned seen = 0;
  bool feed(uint8_t b)
  {
    seen = (b == static_cast<uint8_t>(kTerm[seen])) ? seen + 1 : 0;
    return seen == NXPSerialClass::TERMINATION_SIZE;
  }
};

bool sEndsWithTerm(const char* line, uint64_t length)
{
  return length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n';
}

bool sDumping()
{
  return (Log::package_bitmask & DEBUG_NXPSerial_SR) != 0;
}

// "<title>" then the bytes in hex, "] [", the bytes as text and the closing
// (which carries its own "]"), written in slices the log line size allows.
void sDump(const char* title, const uint8_t* data, uint64_t n, const std::string& closing)
{
  if (!sDumping())
    return;
  std::string out = title;
  char hex[4];
  for (uint64_t i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, "%s%02X", i ? " " : "", data[i]);
    out += hex;
  }
  out += "] [";
  for (uint64_t i = 0; i < n; ++i) {
    if (data[i] == '\r')
      out += "\\r";
    else if (data[i] == '\n')
      out += "\\n";
    else if (std::isprint(data[i]))
      out += static_cast<char>(data[i]);
    else
      out += ' ';
  }
  out += closing;
  for (size_t at = 0; at < out.size(); at += 2000)
    Log::log(DEBUG_NXPSerial_SR, "%s", out.substr(at, 2000).c_str());
}

// One decimal number that makes up a whole reply line ("123\r\n"); false
// for a line cut short, empty, signed or carrying anything else.
bool sParseNumberLine(const char* line, uint64_t length, unsigned long* value)
{
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
aErr sLineFailure(aErr lastRead)
{
  return lastRead != aErrNone ? lastRead : aErrIO;
}

// One byte from the stream. An empty read counts against the caller's
// budget and pauses, so a silent chip is given up on after a bounded time.
aErr sReadByte(aStream* stream, uint8_t* b, unsigned* misses)
{
  const aErr err = aStream_Read(stream, b, 1);
  if (err == aErrNotReady) {
    ++*misses;
    Log::log(DEBUG_NXPSerial_E, ".");
    // A byte arriving ends the pause early; streams that cannot wait sleep.
    if (aStream_WaitReadable(stream, NXPSerialClass::EMPTY_READ_PAUSE_MS) == aErrMode)
      aTime_MSSleep(NXPSerialClass::EMPTY_READ_PAUSE_MS);
  }
  return err;
}

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass()
{
  Disconnect();
}

aErr NXPSerialClass::Connect(const char* devicePath, unsigned rate)
{
  static const unsigned kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
  Disconnect();
  uint32_t code = 0;
  while (kRates[code] != 0 && kRates[code] < rate)
    ++code;
  if (kRates[code] == 0)
    code = aSerialBaud9600;
  baud = kRates[code];
  const char* shown = devicePath ? devicePath : "";
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", shown,
           static_cast<int>(code), static_cast<int>(baud));
  const aErr err = aStream_CreateSerial(devicePath, code, 0, 0, 0, &stream);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", shown, aError_GetErrorText(err));
    stream = nullptr;
    return err;
  }
  if (std::strncmp(port, devicePath, sizeof port - 1) != 0) {
    std::strncpy(port, devicePath, sizeof port - 1);
    port[sizeof port - 1] = '\0';
  }
  return aErrNone;
}

aErr NXPSerialClass::Disconnect()
{
  if (stream)
    aStream_Destroy(&stream);
  stream = nullptr;
  return aErrNone;
}

// Where the return code sits in a reply line: with echo on, the character
// before the line end (what the echo left in front is skipped), else the first.
static uint64_t sErrorIndex(bool echo, uint64_t lineLength)
{
  return echo && lineLength > 2 ? lineLength - NXPSerialClass::TERMINATION_SIZE - 1 : 0;
}

uint8_t NXPSerialClass::GetErrorIndex(uint64_t lineLength)
{
  return static_cast<uint8_t>(sErrorIndex(echo, lineLength));
}

// ---------------------------------------------------------------------------
// Lower layer

aErr NXPSerialClass::GetEcho(const char* expected, uint64_t count, uint64_t* matched)
{
  uint64_t pos = 0;
  unsigned misses = 0;
  unsigned strays = 0;
  aErr last = aErrNone;
  if (Log::package_bitmask & DEBUG_NXPSerial_E) {
    std::string hex;
    char h[4];
    for (uint64_t i = 0; i < count; ++i) {
      std::snprintf(h, sizeof h, "%s%02X", i ? " " : "", static_cast<uint8_t>(expected[i]));
      hex += h;
    }
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", hex.c_str(), static_cast<int>(count));
    Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
  }
  while (pos < count && misses < kEmptyReadBudget && strays < kStrayLimit) {
    uint8_t b = 0;
    last = sReadByte(stream, &b, &misses);
    if (last == aErrNotReady)
      continue;
    if (last != aErrNone)
      break;
    if (b == static_cast<uint8_t>(expected[pos])) {
      Log::log(DEBUG_NXPSerial_E, " %02X", b);
      ++pos;
    } else {
      Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", b, static_cast<uint8_t>(expected[pos]));
      ++strays;
    }
  }
  Log::log(DEBUG_NXPSerial_E, "]\n");
  if (matched)
    *matched = pos;
  return last;
}

aErr NXPSerialClass::GetLine(char* buffer, uint64_t capacity, uint64_t* length, unsigned missBudget)
{
  if (!buffer || capacity == 0)
    return aErrParam;
  uint64_t len = 0;
  unsigned misses = 0;
  LineEnd end;
  bool terminated = false;
  aErr last = aErrNone;
  while (len < capacity - 1 && misses < missBudget) {
    uint8_t b = 0;
    last = sReadByte(stream, &b, &misses);
    if (last == aErrNotReady)
      continue;
    if (last != aErrNone)
      break;
    if (b == '\n' && len == 0) {
      ++misses;
      Log::log(DEBUG_NXPSerial_E, ",");
      aTime_MSSleep(1);
      continue;
    }
    buffer[len++] = static_cast<char>(b);
    if (end.feed(b)) {
      terminated = true;
      break;
    }
  }
  buffer[len] = '\0';
  if (length)
    *length = len;
  if (sDumping()) {
    char closing[128];
    std::snprintf(closing, sizeof closing, "] %d %s [%s]\n", static_cast<int>(len),
                  terminated ? "term" : "non-term", aError_GetErrorText(last));
    sDump("GetLine() Received: [", reinterpret_cast<const uint8_t*>(buffer), len, closing);
  }
  return last;
}

aErr NXPSerialClass::Response(char* buffer, uint64_t capacity, uint64_t* length,
                              const char* expected, uint64_t expectedLength)
{
  if (!buffer || capacity == 0)
    return aErrParam;
  const uint32_t wait = WAIT_TIME_MS(expectedLength, baud) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
           static_cast<int>(expectedLength), static_cast<int>(baud), static_cast<int>(wait));
  aTime_MSSleep(wait);
  uint64_t limit = expected ? expectedLength : capacity - 1;
  if (limit > capacity - 1)
    limit = capacity - 1;
  NXPReplyReader reply(buffer, limit);
  unsigned misses = 0;
  unsigned strays = 0;
  aErr last = aErrNone;
  while (!reply.complete() && misses < kEmptyReadBudget && strays < kStrayLimit) {
    uint8_t b = 0;
    last = sReadByte(stream, &b, &misses);
    if (last == aErrNotReady)
      continue;
    if (last != aErrNone)
      break;
    const uint64_t at = reply.length();
    const NXPReplyReader::Step step = reply.feed(b);
    if (step == NXPReplyReader::SkippedLF || step == NXPReplyReader::SkippedCR) {
      Log::log(DEBUG_NXPSerial_E, step == NXPReplyReader::SkippedLF ? "Response ignoring leading \\n\n"
                                                                    : "Response ignoring leading \\r\n");
      ++strays;
      continue;
    }
    if (step == NXPReplyReader::SkippedNul) {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      ++strays;
      continue;
    }
    if (expected && b != static_cast<uint8_t>(expected[at])) {
      const uint8_t want = static_cast<uint8_t>(expected[at]);
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(at), b, std::isprint(b) ? b : ' ', std::isprint(want) ? want : ' ',
               want);
    }
  }
  if (length)
    *length = reply.length();
  sDump("Response: [", reinterpret_cast<const uint8_t*>(buffer), reply.length(), "]\n");
  return last;
}

NXPReplyReader::NXPReplyReader(char* buffer, uint64_t limit) : buffer_(buffer), limit_(limit)
{
  buffer_[0] = '\0';
}

NXPReplyReader::Step NXPReplyReader::feed(uint8_t b)
{
  if (complete())
    return Refused;
  if (stored_ == 0 && b == '\n')
    return SkippedLF;
  if (stored_ == 0 && b == '\r')
    return SkippedCR;
  if (stored_ < 3 && b == 0)
    return SkippedNul;
  buffer_[stored_++] = static_cast<char>(b);
  buffer_[stored_] = '\0';
  LineEnd end{ended_};
  end.feed(b);
  ended_ = end.seen;
  return complete() ? Complete : Kept;
}

bool NXPReplyReader::complete() const
{
  return stored_ >= limit_ || ended_ == NXPSerialClass::TERMINATION_SIZE;
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho)
{
  if (!stream)
    return aErrConnection;
  const uint64_t n = std::strlen(text);
  sDump("Sending:[", reinterpret_cast<const uint8_t*>(text), n, "]\n");
  const aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), n);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (expectEcho && n > 1) {
    uint64_t matched = 0;
    GetEcho(text, n - 1, &matched);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int settleMs)
{
  if (!stream)
    return aErrConnection;
  const uint64_t n = std::strlen(text);
  if (sDumping()) {
    std::string printable;
    for (uint64_t i = 0; i < n; ++i)
      printable += std::isprint(static_cast<unsigned char>(text[i])) ? text[i] : ' ';
    sDump("Sending:[", reinterpret_cast<const uint8_t*>(text), n, "] [" + printable + "]\n");
  }
  const aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), n);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (settleMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", settleMs);
    aTime_MSSleep(static_cast<uint64_t>(settleMs));
  }
  if (echo && n > 1) {
    uint64_t matched = 0;
    GetEcho(text, n - 1, &matched);
    if (matched != n - 1)
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(n - 1));
  }
  return err;
}

// ---------------------------------------------------------------------------
// Static helpers

const char* NXPSerialClass::GetErrorText(const char* line)
{
  const long code = line ? std::strtol(line, nullptr, 0) : 0;
  if (code < 0 || code > MAX_ERROR)
    return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

unsigned NXPSerialClass::CopyLength(unsigned n)
{
  for (unsigned size : {256u, 512u, 1024u, 4096u})
    if (n <= size)
      return size;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
  return n;
}

unsigned NXPSerialClass::SectorFromAddress(unsigned address)
{
  const NXPSectorInfo* row = NXP_LPC17XX_sectors;
  while (row->size != 0 && !(address >= row->start && address - row->start < row->size))
    ++row;
  return row->sector;
}

int NXPSerialClass::sum(const unsigned char* data, unsigned n)
{
  int total = 0;
  for (unsigned i = 0; i < n; ++i)
    total += data[i];
  return total;
}

char NXPSerialClass::uuchar(unsigned value)
{
  const unsigned v = value & 0x3F;
  return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

unsigned NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned n)
{
  char* p = out;
  *p++ = uuchar(n);
  for (unsigned i = 0; i < n; i += 3) {
    const uint32_t b0 = data[i];
    const uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    const uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    *p++ = uuchar(group >> 18);
    *p++ = uuchar(group >> 12);
    *p++ = uuchar(group >> 6);
    *p++ = uuchar(group);
  }
  *p = '\0';
  return n;
}

unsigned NXPSerialClass::uudecode(unsigned char* out, unsigned room, const char* line)
{
  if (!line || !out || line[0] == '\0')
    return 0;
  const unsigned n = (static_cast<unsigned char>(line[0]) - 0x20u) & 0x3F;
  if (n > room)
    return 0;
  const char* p = line + 1;
  unsigned stored = 0;
  while (stored < n) {
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = p[k];
      if (c == '\0' || c == '\r' || c == '\n') {
        // The line ended inside its data: only whole groups before it count.
        Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
        return stored;
      }
      group = (group << 6) | ((static_cast<unsigned char>(c) - 0x20u) & 0x3F);
    }
    p += 4;
    for (int k = 2; k >= 0 && stored < n; --k)
      out[stored++] = static_cast<unsigned char>(group >> (8 * k));
  }
  return stored;
}

// ---------------------------------------------------------------------------
// Handshake and commands

aErr NXPSerialClass::Sync()
{
  static const char kSynchronized[] = "Synchronized\r\n";
  char buf[kLineCapacity];
  uint64_t len = 0;

  aErr err = Send("?", false);
  if (err != aErrNone)
    return err;
  err = Response(buf, sizeof buf, &len, kSynchronized, 14);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n", "?",
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
  std::snprintf(crystal, sizeof crystal, "%d\r\n",
                static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
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
aErr NXPSerialClass::Exchange(const char* text, const char* logPrefix, uint32_t responsePackage,
                              char* line, uint64_t* length)
{
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

bool NXPSerialClass::ReturnCodeIsSuccess(const char* line, uint64_t length, bool echo)
{
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

aErr NXPSerialClass::Unlock()
{
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange("U 23130\r\n", "", 0, line, &len);
}

aErr NXPSerialClass::SetBaudRate(unsigned rate)
{
  char text[64];
  std::snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", 0, line, &len);
}

aErr NXPSerialClass::SetEcho(bool on)
{
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

aErr NXPSerialClass::SectorCommand(char letter, unsigned firstSector, unsigned lastSector)
{
  if (lastSector < firstSector)
    return aErrParam;
  char text[64];
  std::snprintf(text, sizeof text, "%c %u %u\r\n", letter, firstSector, lastSector);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", DEBUG_NXPSerial, line, &len);
}

aErr NXPSerialClass::Prepare(unsigned firstSector, unsigned lastSector)
{
  return SectorCommand('P', firstSector, lastSector);
}

aErr NXPSerialClass::Erase(unsigned firstSector, unsigned lastSector)
{
  return SectorCommand('E', firstSector, lastSector);
}

aErr NXPSerialClass::CopyToFlash(unsigned flashAddress, unsigned ramAddress, unsigned count)
{
  if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
    return aErrParam;
  char text[96];
  std::snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  char line[kLineCapacity];
  uint64_t len = 0;
  return Exchange(text, "", DEBUG_NXPSerial, line, &len);
}

aErr NXPSerialClass::ExecuteFrom(unsigned address)
{
  char text[64];
  std::snprintf(text, sizeof text, "G %u T\r\n", address);
  return SendCommand(text, 0);
}

// The command line of Write ('W') or Read ('R'), after the checks both share.
aErr NXPSerialClass::DataCommand(char letter, unsigned address, unsigned count, const void* data,
                                 char* line, uint64_t* length)
{
  if (count == 0 || count % 4 != 0 || !data)
    return aErrParam;
  char text[64];
  std::snprintf(text, sizeof text, "%c %u %u\r\n", letter, address, count);
  return letter == 'W' ? Exchange(text, "Write() ", DEBUG_NXPSerial_SR, line, length)
                       : Exchange(text, "", DEBUG_NXPSerial, line, length);
}

aErr NXPSerialClass::Write(unsigned ramAddress, unsigned count, unsigned char* data)
{
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
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", static_cast<unsigned>(checksum),
             checksum);
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
      Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               static_cast<int>(sent), static_cast<int>(count), sent * 100.0 / count);
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

aErr NXPSerialClass::Read(unsigned address, unsigned count, unsigned char* destination)
{
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

aErr NXPSerialClass::ReadNumbers(const char* text, unsigned long* values, unsigned count)
{
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

aErr NXPSerialClass::GetDeviceID()
{
  unsigned long words[4] = {};
  const aErr err = ReadNumbers("N\r\n", words, 4);
  if (err != aErrNone)
    return err;
  for (int i = 0; i < 4; ++i)
    deviceID[i] = static_cast<uint32_t>(words[i]);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* partNumber)
{
  if (!partNumber)
    return aErrParam;
  unsigned long value = 0;
  const aErr err = ReadNumbers("J\r\n", &value, 1);
  if (err != aErrNone)
    return err;
  *partNumber = static_cast<long>(value);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n",
           static_cast<long long>(*partNumber));
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* major, unsigned char* minor)
{
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
