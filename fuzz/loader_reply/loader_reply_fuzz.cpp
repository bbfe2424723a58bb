// The loader's replies during an update are outside input: hand one
// reply's data bytes to one of the readers and check what it gives against
// the reply rules worked out here from the bytes. The data lie in a block
// of exactly their length, so a reader that looks past it is caught; what a
// reader leaves alone must stay as it was.
//
// Input: the reader (first byte, modulo 5), then the reply's data.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "LoaderReplies.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

uint32_t word(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

constexpr uint32_t kUnset32 = 0xDEADBEEF;
constexpr uint16_t kUnset16 = 0xBEEF;
constexpr uint8_t kUnset8 = 0xEE;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 1) return 0;
  const unsigned reader = in[0] % 5u;
  const size_t rest = size - 1 > 255 ? 255 : size - 1;
  const uint8_t n = static_cast<uint8_t>(rest);
  uint8_t* d = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  check(d != nullptr);
  std::memcpy(d, in + 1, n);

  switch (reader) {
    case 0: {
      uint32_t base = kUnset32;
      const aErr e = loaderreply::init(d, n, &base);
      if (n >= 6) {
        check(e == aErrNone && base == word(d + 2));
      } else {
        check(e == aErrPacket && base == kUnset32);
      }
      break;
    }
    case 1: {
      uint8_t status = kUnset8;
      uint16_t block = kUnset16;
      const aErr e = loaderreply::prepare(d, n, &status, &block);
      if (n < 3) {
        check(e == aErrPacket && status == kUnset8 && block == kUnset16);
      } else if (d[2] != loaderreply::kStatusOK) {
        check(e == aErrInvalidOption && status == d[2] && block == kUnset16);
      } else if (n < 5) {
        check(e == aErrPacket && status == d[2] && block == kUnset16);
      } else {
        check(e == aErrNone && status == d[2] && block == ((d[3] << 8) | d[4]));
      }
      break;
    }
    case 2: {
      uint8_t accepted = kUnset8;
      const aErr e = loaderreply::dataAck(d, n, &accepted);
      check(n < 3 ? e == aErrPacket && accepted == kUnset8 : e == aErrNone && accepted == d[2]);
      break;
    }
    case 3: {
      uint8_t status = kUnset8;
      uint32_t theirs = kUnset32;
      const aErr e = loaderreply::sum(d, n, &status, &theirs);
      if (n < 3) {
        check(e == aErrPacket && status == kUnset8 && theirs == kUnset32);
      } else if (d[2] == loaderreply::kStatusOK && n < 7) {
        // A sum that says OK but carries none must not be compared.
        check(e == aErrPacket && theirs == kUnset32);
      } else {
        check(e == aErrNone && status == d[2] && theirs == (n >= 7 ? word(d + 3) : 0));
      }
      break;
    }
    case 4: {
      const aErr e = loaderreply::write(d, n);
      check(e == (n >= 3 && d[2] == loaderreply::kStatusOK ? aErrNone : aErrInvalidOption));
      break;
    }
  }
  std::free(d);
  return 0;
}
