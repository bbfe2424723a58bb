#pragma once
// The hidden temporaries this run has made in the local store and not yet
// renamed or removed. A run that is interrupted removes them on its way out
// (RunInterrupts.h), so a ^C in the middle of writing a download leaves no
// half-written file behind. Each call that can bring a temporary into being
// (creating it, renaming onto a registered name) runs under the registry's
// lock, and the way out takes that lock for good: no temporary can appear
// after the registry was emptied.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace RunTempFiles {

// Creates the entry name of the open directory dirFd, whose path is
// dirPath: open() with O_CREAT | O_EXCL added to flags, as every file of
// the local store is opened (UpdaterStorePath.h), never through a link.
// dirPath/name is registered when the file was made. The descriptor, or -1
// with errno set.
int CreateIn(int dirFd, const std::string& dirPath, const std::string& name, int flags, mode_t mode);

// Registers a name that a later RenameIn() will bring into being (a staging
// copy that is itself temporary).
void Expect(const std::string& path);

// rename() from onto to, both entries of the open directory dirFd; from
// leaves the registry once it is gone. 0, or -1 with errno set.
int RenameIn(int dirFd, const std::string& dirPath, const std::string& from, const std::string& to);
// unlink() of an entry of dirFd, as Remove() does for a path.
int RemoveIn(int dirFd, const std::string& dirPath, const std::string& name);

// unlink() of path (a path already gone counts as removed) and forgets it.
// 0, or -1 with errno set.
int Remove(const std::string& path);

// For the end of an interrupted run: removes every registered path and
// keeps the registry locked, so that any other thread that goes on to
// create or rename a temporary waits until the process is gone. Returns how
// many paths were registered. Called once; never returns the lock.
size_t RemoveAllForExit();

}  // namespace RunTempFiles
