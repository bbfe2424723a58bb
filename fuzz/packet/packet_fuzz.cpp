// Received bytes are outside input: assemble them into packets the way a
// link's receive thread does, and read every packet that completes through
// the payload rules. The first input byte picks the assembler's habit:
// even, reset after every error (the link engine); odd, never reset (a
// careless caller), which must still stay inside the packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aPacket.h"
#include "aStream.h"

namespace {

void check(bool ok)
{
  if (!ok)
    std::abort();
}

void inspect(const aPacket* p)
{
  check(p->length <= aPACKET_MAX_DATA);
  check(p->address != 0 && (p->address & 1) == 0);
  aPacket* copy = aPacket_Copy(p);
  check(copy != nullptr);
  check(copy->length == p->length && std::memcmp(copy->data, p->data, p->length) == 0);
  uint8_t v = 0;
  check((aPacket_GetCmd(copy, &v) == aErrNone) == (p->length >= 1));
  check((aPacket_GetOption(copy, &v) == aErrNone) == (p->length >= 2));
  check((aPacket_GetIndex(copy, &v) == aErrNone) == (p->length >= 3));
  aUEI_isStreamPacket(copy);
  aUEI_isUEIPayload(copy);
  check(aUEI_getBytesSequence(copy) <= 0x7F);
  check(aUEI_getBytesContinue(copy) <= 1);
  aUEI_getBytesFullPacket(copy);
  if (copy->length >= 4) {
    const uint32_t n = aUEI_RetrieveInt(copy->data);
    uint8_t back[4];
    aUEI_StoreInt(back, n);
    check(std::memcmp(back, copy->data, 4) == 0);
  }
  aPacket_Destroy(&copy);
}

// Records ended by the first input bytes as separator, read from a stream
// that runs dry and comes back, so the push-back path is exercised too.
struct Source {
  const uint8_t* data;
  size_t size;
  size_t pos;
  size_t dryEvery;
  size_t calls;
};

aErr sourceGet(uint8_t* b, void* ref)
{
  auto* s = static_cast<Source*>(ref);
  if (s->pos >= s->size)
    return aErrEOF;
  if (s->dryEvery && ++s->calls % s->dryEvery == 0)
    return aErrNotReady;
  *b = s->data[s->pos++];
  return aErrNone;
}

void records(const uint8_t* data, size_t size)
{
  if (size < 3)
    return;
  const size_t sepLen = 1 + data[0] % 4;
  const uint64_t max = 1 + data[1] % 40;
  if (size < 2 + sepLen)
    return;
  const uint8_t* sep = data + 2;
  Source src{data + 2 + sepLen, size - 2 - sepLen, 0, static_cast<size_t>(data[1] % 7), 0};
  aStream* s = aStream_Create(sourceGet, nullptr, nullptr, nullptr, &src);
  if (!s)
    return;
  // Records and the separators between them give back the input exactly:
  // nothing lost, doubled or reordered by the push-backs. A record cut by
  // the maximum consumed no separator; the last one may have ended at the
  // end of the input instead of at a separator.
  std::vector<uint8_t> rebuilt;
  uint8_t out[40];
  bool ended = false;
  for (size_t guard = 0; guard < 4 * size + 16 && !ended; ++guard) {
    uint64_t len = 0;
    const aErr e = aStream_ReadRecord(s, out, &len, max, sep, sepLen);
    check(len <= max);
    if (e == aErrEOF) {
      check(len == 0);
      ended = true;
    } else if (e == aErrNone) {
      rebuilt.insert(rebuilt.end(), out, out + len);
      if (len < max)
        rebuilt.insert(rebuilt.end(), sep, sep + sepLen);
    } else {
      check(e == aErrNotReady);
    }
  }
  if (ended) {
    std::vector<uint8_t> input(src.data, src.data + src.size);
    if (rebuilt != input) {
      input.insert(input.end(), sep, sep + sepLen);
      check(rebuilt == input);
    }
  }
  aStream_Destroy(&s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size == 0)
    return 0;
  const bool resetOnError = (data[0] & 1) == 0;
  aPacket* p = aPacket_Create();
  if (!p)
    return 0;
  for (size_t i = 1; i < size; ++i) {
    const aErr e = aPacket_AddByte(p, data[i]);
    check(p->check == aPACKETCHECK);
    check(p->count <= aPACKET_MAX_WIRE + 1);
    if (e != aErrNone) {
      check(e == aErrPacket || e == aErrOverrun);
      if (resetOnError)
        aPacket_Reset(p);
      continue;
    }
    if (aPacket_IsComplete(p)) {
      inspect(p);
      if (resetOnError)
        aPacket_Reset(p);
    }
  }
  aPacket_Destroy(&p);
  if ((data[0] & 2) != 0)
    records(data + 1, size - 1);
  return 0;
}
