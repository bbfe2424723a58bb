#pragma once
// The calls the USB driver makes on the family's kernel driver node. The
// driver reaches the node only through the installed table, so tests can
// make the node answer as the kernel driver does (busy on open, EFAULT on
// an empty read, short writes, a failing close); the default table
// (aUSBNodeSeam_System) is the system calls themselves. Each slot has the
// system call's signature and results: -1 with errno on failure.
//
// Every slot may be called from any thread: a node is read by one thread
// while another writes it.

#include <sys/types.h>
#include <cstddef>

#include "aError.h"

struct aUSBNodeSeam {
  int (*open)(const char* path, int flags);
  ssize_t (*read)(int fd, void* data, size_t length);
  ssize_t (*write)(int fd, const void* data, size_t length);
  // As close(2): the descriptor is released even when the call fails.
  int (*close)(int fd);
};

// The system calls.
extern const aUSBNodeSeam aUSBNodeSeam_System;

// The table in use; never null.
const aUSBNodeSeam* aUSBNodeSeam_Get();

// Installs a table (null puts the system calls back) and returns the one it
// replaces. Swap tables only while no node is open.
const aUSBNodeSeam* aUSBNodeSeam_Install(const aUSBNodeSeam* seam);

// Where the node is: its path format, which holds "%08X" exactly once
// and no other '%'. Null restores the default "/dev/jorvanite.%08X".
// aErrParam for any other format (the current one stays).
aErr jvusb_set_node_path_format(const char* format);
