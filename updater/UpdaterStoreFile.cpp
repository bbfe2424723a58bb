#include "UpdaterStoreFile.h"

#include "RunTempFiles.h"
#include "UpdaterStorePath.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Log.h"

namespace {

const char* const kStagingPrefix = ".download-";
const char* const kTempSuffix = ".tmp";

UpdaterStoreReplaceHook sHook = nullptr;
void* sHookRef = nullptr;
std::atomic<unsigned> sTempCounter{0};

aErr fail(std::string* why, aErr code, const std::string& step, int err) {
  if (why)
    *why = step + ": " + std::strerror(err);
  errno = err;
  return code;
}

bool allDigits(const std::string& text, size_t begin, size_t end) {
  if (begin >= end)
    return false;
  for (size_t i = begin; i < end; ++i)
    if (text[i] < '0' || text[i] > '9')
      return false;
  return true;
}

// text[begin, end) as a process id; 0 when it is none.
pid_t pidIn(const std::string& text, size_t begin, size_t end) {
  if (!allDigits(text, begin, end) || end - begin > 9)
    return 0;
  return pid_t(std::stol(text.substr(begin, end - begin)));
}

// The process id in a temporary's name; 0 for every other name.
pid_t writerOf(const std::string& name) {
  const size_t prefix = std::strlen(kStagingPrefix);
  if (name.compare(0, prefix, kStagingPrefix) == 0) {
    const size_t dash = name.find('-', prefix);
    return dash == std::string::npos || dash + 1 >= name.size() ? 0 : pidIn(name, prefix, dash);
  }
  // "." <name> "." <pid> "." <counter> ".tmp", <name> not empty
  const size_t suffix = std::strlen(kTempSuffix);
  if (name.size() <= suffix || name[0] != '.' || name.compare(name.size() - suffix, suffix, kTempSuffix) != 0)
    return 0;
  const size_t counterEnd = name.size() - suffix;
  const size_t counterDot = name.rfind('.', counterEnd - 1);
  if (counterDot == std::string::npos || counterDot < 3 || !allDigits(name, counterDot + 1, counterEnd))
    return 0;
  const size_t pidDot = name.rfind('.', counterDot - 1);
  if (pidDot == std::string::npos || pidDot < 2)
    return 0;
  return pidIn(name, pidDot + 1, counterDot);
}

bool processGone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string UpdaterStore_StagingName(const std::string& fileName) {
  return kStagingPrefix + std::to_string(::getpid()) + "-" + fileName;
}

int UpdaterStore_RemoveStaleTemporaries(const std::string& directory) {
  const UpdaterStoreOpen opened = UpdaterStorePath_OpenDirectory(directory);
  DIR* dir = opened.fd < 0 ? nullptr : ::fdopendir(opened.fd);
  if (!dir) {
    if (opened.fd >= 0)
      ::close(opened.fd);
    return 0;
  }
  const int dirFd = ::dirfd(dir);
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const pid_t writer = writerOf(name);
    if (writer <= 0 || !processGone(writer))
      continue;
    const std::string path = directory + "/" + name;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) {
      ++removed;
      Log::log(DEBUG_Updater, "UpdaterStore: removed [%s], left by process %ld\n", path.c_str(), long(writer));
    }
  }
  ::closedir(dir);
  return removed;
}

void UpdaterStore_SetReplaceHook(UpdaterStoreReplaceHook hook, void* ref) {
  sHook = hook;
  sHookRef = ref;
}

aErr UpdaterStore_ReplaceFile(const std::string& path, const void* data, size_t size, std::string* why, bool* refused) {
  if (refused)
    *refused = false;
  if (path.empty() || (!data && size > 0))
    return fail(why, aErrParam, "no path or no data for " + path, EINVAL);

  const std::string dir = UpdaterStorePath_Directory(path);
  const std::string base = UpdaterStorePath_Leaf(path);
  const UpdaterStoreOpen opened = UpdaterStorePath_OpenDirectory(dir);
  // What is there already must be the store's own file: a link or a FIFO
  // in its place is refused, not replaced. (A directory there fails the
  // rename by itself.)
  struct stat old {};
  const bool exists = opened.fd >= 0 && ::fstatat(opened.fd, base.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (opened.Refused() || (exists && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode))) {
    if (refused)
      *refused = true;
    if (why)
      *why = opened.Refused() ? opened.refusal
                              : path + (S_ISLNK(old.st_mode) ? " is a symbolic link" : " is not a regular file");
    if (opened.fd >= 0)
      ::close(opened.fd);
    errno = EPERM;
    return aErrNotFound;
  }
  if (opened.fd < 0)
    return fail(why, aErrNotFound, "cannot open " + dir, opened.err);
  const int dirFd = opened.fd;

  std::string temp;
  int fd = -1;
  int createErr = 0;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = "." + base + "." + std::to_string(::getpid()) + "." + std::to_string(sTempCounter++) + ".tmp";
    fd = RunTempFiles::CreateIn(dirFd, dir, temp, O_WRONLY, 0666);
    createErr = errno;
    if (fd < 0 && createErr != EEXIST)
      break;
  }
  const std::string tempPath = dir == "." ? temp : dir + "/" + temp;
  const auto failed = [&](aErr code, const std::string& step, int err) {
    ::close(dirFd);
    return fail(why, code, step, err);
  };
  if (fd < 0)
    return failed(aErrNotFound, "cannot create " + tempPath, createErr);

  // A replaced file keeps the permissions it had.
  if (exists && S_ISREG(old.st_mode))
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
      RunTempFiles::RemoveIn(dirFd, dir, temp);
      return failed(aErrIO, "cannot write " + tempPath, err);
    }
    p += n;
    left -= size_t(n);
  }
  if (::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    RunTempFiles::RemoveIn(dirFd, dir, temp);
    return failed(aErrIO, "cannot sync " + tempPath, err);
  }
  if (::close(fd) != 0) {
    int err = errno;
    RunTempFiles::RemoveIn(dirFd, dir, temp);
    return failed(aErrIO, "cannot close " + tempPath, err);
  }
  if (sHook && !sHook(tempPath.c_str(), sHookRef)) {
    RunTempFiles::RemoveIn(dirFd, dir, temp);
    return failed(aErrIO, "cannot rename " + tempPath + " to " + path, ECANCELED);
  }
  if (RunTempFiles::RenameIn(dirFd, dir, temp, base) != 0) {
    int err = errno;
    RunTempFiles::RemoveIn(dirFd, dir, temp);
    return failed(aErrIO, "cannot rename " + tempPath + " to " + path, err);
  }
  // Makes the rename itself durable; a directory that cannot be synced costs
  // only durability, not the file.
  ::fsync(dirFd);
  ::close(dirFd);
  return aErrNone;
}
