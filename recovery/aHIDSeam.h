#pragma once
// The table of hidapi operations the HID serial-download transport calls, so
// tests can put a simulated device under it; the default table
// (aHIDSeam_Hidapi) hands every call straight to hidapi. Each slot has
// hidapi's own signature and results:
//   init, exit: 0 or -1.
//   open: a handle, or null when no device matches or it cannot be opened.
//   write: bytes written, or -1. The first byte is the report ID.
//   read_timeout: bytes read, 0 on time-out, -1 on error; milliseconds 0
//     returns at once, -1 blocks. The returned data starts with the report ID
//     for devices with numbered reports.
//   close: releases the handle.
// Blocking: read_timeout up to its time-out, write until the device takes
// the report; the rest return at once.

#include <hidapi.h>

#include <cstddef>

struct aHIDSeam {
  int (*init)(void);
  hid_device* (*open)(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial_number);
  int (*write)(hid_device* device, const unsigned char* data, size_t length);
  int (*read_timeout)(hid_device* device, unsigned char* data, size_t length, int milliseconds);
  void (*close)(hid_device* device);
  int (*exit)(void);
};

// The pass-through to hidapi.
extern const aHIDSeam aHIDSeam_Hidapi;

// The table in use; never null.
const aHIDSeam* aHIDSeam_Get();

// Installs a table (null puts hidapi back) and returns the one it replaces.
// Swap tables only while no handle of the old one is open.
const aHIDSeam* aHIDSeam_Install(const aHIDSeam* seam);
