#include "UpdaterStoreLock.h"

#include "RunTempFiles.h"
#include "UpdaterStorePath.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char* const UpdaterStoreHold::LOCK_FILENAME = ".update.lock";

namespace {

struct flock wholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

}  // namespace

UpdaterStoreDirectoryLock::UpdaterStoreDirectoryLock(const std::string& filePath) {
  const int fd = UpdaterStorePath_OpenDirectory(UpdaterStorePath_Directory(filePath)).fd;
  if (fd < 0)
    return;
  int r;
  do {
    r = ::flock(fd, LOCK_EX);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    ::close(fd);
    return;
  }
  m_fd = fd;
}

UpdaterStoreDirectoryLock::~UpdaterStoreDirectoryLock() {
  // Closing the only descriptor of the lock's open file releases it.
  if (m_fd >= 0)
    ::close(m_fd);
}

UpdaterStoreHold::UpdaterStoreHold(UpdaterStoreHold&& other) noexcept
    : m_fd(other.m_fd),
      m_holder(other.m_holder),
      m_path(std::move(other.m_path)),
      m_problem(std::move(other.m_problem)),
      m_refusal(std::move(other.m_refusal)) {
  other.m_fd = -1;
}

UpdaterStoreHold& UpdaterStoreHold::operator=(UpdaterStoreHold&& other) noexcept {
  if (this != &other) {
    release();
    m_fd = other.m_fd;
    m_holder = other.m_holder;
    m_path = std::move(other.m_path);
    m_problem = std::move(other.m_problem);
    m_refusal = std::move(other.m_refusal);
    other.m_fd = -1;
  }
  return *this;
}

UpdaterStoreHold::~UpdaterStoreHold() {
  release();
}

void UpdaterStoreHold::release() {
  if (m_fd < 0)
    return;
  // Removed while still locked, so the store looks after an update as it
  // did before; an interrupted run removes it on its way out the same way
  // (it is registered as one of the run's temporaries), and only a killed
  // holder leaves the file, which the next one reuses.
  RunTempFiles::Remove(m_path);
  ::close(m_fd);
  m_fd = -1;
}

UpdaterStoreHold UpdaterStoreHold::Take(const std::string& entryPath) {
  UpdaterStoreHold hold;
  const std::string path = entryPath + "/" + LOCK_FILENAME;
  // The holder removes the file before it lets go, so a run that opened it
  // just before may lock a file that is no longer there, and one that holds
  // the name's file then must be told apart: whoever locks checks that the
  // name still leads to its file, else starts over. A holder that lets go
  // between the refused lock and the question who holds it also starts the
  // attempt over.
  const UpdaterStoreOpen entry = UpdaterStorePath_OpenDirectory(entryPath);
  if (entry.fd < 0) {
    hold.m_refusal = entry.refusal;
    hold.m_problem = "cannot open " + entry.Why(entryPath);
    return hold;
  }
  const auto done = [&entry, &hold]() -> UpdaterStoreHold {
    ::close(entry.fd);
    return std::move(hold);
  };
  for (int attempt = 0; attempt < 8; ++attempt) {
    const UpdaterStoreOpen opened = UpdaterStorePath_OpenFileAt(entry.fd, entryPath, LOCK_FILENAME, O_RDWR | O_CREAT);
    const int fd = opened.fd;
    if (fd < 0) {
      hold.m_refusal = opened.refusal;
      hold.m_problem = "cannot open " + opened.Why(path);
      return done();
    }
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &lock) == 0) {
      struct stat locked, named;
      if (::fstat(fd, &locked) == 0 && ::fstatat(entry.fd, LOCK_FILENAME, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
        hold.m_fd = fd;
        hold.m_path = path;
        RunTempFiles::Expect(path);
        return done();
      }
      ::close(fd);
      continue;
    }
    if (errno != EACCES && errno != EAGAIN) {
      hold.m_problem = "cannot lock " + path + ": " + std::strerror(errno);
      ::close(fd);
      return done();
    }
    struct flock probe = wholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    if (held) {
      // A holder in another process namespace has no id here; any id but
      // ours still means the entry is taken.
      hold.m_holder = probe.l_pid > 0 ? probe.l_pid : -1;
      return done();
    }
  }
  hold.m_problem = "the lock on " + path + " keeps changing hands";
  return done();
}
