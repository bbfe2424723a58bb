#include "RunTempFiles.h"

#include "UpdaterStorePath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>

namespace {

struct Registry {
  std::mutex lock;
  std::set<std::string> paths;  // guarded by lock
};

Registry& registry() {
  static Registry r;
  return r;
}

std::string within(const std::string& dirPath, const std::string& name) {
  return dirPath == "." ? name : dirPath + "/" + name;
}

}  // namespace

namespace RunTempFiles {

int CreateIn(int dirFd, const std::string& dirPath, const std::string& name, int flags, mode_t mode) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  const UpdaterStoreOpen opened = UpdaterStorePath_OpenFileAt(dirFd, dirPath, name, flags | O_CREAT | O_EXCL, mode);
  if (opened.fd >= 0)
    r.paths.insert(within(dirPath, name));
  else
    errno = opened.Refused() ? EEXIST : opened.err;
  return opened.fd;
}

int RenameIn(int dirFd, const std::string& dirPath, const std::string& from, const std::string& to) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (::renameat(dirFd, from.c_str(), dirFd, to.c_str()) != 0)
    return -1;
  r.paths.erase(within(dirPath, from));
  return 0;
}

int RemoveIn(int dirFd, const std::string& dirPath, const std::string& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.paths.erase(within(dirPath, name));
  if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
    return -1;
  return 0;
}

void Expect(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.paths.insert(path);
}

int Remove(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.paths.erase(path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return -1;
  return 0;
}

size_t RemoveAllForExit() {
  Registry& r = registry();
  r.lock.lock();
  for (const std::string& path : r.paths)
    ::unlink(path.c_str());
  return r.paths.size();
}

}  // namespace RunTempFiles
