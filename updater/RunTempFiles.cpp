#include "RunTempFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <set>

namespace {

struct Registry {
  std::mutex lock;
  std::set<std::string> paths; // guarded by lock
};

Registry& registry()
{
  static Registry r;
  return r;
}

} // namespace

namespace RunTempFiles {

int Create(const std::string& path, int flags, mode_t mode)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  const int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
  if (fd >= 0)
    r.paths.insert(path);
  return fd;
}

void Expect(const std::string& path)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.paths.insert(path);
}

int Rename(const std::string& from, const std::string& to)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (::rename(from.c_str(), to.c_str()) != 0)
    return -1;
  r.paths.erase(from);
  return 0;
}

int Remove(const std::string& path)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.paths.erase(path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return -1;
  return 0;
}

size_t RemoveAllForExit()
{
  Registry& r = registry();
  r.lock.lock();
  for (const std::string& path : r.paths)
    ::unlink(path.c_str());
  return r.paths.size();
}

} // namespace RunTempFiles
