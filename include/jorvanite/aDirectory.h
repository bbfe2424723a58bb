#pragma once
// Directories and paths. No state is kept between calls; every operation may
// run on any thread.

#include <cstddef>
#include <cstdint>

#include "aError.h"

// The path separator, the one-character text "/".
extern const char* aDIR_PATH_SEP;

// One directory entry handed to a listing callback. `path` points into the
// lister's own buffer and is valid only during the callback.
struct aDirectoryListData {
  const char* path;     // listed directory, separator, entry name
  uint32_t size;        // low 32 bits of the entry's size in bytes
  int32_t isDirectory;  // 1 for a directory (links followed), else 0
};

// Return true to go on listing, false to stop.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// True when path is not null and names a directory (links followed).
bool aDirectory_Exists(const char* path);

// Creates the directory and every missing parent level with mode (callers
// pass 0755). aErrNone when it exists afterwards (or a non-directory already
// stands at the whole path); aErrPermission when a level cannot be created;
// aErrParam for a null or empty path.
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Calls proc for every entry of the directory, "." and ".." included, in the
// order the system reads them, until proc returns false. Entries whose
// status cannot be read, or whose joined path would not fit 2046
// characters, are passed over. aErrNone (also when proc stopped the
// listing), aErrNotFound when the directory cannot be opened, aErrParam for
// a null path or proc.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// Removes an empty directory. aErrNone, aErrParam for a null path, or
// aErrUnknown when it cannot be removed.
aErr aDirectory_Delete(const char* path);

// Removes the directory and everything beneath it, the top last. A symbolic
// link inside the tree is removed itself; what it points to is left alone.
// aErrNone, aErrNotFound when the directory cannot be opened, aErrParam for
// a null path, or aErrUnknown when something cannot be removed.
aErr aDirectory_DeleteTree(const char* path);

// Stores the current working directory. aErrNone, or aErrParam for a null
// or zero-sized buffer or when the directory does not fit.
aErr aDirectory_CWD(char* buf, size_t size);

// Stores the running executable's path, cut to size - 1 characters and
// terminated. aErrNone, aErrParam for a null or zero-sized buffer, or
// aErrRead when the path cannot be read.
aErr aDirectory_ExecutableFilePath(char* buf, size_t size);

// Stores the real user's home directory from the user database, or from
// HOME when the database has no entry; cut to size - 1 characters and
// terminated. aErrNone, aErrParam for a null or zero-sized buffer, or
// aErrNotFound when neither source gives a directory.
aErr aDirectory_GetHomeDirectory(char* buf, size_t size);

// aDirectory_BuildPath(buf, size, first, second, nullptr).
aErr aDirectory_JoinPath(char* buf, size_t size, const char* first, const char* second);

// Joins up to ten parts (the first and up to nine more, the list ended by a
// null pointer) into buf, adding the separator at a junction only where
// neither side has one. The result holds at most size - 2 characters.
// aErrParam (buf emptied when size > 0) for a null buffer, size 0, a null or
// empty first part, more than ten parts, or a part lying inside the buffer;
// aErrOverrun when a part does not fit (buf then keeps the parts joined
// before it, with the separator added for it); else aErrNone.
aErr aDirectory_BuildPath(char* buf, size_t size, const char* first, ...);
