#include "aDirectory.h"

#include "aDirectorySeam.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const char* aDIR_PATH_SEP = "/";

namespace {

constexpr size_t MAX_PARTS = 10;
// Room for the joined path of one entry while listing or deleting.
constexpr size_t ENTRY_PATH_SIZE = 2048;

char sSeparator() {
  return aDIR_PATH_SEP[0];
}

// True when the text at p, terminator included, shares a byte with buf.
bool sOverlaps(const char* p, const char* buf, size_t size) {
  const auto start = reinterpret_cast<uintptr_t>(p);
  const auto end = start + strlen(p) + 1;
  const auto bufStart = reinterpret_cast<uintptr_t>(buf);
  return start < bufStart + size && end > bufStart;
}

// Copies src into buf, cut to size - 1 characters; size must be above 0.
void sCopyCut(char* buf, size_t size, const char* src) {
  const size_t length = strnlen(src, size - 1);
  memcpy(buf, src, length);
  buf[length] = '\0';
}

bool sIsDot(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

aErr sBuildPath(char* buf, size_t size, const char* const* parts, size_t count) {
  const char sep = sSeparator();
  const size_t firstLength = strlen(parts[0]);
  if (firstLength + 1 >= size)
    return aErrOverrun;
  memcpy(buf, parts[0], firstLength + 1);
  size_t length = firstLength;

  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    if (room > 1 && buf[length - 1] != sep && part[0] != sep) {
      buf[length++] = sep;
      buf[length] = '\0';
      --room;
    }
    const size_t partLength = strlen(part);
    if (partLength >= room)
      return aErrOverrun;
    memcpy(buf + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

// Removes the tree below the directory `name` of the open directory
// `parent` (AT_FDCWD with the whole path for the top). Every step works on
// the descriptors the walk opened, never on a path by name: entries are
// examined without following links, subdirectories are opened with
// O_NOFOLLOW, so a link, or a directory swapped for one meanwhile, never
// leads outside. `path` names the directory for messages and for the rule
// that an entry whose path does not fit is left alone.
aErr sDeleteTree(int parent, const char* name, const char* path, bool followTop) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followTop ? 0 : O_NOFOLLOW);
  const int fd = openat(parent, name, flags);
  if (fd == -1)
    return aErrNotFound;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return aErrNotFound;
  }

  const aDirectorySeam* seam = aDirectorySeam_Get();
  aErr result = aErrNone;
  char entryPath[ENTRY_PATH_SIZE];
  while (result == aErrNone) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr)
      break;
    if (sIsDot(entry->d_name))
      continue;
    // A path that does not fit is left alone rather than removed under a
    // cut name; the directory then stays non-empty and its removal fails.
    if (aDirectory_JoinPath(entryPath, sizeof(entryPath), path, entry->d_name) != aErrNone) {
      continue;
    }
    struct stat status;
    if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (S_ISDIR(status.st_mode)) {
      result = sDeleteTree(fd, entry->d_name, entryPath, false);
    } else if (seam->unlinkat(fd, entry->d_name, 0) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", entryPath);
      result = aErrUnknown;
    }
  }
  closedir(dir);
  if (parent == AT_FDCWD)
    return aDirectory_Delete(path);
  return seam->unlinkat(parent, name, AT_REMOVEDIR) == 0 ? aErrNone : aErrUnknown;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  if (path == nullptr)
    return false;
  struct stat status;
  return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr || path[0] == '\0')
    return aErrParam;
  if (aDirectory_Exists(path))
    return aErrNone;

  // Each level is created in turn from the top; levels that exist are passed
  // over and EEXIST is accepted, so a level made meanwhile by another caller
  // does no harm.
  std::string level(path);
  const char sep = sSeparator();
  for (size_t at = level.find(sep); at != std::string::npos; at = level.find(sep, at + 1)) {
    if (at == 0 || level[at - 1] == sep)
      continue;  // empty level
    level[at] = '\0';
    const char* prefix = level.c_str();
    const bool failed = !aDirectory_Exists(prefix) && mkdir(prefix, mode) != 0 && errno != EEXIST;
    level[at] = sep;
    if (failed)
      return aErrPermission;
  }
  if (!aDirectory_Exists(path) && mkdir(path, mode) != 0 && errno != EEXIST) {
    return aErrPermission;
  }
  return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (path == nullptr || proc == nullptr)
    return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr)
    return aErrNotFound;

  char entryPath[ENTRY_PATH_SIZE];
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    if (aDirectory_JoinPath(entryPath, sizeof(entryPath), path, entry->d_name) != aErrNone) {
      continue;
    }
    struct stat status;
    if (stat(entryPath, &status) != 0)
      continue;
    const aDirectoryListData data{entryPath, static_cast<uint32_t>(status.st_size), S_ISDIR(status.st_mode) ? 1 : 0};
    if (!proc(&data, ref))
      break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr)
    return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr)
    return aErrParam;
  return sDeleteTree(AT_FDCWD, path, path, true);
}

aErr aDirectory_CWD(char* buf, size_t size) {
  if (buf == nullptr || size == 0)
    return aErrParam;
  if (getcwd(buf, size) == nullptr) {
    buf[0] = '\0';
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buf, size_t size) {
  if (buf == nullptr || size == 0)
    return aErrParam;
  const ssize_t length = readlink("/proc/self/exe", buf, size - 1);
  if (length < 0) {
    buf[0] = '\0';
    return aErrRead;
  }
  buf[length] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buf, size_t size) {
  if (buf == nullptr || size == 0)
    return aErrParam;
  buf[0] = '\0';

  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  passwd entry;
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) == ERANGE) {
    scratch.resize(scratch.size() * 2);
  }
  if (rc == 0 && found != nullptr && found->pw_dir != nullptr) {
    sCopyCut(buf, size, found->pw_dir);
    return aErrNone;
  }
  const char* home = getenv("HOME");
  if (home == nullptr)
    return aErrNotFound;
  sCopyCut(buf, size, home);
  return aErrNone;
}

aErr aDirectory_JoinPath(char* buf, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buf, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buf, size_t size, const char* first, ...) {
  if (buf == nullptr || size == 0)
    return aErrParam;

  // Gather the parts (one more than allowed, to see an over-long list)
  // before anything is written, since a part may lie inside the buffer.
  const char* parts[MAX_PARTS + 1];
  size_t count = 0;
  if (first != nullptr) {
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    while (count <= MAX_PARTS) {
      const char* part = va_arg(args, const char*);
      if (part == nullptr)
        break;
      parts[count++] = part;
    }
    va_end(args);
  }

  bool valid = count >= 1 && count <= MAX_PARTS && first[0] != '\0';
  for (size_t i = 0; valid && i < count; ++i)
    valid = !sOverlaps(parts[i], buf, size);
  buf[0] = '\0';
  if (!valid)
    return aErrParam;
  return sBuildPath(buf, size, parts, count);
}
