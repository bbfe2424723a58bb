#include "aHIDSeam.h"

#include <atomic>

const aHIDSeam aHIDSeam_Hidapi = {
    hid_init, hid_open, hid_write, hid_read_timeout, hid_close, hid_exit,
};

namespace {
std::atomic<const aHIDSeam*> sSeam{&aHIDSeam_Hidapi};
}

const aHIDSeam* aHIDSeam_Get() {
  return sSeam.load();
}

const aHIDSeam* aHIDSeam_Install(const aHIDSeam* seam) {
  return sSeam.exchange(seam ? seam : &aHIDSeam_Hidapi);
}
