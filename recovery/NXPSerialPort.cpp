// The LPC client's byte layer on the serial port: opening it, writing a
// text and reading back its echo, and reading a reply or a line, all
// through one read loop that paces the waits for a slow chip.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "NXPSerialClass.h"
#include "NXPSerialInternal.h"
#include "aStreamSerial.h"
#include "aTime.h"

using namespace nxpserial;

namespace {

// Bytes that match nothing expected stop a read after this many, so a chip
// that babbles cannot hold the caller forever.
constexpr unsigned kStrayLimit = 1024;

// Follows the two-byte line end: a byte that breaks the run starts it over
// without being tested against the first terminator byte again.
struct LineEnd {
  unsigned seen = 0;
  bool feed(uint8_t b) {
    seen = (b == static_cast<uint8_t>(kTerm[seen])) ? seen + 1 : 0;
    return seen == NXPSerialClass::TERMINATION_SIZE;
  }
};

bool sDumping() {
  return (Log::package_bitmask & DEBUG_NXPSerial_SR) != 0;
}

// "<title>" then the bytes in hex, "] [", the bytes as text and the closing
// (which carries its own "]"), written in slices the log line size allows.
void sDump(const char* title, const uint8_t* data, uint64_t n, const std::string& closing) {
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

// What a read does with one byte it took.
enum class Took {
  Kept,     // part of what is read
  Stray,    // matches nothing expected: counts against kStrayLimit
  Skipped,  // a line feed ahead of a line: costs an empty read and its pause
};

// The one read loop: takes bytes one at a time until `whole` says the read
// is done, `missBudget` empty reads or line feeds skipped have passed, or
// kStrayLimit strays have come. Each empty read and each skipped line feed
// pauses `pauseMs`; an empty read's pause ends early when a byte arrives on
// a stream that can tell. The code of the last read (aErrNone when it
// brought a byte).
template <class Whole, class Take>
aErr sReadBytes(aStream* stream, unsigned pauseMs, unsigned missBudget, Whole whole, Take take) {
  unsigned misses = 0;
  unsigned strays = 0;
  aErr last = aErrNone;
  while (!whole() && misses < missBudget && strays < kStrayLimit) {
    uint8_t b = 0;
    last = aStream_Read(stream, &b, 1);
    if (last == aErrNotReady) {
      ++misses;
      Log::log(DEBUG_NXPSerial_E, ".");
      if (pauseMs > 0 && aStream_WaitReadable(stream, pauseMs) == aErrMode)
        aTime_MSSleep(pauseMs);
      continue;
    }
    if (last != aErrNone)
      break;
    switch (take(b)) {
      case Took::Kept:
        break;
      case Took::Stray:
        ++strays;
        break;
      case Took::Skipped:
        ++misses;
        aTime_MSSleep(pauseMs);
        break;
    }
  }
  return last;
}

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() {
  Disconnect();
}

aErr NXPSerialClass::Connect(const char* devicePath, unsigned rate) {
  static const unsigned kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
  Disconnect();
  uint32_t code = 0;
  while (kRates[code] != 0 && kRates[code] < rate)
    ++code;
  if (kRates[code] == 0)
    code = aSerialBaud9600;
  baud = kRates[code];
  const char* shown = devicePath ? devicePath : "";
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", shown, static_cast<int>(code),
           static_cast<int>(baud));
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

aErr NXPSerialClass::Disconnect() {
  if (stream)
    aStream_Destroy(&stream);
  stream = nullptr;
  return aErrNone;
}

aErr NXPSerialClass::GetEcho(const char* expected, uint64_t count, uint64_t* matched) {
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
  uint64_t pos = 0;
  const aErr last = sReadBytes(
      stream, readPauseMs, kEmptyReadBudget, [&] { return pos >= count; },
      [&](uint8_t b) {
        const uint8_t want = static_cast<uint8_t>(expected[pos]);
        if (b != want) {
          Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", b, want);
          return Took::Stray;
        }
        Log::log(DEBUG_NXPSerial_E, " %02X", b);
        ++pos;
        return Took::Kept;
      });
  Log::log(DEBUG_NXPSerial_E, "]\n");
  if (matched)
    *matched = pos;
  return last;
}

aErr NXPSerialClass::GetLine(char* buffer, uint64_t capacity, uint64_t* length, unsigned missBudget) {
  if (!buffer || capacity == 0)
    return aErrParam;
  uint64_t len = 0;
  LineEnd end;
  bool terminated = false;
  const aErr last = sReadBytes(
      stream, readPauseMs, missBudget, [&] { return terminated || len >= capacity - 1; },
      [&](uint8_t b) {
        if (b == '\n' && len == 0) {
          Log::log(DEBUG_NXPSerial_E, ",");
          return Took::Skipped;
        }
        buffer[len++] = static_cast<char>(b);
        terminated = end.feed(b);
        return Took::Kept;
      });
  buffer[len] = '\0';
  if (length)
    *length = len;
  if (sDumping()) {
    char closing[128];
    std::snprintf(closing, sizeof closing, "] %d %s [%s]\n", static_cast<int>(len), terminated ? "term" : "non-term",
                  aError_GetErrorText(last));
    sDump("GetLine() Received: [", reinterpret_cast<const uint8_t*>(buffer), len, closing);
  }
  return last;
}

aErr NXPSerialClass::Response(char* buffer, uint64_t capacity, uint64_t* length, const char* expected,
                              uint64_t expectedLength) {
  if (!buffer || capacity == 0)
    return aErrParam;
  const uint32_t wait = WAIT_TIME_MS(expectedLength, baud) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
           static_cast<int>(baud), static_cast<int>(wait));
  aTime_MSSleep(wait);
  uint64_t limit = expected ? expectedLength : capacity - 1;
  if (limit > capacity - 1)
    limit = capacity - 1;
  NXPReplyReader reply(buffer, limit);
  const aErr last = sReadBytes(
      stream, readPauseMs, kEmptyReadBudget, [&] { return reply.complete(); },
      [&](uint8_t b) {
        const uint64_t at = reply.length();
        switch (reply.feed(b)) {
          case NXPReplyReader::SkippedLF:
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
            return Took::Stray;
          case NXPReplyReader::SkippedCR:
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
            return Took::Stray;
          case NXPReplyReader::SkippedNul:
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            return Took::Stray;
          default:
            break;
        }
        if (expected && b != static_cast<uint8_t>(expected[at])) {
          const uint8_t want = static_cast<uint8_t>(expected[at]);
          Log::log(DEBUG_NXPSerial_E, "Error Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                   static_cast<int>(at), b, std::isprint(b) ? b : ' ', std::isprint(want) ? want : ' ', want);
        }
        return Took::Kept;
      });
  if (length)
    *length = reply.length();
  sDump("Response: [", reinterpret_cast<const uint8_t*>(buffer), reply.length(), "]\n");
  return last;
}

NXPReplyReader::NXPReplyReader(char* buffer, uint64_t limit) : buffer_(buffer), limit_(limit) {
  buffer_[0] = '\0';
}

NXPReplyReader::Step NXPReplyReader::feed(uint8_t b) {
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

bool NXPReplyReader::complete() const {
  return stored_ >= limit_ || ended_ == NXPSerialClass::TERMINATION_SIZE;
}

aErr NXPSerialClass::Put(const char* text, const char* caller, bool showText, int settleMs, bool expectEcho,
                         uint64_t* matched) {
  if (matched)
    *matched = 0;
  if (!stream)
    return aErrConnection;
  const uint64_t n = std::strlen(text);
  if (sDumping()) {
    std::string closing = "]\n";
    if (showText) {
      closing = "] [";
      for (uint64_t i = 0; i < n; ++i)
        closing += std::isprint(static_cast<unsigned char>(text[i])) ? text[i] : ' ';
      closing += "]\n";
    }
    sDump("Sending:[", reinterpret_cast<const uint8_t*>(text), n, closing);
  }
  const aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), n);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error %s() [%s]\n", caller, aError_GetErrorText(err));
    return err;
  }
  if (settleMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", settleMs);
    aTime_MSSleep(static_cast<uint64_t>(settleMs));
  }
  // The last character's echo is left to the next reader.
  if (expectEcho && n > 1)
    GetEcho(text, n - 1, matched);
  return err;
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho) {
  return Put(text, "Send", false, 0, expectEcho, nullptr);
}

aErr NXPSerialClass::SendCommand(const char* text, int settleMs) {
  uint64_t matched = 0;
  const aErr err = Put(text, "SendCommand", true, settleMs, echo, &matched);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  const uint64_t n = std::strlen(text);
  if (echo && n > 1 && matched != n - 1)
    Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
             static_cast<int>(n - 1));
  return err;
}
