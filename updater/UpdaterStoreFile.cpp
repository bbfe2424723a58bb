#include "UpdaterStoreFile.h"

#include "RunTempFiles.h"

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

bool allDigits(const std::string& text, size_t begin, size_t end)
{
  if (begin >= end)
    return false;
  for (size_t i = begin; i < end; ++i)
    if (text[i] < '0' || text[i] > '9')
      return false;
  return true;
}

// text[begin, end) as a process id; 0 when it is none.
pid_t pidIn(const std::string& text, size_t begin, size_t end)
{
  if (!allDigits(text, begin, end) || end - begin > 9)
    return 0;
  return pid_t(std::stol(text.substr(begin, end - begin)));
}

// The process id in a temporary's name; 0 for every other name.
pid_t writerOf(const std::string& name)
{
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

bool processGone(pid_t pid)
{
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string UpdaterStore_StagingName(const std::string& fileName)
{
  return kStagingPrefix + std::to_string(::getpid()) + "-" + fileName;
}

int UpdaterStore_RemoveStaleTemporaries(const std::string& directory)
{
  DIR* dir = ::opendir(directory.c_str());
  if (!dir)
    return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const pid_t writer = writerOf(name);
    if (writer <= 0 || !processGone(writer))
      continue;
    const std::string path = directory + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (::unlink(path.c_str()) == 0) {
      ++removed;
      Log::log(DEBUG_Updater, "UpdaterStore: removed [%s], left by process %ld\n", path.c_str(), long(writer));
    }
  }
  ::closedir(dir);
  return removed;
}

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
