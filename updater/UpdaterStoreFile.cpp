#include "UpdaterStoreFile.h"

#include "RunTempFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

UpdaterStoreReplaceHook sHook = nullptr;
void* sHookRef = nullptr;
std::atomic<unsigned> sTempCounter{0};

aErr fail(std::string* why, aErr code, const std::string& step, int err)
{
  if (why)
    *why = step + ": " + std::strerror(err);
  errno = err;
  return code;
}

std::string dirOf(const std::string& path)
{
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable; a directory that cannot be synced costs
// only durability, not the file, so failures here are not reported.
void syncDirectory(const std::string& dir)
{
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

void UpdaterStore_SetReplaceHook(UpdaterStoreReplaceHook hook, void* ref)
{
  sHook = hook;
  sHookRef = ref;
}

aErr UpdaterStore_ReplaceFile(const std::string& path, const void* data, size_t size, std::string* why)
{
  if (path.empty() || (!data && size > 0))
    return fail(why, aErrParam, "no path or no data for " + path, EINVAL);

  size_t slash = path.find_last_of('/');
  std::string dir = dirOf(path);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." + base + "." +
           std::to_string(::getpid()) + "." + std::to_string(sTempCounter++) + ".tmp";
    fd = RunTempFiles::Create(temp, O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  if (fd < 0)
    return fail(why, aErrNotFound, "cannot create " + temp, errno);

  // A replaced file keeps the permissions it had.
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
    ::fchmod(fd, old.st_mode & 07777);

  const char* p = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      RunTempFiles::Remove(temp);
      return fail(why, aErrIO, "cannot write " + temp, err);
    }
    p += n;
    left -= size_t(n);
  }
  if (::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    RunTempFiles::Remove(temp);
    return fail(why, aErrIO, "cannot sync " + temp, err);
  }
  if (::close(fd) != 0) {
    int err = errno;
    RunTempFiles::Remove(temp);
    return fail(why, aErrIO, "cannot close " + temp, err);
  }
  if (sHook && !sHook(temp.c_str(), sHookRef)) {
    RunTempFiles::Remove(temp);
    return fail(why, aErrIO, "cannot rename " + temp + " to " + path, ECANCELED);
  }
  if (RunTempFiles::Rename(temp, path) != 0) {
    int err = errno;
    RunTempFiles::Remove(temp);
    return fail(why, aErrIO, "cannot rename " + temp + " to " + path, err);
  }
  syncDirectory(dir);
  return aErrNone;
}
