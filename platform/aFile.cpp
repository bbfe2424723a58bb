#include "aFile.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <sys/stat.h>

#include <unistd.h>
#include "aFileLine.h"

namespace {

constexpr uint32_t FILE_CHECK = 0xFEED;
constexpr size_t MAX_PATH_LENGTH = 4096;

// What the stream did last: a read-and-append stream must be repositioned
// or flushed before it changes direction.
enum class LastOp { None, Read, Write };

}  // namespace

struct aFileRecord {
  FILE* stream;
  uint32_t mode;
  uint32_t check;
  LastOp lastOp;
  bool writeFailed;  // some data handed to the stream was lost
};

namespace {

bool sPathTooLong(const char* path) {
  return strnlen(path, MAX_PATH_LENGTH + 1) > MAX_PATH_LENGTH;
}

bool sCanRead(const aFile* file) {
  return file->mode != aFileModeWrite;
}
bool sCanWrite(const aFile* file) {
  return file->mode != aFileModeRead;
}

// Writes out what the stream still buffers before it reads or moves. The
// stream drops buffered data whose flush fails, so the loss is noted here
// for the close to report; the stream's error flag is cleared so that it
// does not taint the reads that follow. False when data was lost.
bool sFlushPending(aFile* file) {
  if (file->lastOp != LastOp::Write)
    return true;
  file->lastOp = LastOp::None;
  if (fflush(file->stream) == 0)
    return true;
  file->writeFailed = true;
  clearerr(file->stream);
  return false;
}

void sPrepare(aFile* file, LastOp op) {
  if (op == LastOp::Read) {
    sFlushPending(file);
    // The error flag is sticky: only this read's own failure may count.
    clearerr(file->stream);
  }
  if (file->lastOp == LastOp::Read && op == LastOp::Write)
    fseeko(file->stream, 0, SEEK_CUR);
  file->lastOp = op;
}

bool sPosition(aFile* file, uint64_t* position) {
  const off_t at = ftello(file->stream);
  if (at < 0)
    return false;
  *position = static_cast<uint64_t>(at);
  return true;
}

}  // namespace

bool aVALIDFILE(const aFile* file) {
  return file != nullptr && file->check == FILE_CHECK;
}

bool aFile_Exists(const char* path) {
  if (path == nullptr || sPathTooLong(path))
    return false;
  struct stat status;
  return stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  static const char* const STDIO_MODES[] = {"rb", "wb", "ab+"};
  if (path == nullptr || path[0] == '\0' || sPathTooLong(path))
    return nullptr;
  if (mode > aFileModeAppend)
    return nullptr;

  auto* file = new (std::nothrow) aFileRecord{nullptr, mode, FILE_CHECK, LastOp::None, false};
  if (file == nullptr)
    return nullptr;
  file->stream = fopen(path, STDIO_MODES[mode]);
  if (file->stream == nullptr || (mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0)) {
    if (file->stream != nullptr)
      fclose(file->stream);
    delete file;
    return nullptr;
  }
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr)
    return aErrParam;
  aFile* record = *file;
  *file = nullptr;
  if (!aVALIDFILE(record))
    return aErrParam;
  // The close writes what is still buffered; a failure there (a full disk),
  // or an earlier write that failed, means data is lost and must not look
  // like a written file.
  const bool writeFailed = record->writeFailed;
  const int rc = fclose(record->stream);
  record->check = 0;
  delete record;
  return rc == 0 && !writeFailed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buf, size_t count, size_t* nRead) {
  if (nRead != nullptr)
    *nRead = 0;
  if (!aVALIDFILE(file) || buf == nullptr)
    return aErrParam;
  if (!sCanRead(file))
    return aErrMode;
  if (count == 0)
    return aErrNone;
  sPrepare(file, LastOp::Read);
  const size_t n = fread(buf, 1, count, file->stream);
  if (nRead != nullptr)
    *nRead = n;
  if (n > 0)
    return aErrNone;
  return ferror(file->stream) ? aErrIO : aErrEOF;
}

aErr aFile_Write(aFile* file, const void* data, size_t count, size_t* nWritten) {
  if (nWritten != nullptr)
    *nWritten = 0;
  if (!aVALIDFILE(file) || data == nullptr)
    return aErrParam;
  if (!sCanWrite(file))
    return aErrMode;
  if (count == 0)
    return aErrNone;
  sPrepare(file, LastOp::Write);
  const size_t n = fwrite(data, 1, count, file->stream);
  if (nWritten != nullptr)
    *nWritten = n;
  if (n == count)
    return aErrNone;
  file->writeFailed = true;
  return aErrIO;
}

aErr aFile_ReadLine(aFile* file, char* buf, size_t size, size_t* len) {
  if (len != nullptr)
    *len = 0;
  if (buf != nullptr && size > 0)
    buf[0] = '\0';
  if (!aVALIDFILE(file))
    return aErrParam;
  if (!sCanRead(file))
    return aErrMode;
  // At least one character and the terminator must fit.
  if (buf == nullptr || size < 2)
    return aErrParam;
  sPrepare(file, LastOp::Read);

  size_t n = 0;
  const aErr err = aFile_ReadStreamLine(file->stream, buf, size, &n);
  if (len != nullptr)
    *len = n;
  return err;
}

aErr aFile_ReadStreamLine(FILE* stream, char* buf, size_t size, size_t* len) {
  size_t n = 0;
  while (n < size - 1) {
    const int c = getc(stream);
    if (c == EOF)
      break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n')
      break;
  }
  buf[n] = '\0';
  *len = n;
  if (ferror(stream))
    return aErrIO;
  if (n == 0)
    return aErrEOF;
  if (n == size - 1 && buf[n - 1] != '\n')
    return aErrOverrun;
  return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size) {
  if (size == nullptr || !aVALIDFILE(file))
    return aErrParam;
  *size = 0;
  uint64_t position = 0;
  uint64_t end = 0;
  if (!sFlushPending(file) || !sPosition(file, &position))
    return aErrIO;
  if (fseeko(file->stream, 0, SEEK_END) != 0)
    return aErrIO;
  const bool known = sPosition(file, &end);
  if (fseeko(file->stream, static_cast<off_t>(position), SEEK_SET) != 0 || !known)
    return aErrIO;
  file->lastOp = LastOp::None;
  *size = end;
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, uint64_t* position) {
  if (!aVALIDFILE(file))
    return aErrParam;
  uint64_t at = 0;
  if (!sPosition(file, &at))
    return aErrIO;
  if (position != nullptr)
    *position = at;
  return aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, uint32_t origin) {
  if (!aVALIDFILE(file))
    return aErrParam;
  uint64_t position = 0;
  uint64_t size = 0;
  if (!sFlushPending(file) || !sPosition(file, &position) || aFile_GetSize(file, &size) != aErrNone)
    return aErrIO;

  const int64_t base = origin == SEEK_CUR   ? static_cast<int64_t>(position)
                       : origin == SEEK_END ? static_cast<int64_t>(size)
                                            : 0;
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || static_cast<uint64_t>(target) > size) {
    return aErrRange;
  }
  if (fseeko(file->stream, static_cast<off_t>(target), SEEK_SET) != 0)
    return aErrIO;
  file->lastOp = LastOp::None;
  return sPosition(file, &position) ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr)
    return aErrParam;
  if (sPathTooLong(path))
    return aErrFileNameLength;
  if (unlink(path) == 0)
    return aErrNone;
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
      return aErrPermission;
    default:
      return aErrIO;
  }
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!aVALIDFILE(file))
    return aErrParam;
  if (!sCanWrite(file))
    return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!aVALIDFILE(file) || format == nullptr)
    return aErrParam;
  if (!sCanWrite(file))
    return aErrMode;
  sPrepare(file, LastOp::Write);
  va_list args;
  va_start(args, format);
  const int rc = vfprintf(file->stream, format, args);
  va_end(args);
  if (rc >= 0)
    return aErrNone;
  file->writeFailed = true;
  return aErrIO;
}
