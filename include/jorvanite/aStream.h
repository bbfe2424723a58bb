#pragma once
// The byte stream: up to five operations supplied by a transport (get one
// byte, put one byte, write a block, delete the transport, and optionally
// wait until readable) with the transport's context, plus a push-back ring
// that lets a reader return bytes it took but cannot use yet.
//
// Threads: a stream has no lock. One thread reads (get, wait, the push-back
// ring) while one other thread writes (put, write); transports used from both
// threads make their get and write safe to run at the same time. Destroy
// only when neither thread uses the stream any more.
//
// Transport contract:
//   get     fills *byte: aErrNone with one byte, aErrNotReady at once when
//           no byte is waiting now, aErrEOF at the end, any other code on
//           failure. A get may wait a while for data (the USB stream does);
//           the socket and serial streams return at once.
//   put     sends *byte.
//   write   sends length bytes; a transport with write also supplies put.
//   delete  releases the transport and frees its context.
//   wait    (optional) blocks until a get may find something (a byte, the
//           end or an error) or ms milliseconds pass: aErrNone when the
//           reader should call get now, aErrTimeout when nothing came. It
//           may return aErrNone early (the reader then sees aErrNotReady and
//           waits again). Lets a reader sleep on an idle link and still wake
//           the moment a byte arrives.
//   epoch   (optional) fills *epoch with a count that moves whenever the
//           transport finds its connection to the peer lost or replaced
//           (the peer closed it, it broke, a reconnect made a new one).
//           A transport that reconnects by itself hides a peer's restart
//           from reads and writes; the epoch still shows it.
//   interrupt (optional) ends at once a wait of the transport's own that
//           no data will end (a connect in progress) and keeps it from
//           starting another: the stream is about to be destroyed, and the
//           threads that use it must be joined first.
// Transport error codes pass through the stream functions unchanged.

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, uint64_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
typedef aErr (*aStreamWaitProc)(uint64_t ms, void* ref);
typedef aErr (*aStreamEpochProc)(uint64_t* epoch, void* ref);
typedef aErr (*aStreamInterruptProc)(void* ref);

// A stream is used only through its pointer and the functions below.
struct aStream;

// A new stream over the given operations (each may be null) and context;
// null when memory runs out. The context belongs to the stream from now on
// and is released by the delete operation in aStream_Destroy.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write, aStreamDeleteProc del,
                        void* ref);

// Installs the optional wait operation (null removes it). aErrParam for an
// invalid stream.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);

// Waits until a read may find something or ms milliseconds pass: aErrNone at
// once when pushed-back bytes are waiting, else the transport's answer
// (aErrNone or aErrTimeout). aErrMode when the transport has no wait
// operation (poll with reads instead); aErrParam for an invalid stream.
aErr aStream_WaitReadable(aStream* stream, uint64_t ms);

// Installs the optional epoch operation (null removes it). aErrParam for an
// invalid stream.
aErr aStream_SetEpochProc(aStream* stream, aStreamEpochProc epoch);

// The transport's connection epoch (see the contract above): a caller that
// noted it before asking the peer to restart knows the peer has gone once
// it moves. aErrMode when the transport keeps none (its failures show in
// reads and writes instead); aErrParam for an invalid stream or null epoch.
aErr aStream_GetEpoch(aStream* stream, uint64_t* epoch);

// Installs the optional interrupt operation (null removes it). aErrParam
// for an invalid stream.
aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt);

// Interrupts the transport (see the contract above) before the stream is
// destroyed. aErrNone, also when the transport has nothing to interrupt;
// aErrParam for an invalid stream.
aErr aStream_Interrupt(aStream* stream);

// Reads exactly n bytes into dest: pushed-back bytes first, then the get
// operation. aErrNone with all n; aErrEOF with the bytes before the end
// copied (fewer than n); aErrNotReady when the transport ran dry part way:
// then nothing was read, the bytes taken are back in the ring and the next
// read sees them first. Other transport errors are returned and the bytes
// taken are lost. aErrParam for an invalid stream or null dest; aErrMode
// without a get operation; aErrResource when scratch space cannot be made.
aErr aStream_Read(aStream* stream, uint8_t* dest, uint64_t n);

// Writes n bytes: one call of the write operation when it exists and n > 1
// (or when there is no put), else the put operation byte by byte, stopping at
// the first error, whose code is returned. aErrParam for an invalid stream or
// null data; aErrMode when the stream has neither write nor put.
aErr aStream_Write(aStream* stream, const uint8_t* data, uint64_t n);

// Reads one record ended by the separator sequence (consumed, not stored),
// at most max bytes (the record then ends there, the rest stays in the
// stream). *length (may be null) gets the bytes stored. aErrNone; aErrEOF
// (length 0) when the stream ended before any byte (after at least one byte
// the end closes the record with aErrNone); aErrNotReady when the transport
// ran dry: every byte taken is back in the ring. aErrParam for an invalid
// stream, null dest or separator, a separator length of 0 or max 0;
// aErrResource when scratch space cannot be made.
aErr aStream_ReadRecord(aStream* stream, uint8_t* dest, uint64_t* length, uint64_t max, const uint8_t* separator,
                        uint64_t separatorLength);

// Writes data then the separator with aStream_Write. aErrParam for an invalid
// stream, null data or separator, or separator length 0; else the first
// failing write's code.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint64_t length, const uint8_t* separator,
                         uint64_t separatorLength);

// Reads a record ended by one NUL byte, at most size - 1 bytes, and
// terminates it in buffer (also on aErrEOF: then empty). aErrParam for a
// size below 2 (no room for a character and the terminator); otherwise as
// aStream_ReadRecord.
aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size);

// Writes the text and then one NUL byte.
aErr aStream_WriteCString(aStream* stream, const char* text);

// Reads a record ended by the separator text (without its NUL), at most
// size - 1 bytes, and terminates it in buffer. aErrParam for a size below 2
// or an empty separator; otherwise as aStream_ReadRecord.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size, const char* separator);

// Writes the text without its NUL, then the separator text with its NUL.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator);

// Copies bytes from the source's get operation (not its push-back ring) to
// the destination's put operation until the source ends (aErrNone). Stops
// with a failing put's code, or with any other get code (aErrNotReady
// included). aErrParam unless both streams are valid; aErrMode when the
// source has no get or the destination no put.
aErr aStream_Flush(aStream* source, aStream* destination);

// Pushes one byte back: it is read again after the bytes pushed before it
// and before anything new from the transport. aErrParam for an invalid
// stream; aErrMemory when the ring cannot grow (the byte is not stored).
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// Calls the delete operation (if any) and returns its result, frees the ring
// and the stream. aErrParam for an invalid stream. *stream is set to null in
// every case where the address is not null.
aErr aStream_Destroy(aStream** stream);

// A stream reading the file at path (get and delete only; aErrEOF at its
// end). aErrResource for a null argument, a file that cannot be opened or a
// stream that cannot be made; *stream is null after a failure.
aErr aStream_CreateFileInput(const char* path, aStream** stream);

// A stream writing the file at path, created or emptied (put, write and
// delete; destroying the stream flushes and closes the file). Failures as
// aStream_CreateFileInput.
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// Helper for transports that have a descriptor: waits until fd is readable,
// has hung up or failed (aErrNone), or ms milliseconds pass (aErrTimeout).
// aErrParam for fd -1; aErrIO when the wait itself fails.
aErr aStream_WaitDescriptor(int fd, uint64_t ms);
