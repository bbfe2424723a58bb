#include "aStream.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "aFile.h"
#include "aStreamInternal.h"

bool aVALIDSTREAM(const aStream* stream) {
  return stream != nullptr && stream->check == aSTREAMCHECK;
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                        void* ref) {
  aStream* s = new (std::nothrow) aStream{};
  if (!s)
    return nullptr;
  s->get = get;
  s->put = put;
  s->write = write;
  s->del = del;
  s->ref = ref;
  s->check = aSTREAMCHECK;
  return s;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_WaitReadable(aStream* stream, uint64_t ms) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  if (stream->ringCount > 0)
    return aErrNone;
  if (!stream->wait)
    return aErrMode;
  return stream->wait(ms, stream->ref);
}

aErr aStream_SetEpochProc(aStream* stream, aStreamEpochProc epoch) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  stream->epoch = epoch;
  return aErrNone;
}

aErr aStream_GetEpoch(aStream* stream, uint64_t* epoch) {
  if (!aVALIDSTREAM(stream) || !epoch)
    return aErrParam;
  if (!stream->epoch)
    return aErrMode;
  return stream->epoch(epoch, stream->ref);
}

aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  stream->interrupt = interrupt;
  return aErrNone;
}

aErr aStream_Interrupt(aStream* stream) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  return stream->interrupt ? stream->interrupt(stream->ref) : aErrNone;
}

// ---- push-back ring ----

// Makes room for n more bytes. The ring grows in whole chunks whenever it
// would hold more than capacity - 1 bytes; the held bytes move to the start
// of the new buffer in reading order.
static aErr sRingReserve(aStream* s, uint64_t n) {
  uint64_t cap = s->ringCapacity;
  while (s->ringCount + n > (cap == 0 ? 0 : cap - 1))
    cap += aSTREAMBUFCHUNK;
  if (cap == s->ringCapacity)
    return aErrNone;
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
  if (!buf)
    return aErrMemory;
  for (uint64_t i = 0; i < s->ringCount; ++i)
    buf[i] = s->ring[(s->ringRead + i) % s->ringCapacity];
  std::free(s->ring);
  s->ring = buf;
  s->ringCapacity = cap;
  s->ringRead = 0;
  s->ringWrite = s->ringCount;
  return aErrNone;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
  if (!aVALIDSTREAM(stream))
    return aErrParam;
  aErr e = sRingReserve(stream, 1);
  if (e != aErrNone)
    return e;
  stream->ring[stream->ringWrite] = byte;
  stream->ringWrite = (stream->ringWrite + 1) % stream->ringCapacity;
  ++stream->ringCount;
  return aErrNone;
}

// Returns bytes a read took but cannot use to the front of the ring, so they
// are read again before anything held there.
static aErr sUnread(aStream* s, const uint8_t* bytes, uint64_t n) {
  if (n == 0)
    return aErrNone;
  aErr e = sRingReserve(s, n);
  if (e != aErrNone)
    return e;
  s->ringRead = (s->ringRead + s->ringCapacity - n % s->ringCapacity) % s->ringCapacity;
  for (uint64_t i = 0; i < n; ++i)
    s->ring[(s->ringRead + i) % s->ringCapacity] = bytes[i];
  s->ringCount += n;
  return aErrNone;
}

// One byte: from the ring while it holds any, else from the transport.
static aErr sTake(aStream* s, uint8_t* byte) {
  if (s->ringCount > 0) {
    *byte = s->ring[s->ringRead];
    s->ringRead = (s->ringRead + 1) % s->ringCapacity;
    --s->ringCount;
    return aErrNone;
  }
  return s->get(byte, s->ref);
}

// ---- reading ----

aErr aStream_Read(aStream* stream, uint8_t* dest, uint64_t n) {
  if (!aVALIDSTREAM(stream) || !dest)
    return aErrParam;
  if (!stream->get)
    return aErrMode;
  // The link engine reads one byte at a time; that path needs no scratch.
  if (n == 1)
    return sTake(stream, dest);

  uint8_t small[64];
  std::unique_ptr<uint8_t[]> big;
  uint8_t* scratch = small;
  if (n > sizeof small) {
    big.reset(new (std::nothrow) uint8_t[n]);
    if (!big)
      return aErrResource;
    scratch = big.get();
  }
  uint64_t k = 0;
  aErr e = aErrNone;
  while (k < n && (e = sTake(stream, &scratch[k])) == aErrNone)
    ++k;
  if (e == aErrNotReady) {
    // A read that cannot finish now reads nothing: the next one starts with
    // the same bytes. Should the ring fail to grow, the bytes are lost.
    aErr pe = sUnread(stream, scratch, k);
    return pe == aErrNone ? aErrNotReady : pe;
  }
  if (e != aErrNone && e != aErrEOF)
    return e;
  std::memcpy(dest, scratch, k);
  return e;
}

// Throws std::bad_alloc when scratch space cannot be made.
static aErr sReadRecord(aStream* stream, uint8_t* dest, uint64_t* length, uint64_t max, const uint8_t* separator,
                        uint64_t separatorLength) {
  std::vector<uint8_t> stored;
  stored.reserve(max);
  std::vector<uint8_t> pend(separatorLength);  // scratch for re-matching after a mismatch
  // The last `matched` bytes taken equal the separator's first bytes; they
  // are not stored until they turn out not to be a whole separator.
  uint64_t matched = 0;
  aErr result = aErrNone;

  // Stores bytes[0..n) as record data, as far as the maximum allows; once
  // the record is full, bytes[stored..total) go back to the stream in order.
  // True when the record is full.
  auto store = [&](const uint8_t* bytes, uint64_t n, uint64_t total) {
    const uint64_t take = n < max - stored.size() ? n : max - stored.size();
    stored.insert(stored.end(), bytes, bytes + take);
    if (stored.size() < max)
      return false;
    sUnread(stream, bytes + take, total - take);
    return true;
  };

  for (;;) {
    uint8_t b = 0;
    aErr e = sTake(stream, &b);
    if (e == aErrNotReady) {
      std::vector<uint8_t> taken(stored);
      taken.insert(taken.end(), separator, separator + matched);
      aErr pe = sUnread(stream, taken.data(), taken.size());
      return pe == aErrNone ? aErrNotReady : pe;
    }
    if (e == aErrEOF) {
      if (stored.empty() && matched == 0)
        result = aErrEOF;
      else
        store(separator, matched, matched);
      break;
    }
    if (e != aErrNone)
      return e;
    if (separator[matched] == b) {
      if (++matched == separatorLength)
        break;
      continue;
    }
    // Mismatch: of the partial match plus this byte, the longest tail that
    // still begins the separator stays pending; what precedes it is data.
    std::memcpy(pend.data(), separator, matched);
    pend[matched] = b;
    const uint64_t total = matched + 1;
    uint64_t shift = 1;
    for (; shift < total; ++shift)
      if (std::memcmp(pend.data() + shift, separator, total - shift) == 0)
        break;
    matched = total - shift;
    if (store(pend.data(), shift, total))
      break;
  }
  std::memcpy(dest, stored.data(), stored.size());
  if (length)
    *length = stored.size();
  return result;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* dest, uint64_t* length, uint64_t max, const uint8_t* separator,
                        uint64_t separatorLength) {
  if (!aVALIDSTREAM(stream) || !dest || !separator || separatorLength == 0 || max == 0)
    return aErrParam;
  if (!stream->get)
    return aErrMode;
  try {
    return sReadRecord(stream, dest, length, max, separator, separatorLength);
  } catch (const std::bad_alloc&) {
    return aErrResource;
  } catch (const std::length_error&) {
    return aErrResource;
  }
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size, const char* separator) {
  if (!aVALIDSTREAM(stream) || !buffer || !separator || size < 2 || separator[0] == '\0')
    return aErrParam;
  uint64_t n = 0;
  aErr e = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &n, size - 1,
                              reinterpret_cast<const uint8_t*>(separator), std::strlen(separator));
  if (e == aErrNone || e == aErrEOF)
    buffer[n] = '\0';
  return e;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size) {
  if (!aVALIDSTREAM(stream) || !buffer || size < 2)
    return aErrParam;
  static const uint8_t nul = 0;
  uint64_t n = 0;
  aErr e = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &n, size - 1, &nul, 1);
  if (e == aErrNone || e == aErrEOF)
    buffer[n] = '\0';
  return e;
}

// ---- writing ----

aErr aStream_Write(aStream* stream, const uint8_t* data, uint64_t n) {
  if (!aVALIDSTREAM(stream) || !data)
    return aErrParam;
  if (!stream->write && !stream->put)
    return aErrMode;
  if (stream->write && (n > 1 || !stream->put))
    return stream->write(data, n, stream->ref);
  for (uint64_t i = 0; i < n; ++i) {
    aErr e = stream->put(&data[i], stream->ref);
    if (e != aErrNone)
      return e;
  }
  return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint64_t length, const uint8_t* separator,
                         uint64_t separatorLength) {
  if (!aVALIDSTREAM(stream) || !data || !separator || separatorLength == 0)
    return aErrParam;
  aErr e = aStream_Write(stream, data, length);
  return e != aErrNone ? e : aStream_Write(stream, separator, separatorLength);
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (!text)
    return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator) {
  if (!text || !separator)
    return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                             reinterpret_cast<const uint8_t*>(separator), std::strlen(separator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
    return aErrParam;
  if (!source->get || !destination->put)
    return aErrMode;
  for (;;) {
    uint8_t b = 0;
    aErr e = source->get(&b, source->ref);
    if (e == aErrEOF)
      return aErrNone;
    if (e != aErrNone)
      return e;
    e = destination->put(&b, destination->ref);
    if (e != aErrNone)
      return e;
  }
}

aErr aStream_Destroy(aStream** stream) {
  if (!stream)
    return aErrParam;
  aStream* s = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(s))
    return aErrParam;
  aErr e = s->del ? s->del(s->ref) : aErrNone;
  std::free(s->ring);
  s->check = 0;
  delete s;
  return e;
}

// ---- file streams ----

static aErr sFileGet(uint8_t* byte, void* ref) {
  if (!ref)
    return aErrIO;
  return aFile_Read(static_cast<aFile*>(ref), byte, 1, nullptr);
}

static aErr sFilePut(const uint8_t* byte, void* ref) {
  if (!ref)
    return aErrIO;
  return aFile_Write(static_cast<aFile*>(ref), byte, 1, nullptr);
}

static aErr sFileWrite(const uint8_t* data, uint64_t length, void* ref) {
  if (!ref)
    return aErrIO;
  return aFile_Write(static_cast<aFile*>(ref), data, length, nullptr);
}

static aErr sFileDelete(void* ref) {
  if (!ref)
    return aErrIO;
  aFile* f = static_cast<aFile*>(ref);
  return aFile_Close(&f);
}

static aErr sCreateFile(const char* path, aStream** stream, uint32_t mode) {
  if (!stream)
    return aErrResource;
  *stream = nullptr;
  if (!path)
    return aErrResource;
  aFile* f = aFile_Open(path, mode);
  if (!f)
    return aErrResource;
  *stream = mode == aFileModeRead ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, f)
                                  : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, f);
  if (!*stream) {
    aFile_Close(&f);
    return aErrResource;
  }
  return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFile(path, stream, aFileModeRead);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFile(path, stream, aFileModeWrite);
}

// ---- descriptor wait ----

aErr aStream_WaitDescriptor(int fd, uint64_t ms) {
  if (fd < 0)
    return aErrParam;
  pollfd p{fd, POLLIN, 0};
  // Waits longer than poll can express end early, which the wait contract
  // allows, as it does a wake-up by a signal.
  const int r = ::poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
  if (r > 0 || (r < 0 && errno == EINTR))
    return aErrNone;
  return r == 0 ? aErrTimeout : aErrIO;
}
