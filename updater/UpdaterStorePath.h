#pragma once
// Opening what the local store holds. A store path is <base>/<entry> (a
// module's directory) or <base>/<entry>/<file>. The base is the directory
// the user chose, taken as it is; everything below it the store made
// itself, so an entry or a file there that is a symbolic link, or that is
// not a directory (entry) or a regular file (file), is not the store's: it
// is refused at once, before anything is read from it or written through
// it. Entries and files are opened relative to their directory's own
// descriptor and never through a link, so nothing outside the store is read
// into it or written in its name.
//
// Every piece of the updater that opens something in the store does it
// here: settings, their temporaries and locks, module directories, the hold
// file, downloaded BIRD files and their staging copies.

#include <sys/types.h>

#include <stdexcept>
#include <string>

// Raised by the store's operations for a path that is not what the store
// made; what() names the path and what it is, "<path> is a symbolic link",
// "<path> is not a regular file", "<path> is not a directory".
class UpdaterStoreRefusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The outcome of an open: a descriptor (>= 0) that the caller closes; or -1
// with either refusal set (the path is not the store's, see above) or err
// the system's reason (ENOENT for a missing one, EACCES, ...).
struct UpdaterStoreOpen {
  int fd = -1;
  int err = 0;
  std::string refusal;

  bool Refused() const { return !refusal.empty(); }
  // What to tell the user: the refusal, else "<path>: <system reason>".
  std::string Why(const std::string& path) const;
};

// Opens the directory at path: its last component must be a directory that
// is not a link; its parent is followed as given. With create, a missing
// one is made with mode first (not its parents).
UpdaterStoreOpen UpdaterStorePath_OpenDirectory(const std::string& path, bool create = false, mode_t mode = 0755);

// Opens the file at path for the open(2) flags given (O_CREAT and O_EXCL
// allowed): the file must be a regular file that is not a link, and its
// directory is opened as UpdaterStorePath_OpenDirectory does. Never waits
// on a FIFO or a device: they are refused.
UpdaterStoreOpen UpdaterStorePath_OpenFile(const std::string& path, int flags, mode_t mode = 0666);

// The same for the entry name of an open directory; dirPath is that
// directory's path, for messages.
UpdaterStoreOpen UpdaterStorePath_OpenFileAt(int dirFd, const std::string& dirPath, const std::string& name, int flags,
                                             mode_t mode = 0666);

// The directory part of a path ("." for a bare name, "/" for the root) and
// its last component.
std::string UpdaterStorePath_Directory(const std::string& path);
std::string UpdaterStorePath_Leaf(const std::string& path);
