// The boot ROM's answers to the commands that program flash (prepare,
// erase, copy, execute) and to the handshake are outside input. The commands
// run against a scripted chip whose bytes are the input; whatever it says,
// each sends its own command text and nothing else, and a return-code line
// that is plainly 0 passes while one with another code fails. The handshake's
// replies go through the reader that keeps them, reply after reply as the
// handshake reads them (the handshake itself waits on the clock before each).
//
// Input: byte 0 picks the operation (bits 0-2), the echo setting (bit 3),
// whether the chip echoes the command exactly before its reply (bit 4) and an
// unaligned copy address (bit 5); bytes 1 and 2 the arguments; the rest is
// what the chip says.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "ScriptStream.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The code a reply begins with when it is one plain return-code line.
int plainCode(const std::string& reply) {
  size_t digits = 0;
  while (digits < reply.size() && digits < 2 && reply[digits] >= '0' && reply[digits] <= '9') ++digits;
  if (digits == 0 || reply.compare(digits, 2, "\r\n") != 0) return -1;
  if (digits == 2 && reply[0] == '0') return -1;
  return std::atoi(reply.substr(0, digits).c_str());
}

void command(uint8_t op, bool echo, bool echoed, bool unaligned, uint8_t a, uint8_t b, const std::string& said) {
  char text[64];
  bool refused = false;
  unsigned copyCount = 0;
  switch (op) {
    case 0:
    case 1:
      std::snprintf(text, sizeof text, "%c %u %u\r\n", op == 0 ? 'P' : 'E', a % 32u, b % 32u);
      refused = b % 32u < a % 32u;
      break;
    case 2: {
      static const unsigned kCounts[] = {256, 512, 1024, 4096, 2048};
      copyCount = kCounts[b % 5];
      std::snprintf(text, sizeof text, "C %u %u %u\r\n", a * 256u + (unaligned ? 0x80u : 0u),
                    NXPSerialClass::WRITE_ADDRESS, copyCount);
      refused = unaligned || copyCount == 2048;
      break;
    }
    default:
      std::snprintf(text, sizeof text, "G %u T\r\n", (a << 8) | b);
      break;
  }

  lpctest::ScriptStream chip;
  chip.endIsEOF = true;
  chip.replies = (echo && echoed ? std::string(text) : std::string()) + said;
  NXPSerialClass client;
  client.stream = chip.open();
  client.readPauseMs = 0;  // the scripted chip's bytes are all there: nothing to wait for
  client.echo = echo;

  aErr result = aErrNone;
  switch (op) {
    case 0: result = client.Prepare(a % 32u, b % 32u); break;
    case 1: result = client.Erase(a % 32u, b % 32u); break;
    case 2: result = client.CopyToFlash(a * 256u + (unaligned ? 0x80u : 0u), NXPSerialClass::WRITE_ADDRESS, copyCount); break;
    default: result = client.ExecuteFrom((a << 8) | b); break;
  }

  if (refused) {
    check(result == aErrParam && chip.written.empty());
    return;
  }
  check(chip.written == text);
  if (op == 3) {
    check(result == aErrNone);
    return;
  }
  check(result == aErrNone || result == aErrParam);
  // Only with the echo accounted for is it known where the reply starts.
  if (!echo || echoed) {
    const int code = plainCode(said);
    if (code == 0) check(result == aErrNone);
    if (code > 0) check(result == aErrParam);
  }
  if (result == aErrNone) check(chip.replies.substr(0, chip.at).find('0') != std::string::npos);
}

// The handshake's five replies in turn: the answer, the echo of the line
// sent back (one short, so its line feed leads the next), the acknowledgement,
// the echo of the crystal line, the acknowledgement.
void handshakeReplies(const uint8_t* in, size_t size) {
  static const uint64_t kLimits[] = {14, 13, 4, 6, 4};
  size_t at = 0;
  for (uint64_t limit : kLimits) {
    // Exactly limit + 1 bytes, so a store past them is a sanitizer's find.
    std::vector<char> buffer(limit + 1, 'x');
    NXPReplyReader reply(buffer.data(), limit);
    check(buffer[0] == '\0');
    while (at < size && !reply.complete()) {
      const uint8_t b = in[at++];
      const uint64_t before = reply.length();
      const NXPReplyReader::Step step = reply.feed(b);
      check(step != NXPReplyReader::Refused);
      if (step == NXPReplyReader::Kept || step == NXPReplyReader::Complete) {
        check(reply.length() == before + 1 && static_cast<uint8_t>(buffer[before]) == b);
        check(step == NXPReplyReader::Complete ? reply.complete() : !reply.complete());
      } else {
        check(reply.length() == before);
        check(step == NXPReplyReader::SkippedNul ? b == 0 && before < 3 : before == 0);
      }
    }
    const uint64_t n = reply.length();
    check(n <= limit && buffer[n] == '\0');
    if (n > 0) check(buffer[0] != '\r' && buffer[0] != '\n');
    for (uint64_t i = 0; i < n && i < 3; ++i) check(buffer[i] != '\0');
    if (reply.complete()) {
      check(n == limit || (n >= 2 && buffer[n - 2] == '\r' && buffer[n - 1] == '\n'));
      check(reply.feed('O') == NXPReplyReader::Refused && reply.length() == n);
    } else {
      check(at == size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 4096) return 0;
  const uint8_t op = data[0] & 7;
  if (op >= 5) return 0;
  if (op == 4) {
    handshakeReplies(data + 3, size - 3);
    return 0;
  }
  command(op, (data[0] & 0x08) != 0, (data[0] & 0x10) != 0, (data[0] & 0x20) != 0, data[1], data[2],
          std::string(reinterpret_cast<const char*>(data + 3), size - 3));
  return 0;
}
