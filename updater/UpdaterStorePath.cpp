#include "UpdaterStorePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string joined(const std::string& dirPath, const std::string& name) {
  if (dirPath.empty() || dirPath == ".")
    return name;
  return dirPath.back() == '/' ? dirPath + name : dirPath + "/" + name;
}

// Why name in dirFd could not be opened as wanted: a refusal when it is there
// but is a link or of the wrong kind, else the system's reason.
UpdaterStoreOpen explain(int dirFd, const std::string& path, const std::string& name, bool directory, int openErr) {
  UpdaterStoreOpen out;
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    out.err = openErr;
    return out;
  }
  if (S_ISLNK(st.st_mode))
    out.refusal = path + " is a symbolic link";
  else if (directory && !S_ISDIR(st.st_mode))
    out.refusal = path + " is not a directory";
  else if (!directory && !S_ISREG(st.st_mode))
    out.refusal = path + " is not a regular file";
  else
    out.err = openErr;
  return out;
}

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::string UpdaterStoreOpen::Why(const std::string& path) const {
  if (Refused())
    return refusal;
  return path + ": " + std::strerror(err);
}

std::string UpdaterStorePath_Directory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string UpdaterStorePath_Leaf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

UpdaterStoreOpen UpdaterStorePath_OpenDirectory(const std::string& path, bool create, mode_t mode) {
  UpdaterStoreOpen out;
  const std::string name = UpdaterStorePath_Leaf(path);
  if (!plainName(name)) {
    // "." or a path ending in "/": nothing of the store's own to check.
    out.fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    out.err = out.fd < 0 ? errno : 0;
    return out;
  }
  const int parent = ::open(UpdaterStorePath_Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) {
    out.err = errno;
    return out;
  }
  if (create && ::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST) {
    out.err = errno;
    ::close(parent);
    return out;
  }
  out.fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (out.fd < 0)
    out = explain(parent, path, name, true, errno);
  ::close(parent);
  return out;
}

UpdaterStoreOpen UpdaterStorePath_OpenFileAt(int dirFd, const std::string& dirPath, const std::string& name, int flags,
                                             mode_t mode) {
  const std::string path = joined(dirPath, name);
  if (!plainName(name)) {
    UpdaterStoreOpen out;
    out.err = EINVAL;
    return out;
  }
  // O_NONBLOCK: the open of a FIFO or a terminal would otherwise wait for
  // its other end; a regular file does not heed it.
  UpdaterStoreOpen out;
  out.fd = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (out.fd < 0)
    return explain(dirFd, path, name, false, errno);
  struct stat st {};
  const bool statted = ::fstat(out.fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    const int err = errno;
    ::close(out.fd);
    out.fd = -1;
    if (statted)
      out.refusal = path + " is not a regular file";
    else
      out.err = err;
    return out;
  }
  if ((flags & O_NONBLOCK) == 0)
    ::fcntl(out.fd, F_SETFL, ::fcntl(out.fd, F_GETFL) & ~O_NONBLOCK);
  return out;
}

UpdaterStoreOpen UpdaterStorePath_OpenFile(const std::string& path, int flags, mode_t mode) {
  const std::string dirPath = UpdaterStorePath_Directory(path);
  UpdaterStoreOpen dir = UpdaterStorePath_OpenDirectory(dirPath);
  if (dir.fd < 0)
    return dir;
  UpdaterStoreOpen out = UpdaterStorePath_OpenFileAt(dir.fd, dirPath, UpdaterStorePath_Leaf(path), flags, mode);
  ::close(dir.fd);
  return out;
}
