// The real kernel-node backend: every slot is the system call.

#include "aUSBNodeSeam.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace {

int sOpen(const char* path, int flags) {
  return ::open(path, flags);
}

std::atomic<const aUSBNodeSeam*> sSeam{&aUSBNodeSeam_System};

}  // namespace

const aUSBNodeSeam aUSBNodeSeam_System = {sOpen, ::read, ::write, ::close};

const aUSBNodeSeam* aUSBNodeSeam_Get() {
  return sSeam.load(std::memory_order_acquire);
}

const aUSBNodeSeam* aUSBNodeSeam_Install(const aUSBNodeSeam* seam) {
  return sSeam.exchange(seam ? seam : &aUSBNodeSeam_System, std::memory_order_acq_rel);
}
