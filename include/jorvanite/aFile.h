#pragma once
// A file object over buffered standard I/O. A file object is used by one
// thread at a time. Paths longer than 4096 characters are refused.

#include <cstddef>
#include <cstdint>

#include "aError.h"

struct aFileRecord;
typedef aFileRecord aFile;

// Open modes.
enum : uint32_t {
  aFileModeRead = 0,    // "rb"
  aFileModeWrite = 1,   // "wb": created or emptied
  aFileModeAppend = 2,  // "ab+": read and append, positioned at the end
};

// True for a non-null handle of an open file object.
bool aVALIDFILE(const aFile* file);

// True when the path's status can be read and it is not a directory.
bool aFile_Exists(const char* path);

// The new file object (close it with aFile_Close), or null when the path is
// null, empty or too long, the mode is unknown, memory runs out or the file
// cannot be opened.
aFile* aFile_Open(const char* path, uint32_t mode);

// Flushes and closes the file, frees the object and sets *file to null (when
// file is not null). aErrParam for a null address or an invalid handle
// (nothing freed); aErrIO when buffered data could not be written, the
// close failed, or an earlier write on this file failed (the object is freed
// all the same).
aErr aFile_Close(aFile** file);

// Reads up to count bytes; *nRead (may be null) gets the number read.
// aErrEOF when nothing was read at the end although count > 0; aErrIO on a
// read error with nothing read; aErrMode in write mode; aErrParam for an
// invalid file or null buffer.
aErr aFile_Read(aFile* file, void* buf, size_t count, size_t* nRead);

// Writes count bytes; *nWritten (may be null) gets the number written.
// aErrIO unless all count bytes were taken; aErrMode in read mode;
// aErrParam for an invalid file or null data.
aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* nWritten);

// Reads one line, newline kept, at most size - 1 characters, terminated.
// *len (may be null) gets its length (0 on failure). aErrNone; aErrOverrun
// when the buffer filled before a newline (the rest comes next call); aErrEOF
// at the end; aErrIO on a read error; aErrMode in write mode; aErrParam for
// an invalid file, a null buffer or a size below 2 (no room for a character).
aErr aFile_ReadLine(aFile* file, char* buf, size_t size, size_t* len);

// Moves to origin + offset; origin 0 start, 1 current position, 2 end (any
// other value counts as the start). aErrRange (position kept) for a target
// below 0 or beyond the size; aErrIO when the position cannot be read or set.
aErr aFile_Seek(aFile* file, int64_t offset, uint32_t origin);

// The size in bytes; the position is kept. aErrParam for an invalid file or
// a null address; aErrIO when the position cannot be read or set.
aErr aFile_GetSize(aFile* file, uint64_t* size);

// The current position (address may be null). aErrIO when it cannot be read.
aErr aFile_GetPosition(aFile* file, uint64_t* position);

// Removes the file. aErrParam (null path), aErrFileNameLength (too long),
// aErrNotFound, aErrPermission, or aErrIO for any other failure.
aErr aFile_Delete(const char* path);

// Switches to unbuffered output. aErrMode in read mode or when refused.
aErr aFile_SetUnbuffered(aFile* file);

// Formatted write. aErrIO when the output fails; aErrMode in read mode.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
