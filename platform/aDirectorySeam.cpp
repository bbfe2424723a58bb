// The real removal call of the tree deletion.

#include "aDirectorySeam.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

const aDirectorySeam aDirectorySeam_System = {::unlinkat};

namespace {
std::atomic<const aDirectorySeam*> sSeam{&aDirectorySeam_System};
}

const aDirectorySeam* aDirectorySeam_Get() {
  return sSeam.load(std::memory_order_acquire);
}

const aDirectorySeam* aDirectorySeam_Install(const aDirectorySeam* seam) {
  return sSeam.exchange(seam ? seam : &aDirectorySeam_System, std::memory_order_acq_rel);
}
