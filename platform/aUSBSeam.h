#pragma once
// The table of libusb operations the USB driver calls. The driver reaches
// libusb only through the installed table, so tests can put scripted devices
// under it; the default table (aUSBSeam_Libusb) hands every call straight to
// libusb. Each slot has libusb's own signature, arguments and return codes:
// negative values are LIBUSB_ERROR_* codes.
//
// Blocking: bulk_transfer blocks for up to its time-out; open may block
// briefly; the rest return at once. Every slot may be called from any thread;
// the driver never passes a null context (libusb would take it for its
// implied default context).

#include <libusb.h>

#include <sys/types.h>
#include <cstdint>

struct aUSBSeam {
  int (*init)(libusb_context** context);
  void (*exit)(libusb_context* context);
  // Number of devices placed in *list (null-terminated), or a negative code.
  ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
  void (*free_device_list)(libusb_device** list, int unref_devices);
  int (*get_device_descriptor)(libusb_device* device, struct libusb_device_descriptor* descriptor);
  int (*get_config_descriptor)(libusb_device* device, uint8_t index, struct libusb_config_descriptor** config);
  void (*free_config_descriptor)(struct libusb_config_descriptor* config);
  int (*open)(libusb_device* device, libusb_device_handle** handle);
  void (*close)(libusb_device_handle* handle);
  libusb_device* (*get_device)(libusb_device_handle* handle);
  // Length of the string placed in data (not terminated), or a negative code.
  int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length);
  int (*claim_interface)(libusb_device_handle* handle, int interface_number);
  int (*release_interface)(libusb_device_handle* handle, int interface_number);
  int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                       int* transferred, unsigned int timeout_ms);
  int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
};

// The pass-through to libusb.
extern const aUSBSeam aUSBSeam_Libusb;

// The table in use; never null.
const aUSBSeam* aUSBSeam_Get();

// Installs a table (null puts libusb back) and returns the one it replaces.
// Swap tables only while no USB context or device of the old one is in use:
// end the context with Jorvanite_libusb_exit first.
const aUSBSeam* aUSBSeam_Install(const aUSBSeam* seam);
