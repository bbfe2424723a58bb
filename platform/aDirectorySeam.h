#pragma once
// The removal call of aDirectory_DeleteTree. The walk removes every entry
// through the installed table, so a test can change the tree at the moment
// of a removal (swap a directory for a link, say); the default table
// (aDirectorySeam_System) is unlinkat(2) itself.

struct aDirectorySeam {
  // As unlinkat(2): -1 with errno on failure.
  int (*unlinkat)(int dirfd, const char* name, int flags);
};

// The system call.
extern const aDirectorySeam aDirectorySeam_System;

// The table in use; never null.
const aDirectorySeam* aDirectorySeam_Get();

// Installs a table (null puts the system call back) and returns the one it
// replaces. Swap tables only while no deletion runs.
const aDirectorySeam* aDirectorySeam_Install(const aDirectorySeam* seam);
