// Feeds arbitrary chip replies to the ISP client's readers. The first byte
// picks the operation and the echo setting; the rest is what the chip says,
// followed by the end of the stream so no reader waits on a clock.
//
// The same bytes also make a well-behaved chip's answers, whose results must
// be what it said: Unlock succeeds exactly on return code 0; the boot-loader
// version and part number come back as sent; Write sends the data as lines
// that decode to it, with the checksum of their bytes, and ends as the
// checksum answers say (OK, up to two resends, anything else an error); and
// uuencoded bytes decode to themselves.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "NXPSerialClass.h"
#include "ScriptStream.h"

namespace {

struct Values {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
};

std::string number(unsigned long v)
{
  char text[32];
  std::snprintf(text, sizeof text, "%lu", v);
  return text;
}

// A chip that says `replies`; echo on, the command's echo (all but its LF,
// which reaches the next reader) comes first.
struct Chip {
  lpctest::ScriptStream script;
  NXPSerialClass client;
  Chip(bool echo, const std::string& command, const std::string& replies)
  {
    script.replies = (echo ? command.substr(0, command.size() - 1) + "\n" : std::string()) + replies;
    script.endIsEOF = true;
    client.stream = script.open();
    client.echo = echo;
  }
};

void checkUnlock(Values& v, bool echo)
{
  const unsigned code = v.next() % 21;
  Chip chip(echo, "U 23130\r\n", number(code) + "\r\n");
  check(chip.client.Unlock() == (code == 0 ? aErrNone : aErrParam));
  check(chip.script.written == "U 23130\r\n");
}

void checkNumbers(Values& v, bool echo)
{
  const unsigned major = v.next(), minor = v.next();
  Chip version(echo, "K\r\n", "0\r\n" + number(major) + "\r\n" + number(minor) + "\r\n");
  unsigned char gotMajor = 0, gotMinor = 0;
  check(version.client.GetBootLoaderVersion(&gotMajor, &gotMinor) == aErrNone);
  check(gotMajor == major && gotMinor == minor);

  unsigned long part = 0;
  for (int i = 0; i < 4; ++i)
    part = part << 8 | v.next();
  Chip chip(echo, "J\r\n", "0\r\n" + number(part) + "\r\n");
  long gotPart = 0;
  check(chip.client.GetPartNumber(&gotPart) == aErrNone);
  check(static_cast<unsigned long>(gotPart) == part);
}

// Up to 256 bytes: one block of lines, one checksum per attempt.
void checkWrite(Values& v)
{
  const unsigned count = 4u * (1u + v.next() % 64);
  std::vector<unsigned char> bytes(count);
  for (unsigned char& b : bytes)
    b = v.next();
  // The checksum answers, until one ends the transfer.
  std::string replies = "0\r\n";
  aErr expected = aErrIO;  // the answers ran out: no line is no OK
  unsigned attempts = 0;
  for (unsigned resends = 0; attempts < 4;) {
    ++attempts;
    const uint8_t kind = v.next() % 5;
    if (kind == 4)
      break;  // the chip says nothing more
    if (kind <= 1) {
      replies += "OK\r\n";
      expected = aErrNone;
      break;
    }
    if (kind == 2) {
      replies += "RESEND\r\n";
      if (++resends == NXPSerialClass::MAX_READ_RETRY) {
        expected = aErrTimeout;
        break;
      }
      continue;
    }
    replies += "OKAY\r\n";
    expected = aErrIO;
    break;
  }
  Chip chip(false, "", replies);
  check(chip.client.Write(NXPSerialClass::WRITE_ADDRESS, count, bytes.data()) == expected);

  // What went out: the command, then per attempt the data lines and the
  // checksum of their bytes.
  const std::string& out = chip.script.written;
  const std::string command = "W 268439552 " + number(count) + "\r\n";
  check(out.compare(0, command.size(), command) == 0);
  size_t at = command.size();
  auto line = [&]() {
    const size_t end = out.find("\r\n", at);
    check(end != std::string::npos);
    std::string text = out.substr(at, end - at);
    at = end + 2;
    return text;
  };
  int sum = 0;
  for (unsigned char b : bytes)
    sum += b;
  for (unsigned a = 0; a < attempts && at < out.size(); ++a) {
    std::vector<unsigned char> decoded;
    while (decoded.size() < count) {
      unsigned char part[NXPSerialClass::MAX_BYTES_PER_LINE];
      const unsigned n = NXPSerialClass::uudecode(part, sizeof part, line().c_str());
      check(n > 0);
      decoded.insert(decoded.end(), part, part + n);
    }
    check(decoded == bytes);
    check(line() == number(static_cast<unsigned long>(sum)));
  }
  check(at == out.size());
}

void checkUuRoundTrip(Values& v)
{
  const unsigned n = v.next() % (NXPSerialClass::MAX_BYTES_PER_LINE + 1);
  unsigned char bytes[NXPSerialClass::MAX_BYTES_PER_LINE];
  for (unsigned i = 0; i < n; ++i)
    bytes[i] = v.next();
  char line[2 + 4 * ((NXPSerialClass::MAX_BYTES_PER_LINE + 2) / 3)];
  check(NXPSerialClass::uuencode(line, bytes, n) == n);
  check(std::strlen(line) == 1 + 4 * ((n + 2) / 3));
  for (const char* c = line; *c; ++c)
    check(*c > ' ' && *c <= '`');  // no blank a line end could swallow
  unsigned char back[NXPSerialClass::MAX_BYTES_PER_LINE + 3];
  std::memset(back, 0xA5, sizeof back);
  check(NXPSerialClass::uudecode(back, n, line) == n);
  check(std::memcmp(back, bytes, n) == 0);
  for (size_t i = n; i < sizeof back; ++i)
    check(back[i] == 0xA5);
}

void checkWellBehavedChip(const uint8_t* data, size_t size)
{
  Values v{data, size};
  const bool echo = (v.next() & 0x40) != 0;
  checkUnlock(v, echo);
  checkNumbers(v, echo);
  checkUuRoundTrip(v);
  checkWrite(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 2 || size > 4096)
    return 0;
  checkWellBehavedChip(data, size);
  lpctest::ScriptStream chip;
  chip.replies.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  chip.endIsEOF = true;
  NXPSerialClass client;
  client.stream = chip.open();
  client.readPauseMs = 0;  // the scripted chip's bytes are all there: nothing to wait for
  client.echo = (data[0] & 0x80) != 0;
  const unsigned count = 4u * (1u + data[1] % 64);  // a legal transfer size, up to 256

  switch (data[0] % 6) {
  case 0:
    client.Unlock();
    break;
  case 1: {
    if (client.GetDeviceID() != aErrNone)
      for (uint32_t w : client.deviceID)
        if (w != 0)
          std::abort();  // a failed read must not leave words behind
    break;
  }
  case 2: {
    unsigned char out[256];
    std::memset(out, 0x5A, sizeof out);
    client.Write(NXPSerialClass::WRITE_ADDRESS, count, out);
    break;
  }
  case 3: {
    // Echo off: with it on, the acknowledgement read waits on the clock.
    client.echo = false;
    unsigned char dest[256 + 16];
    std::memset(dest, 0xA5, sizeof dest);
    client.Read(0, count, dest);
    for (unsigned i = count; i < sizeof dest; ++i)
      if (dest[i] != 0xA5)
        std::abort();  // wrote past the destination
    break;
  }
  case 4: {
    unsigned char major = 0, minor = 0;
    long part = 0;
    client.GetBootLoaderVersion(&major, &minor);
    client.GetPartNumber(&part);
    break;
  }
  default: {
    const std::string line(chip.replies);
    NXPSerialClass::GetErrorText(line.c_str());
    unsigned char out[64];
    const unsigned room = data[1] % 64;
    if (NXPSerialClass::uudecode(out, room, line.c_str()) > room)
      std::abort();
    break;
  }
  }
  return 0;
}
