// The real USB backend: every slot is libusb itself.

#include <atomic>

#include "aUSBSeam.h"

const aUSBSeam aUSBSeam_Libusb = {
    libusb_init,
    libusb_exit,
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_get_config_descriptor,
    libusb_free_config_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_device,
    libusb_get_string_descriptor_ascii,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_bulk_transfer,
    libusb_clear_halt,
};

namespace {
std::atomic<const aUSBSeam*> sSeam{&aUSBSeam_Libusb};
}

const aUSBSeam* aUSBSeam_Get() {
  return sSeam.load(std::memory_order_acquire);
}

const aUSBSeam* aUSBSeam_Install(const aUSBSeam* seam) {
  return sSeam.exchange(seam ? seam : &aUSBSeam_Libusb, std::memory_order_acq_rel);
}
