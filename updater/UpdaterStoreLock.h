#pragma once
// Coordinating several runs of the updater that share one local store.
//
// Two locks, both advisory and both dropped by the kernel when their holder
// dies, so a killed run never leaves a module locked:
//
// - The settings lock (flock on the directory that holds a settings file)
//   covers one read-modify-write of that file: held for a read, a merge and
//   a rename, milliseconds. Waiters block until it is free.
// - The entry hold (an fcntl record lock on ".update.lock" in a module's
//   directory, which is there only while it is held) is taken by a run that
//   installs firmware on the module and kept until that run ends. It is never waited for: a second installing
//   run is refused at once and told which process holds it. Downloads and
//   listings do not take it.
//
// The two never nest the other way round (a settings save may happen while
// the hold is kept, never the reverse), so they cannot deadlock.

#include <sys/types.h>

#include <string>

// Exclusive lock on the directory that holds filePath ("." for a bare
// name), for the object's lifetime. A directory that cannot be opened or
// locked gives no lock: Held() is false and the caller goes on without it
// (a file in such a directory cannot be replaced either).
class UpdaterStoreDirectoryLock {
 public:
  explicit UpdaterStoreDirectoryLock(const std::string& filePath);
  ~UpdaterStoreDirectoryLock();
  UpdaterStoreDirectoryLock(const UpdaterStoreDirectoryLock&) = delete;
  UpdaterStoreDirectoryLock& operator=(const UpdaterStoreDirectoryLock&) = delete;

  bool Held() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

// One installing run's claim on a module's store entry. Record locks belong
// to the process: a process holds at most one UpdaterStoreHold per entry,
// since dropping either would drop both.
class UpdaterStoreHold {
 public:
  // The lock file's name inside a module directory.
  static const char* const LOCK_FILENAME;  // ".update.lock"

  // Holds nothing.
  UpdaterStoreHold() = default;
  UpdaterStoreHold(UpdaterStoreHold&& other) noexcept;
  UpdaterStoreHold& operator=(UpdaterStoreHold&& other) noexcept;
  UpdaterStoreHold(const UpdaterStoreHold&) = delete;
  UpdaterStoreHold& operator=(const UpdaterStoreHold&) = delete;
  ~UpdaterStoreHold();

  // Claims the entry at entryPath (an existing module directory) without
  // waiting. Afterwards exactly one of: Held(); Holder() is nonzero, the
  // process id of the run that has it (-1 when this process cannot see
  // it); Problem() says why the lock file could not be used. Refusal()
  // is set too when that is because the entry or its lock file is not
  // what the store makes (a symbolic link, a FIFO, ...; UpdaterStorePath.h):
  // nothing was created or opened through it.
  static UpdaterStoreHold Take(const std::string& entryPath);

  bool Held() const { return m_fd >= 0; }
  pid_t Holder() const { return m_holder; }
  const std::string& Problem() const { return m_problem; }
  const std::string& Refusal() const { return m_refusal; }

 private:
  void release();

  int m_fd = -1;
  pid_t m_holder = 0;
  std::string m_path;
  std::string m_problem;
  std::string m_refusal;
};
