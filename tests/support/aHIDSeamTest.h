#pragma once
// A hidapi table for tests: open hands out the device attached for the
// requested IDs, and writes and reads go to it. The table also counts the
// calls, so tests can check that every handle opened was closed and that
// hidapi was ended.
//
//   aHIDSeamTest::reset();
//   aHIDSeamTest::attach(IMX1050::VID, IMX1050::PID, &device);
//   const aHIDSeam* old = aHIDSeam_Install(&aHIDSeamTest::table);
//   ... HID_SDPLoader ...
//   aHIDSeam_Install(old);
//
// The calls and the attach/reset functions may come from any thread.

#include <cstddef>
#include <cstdint>

#include "aHIDSeam.h"

// A device behind the test table, with hidapi's write and read semantics.
class aHIDTestDevice {
public:
  virtual ~aHIDTestDevice() = default;
  // data[0] is the report ID. Bytes taken, or -1.
  virtual int write(const uint8_t* data, size_t length) = 0;
  // One input report into data (at most length bytes): its length, 0 after
  // timeout_ms without one (0 returns at once, -1 waits for ever), -1 on error.
  virtual int read(uint8_t* data, size_t length, int timeout_ms) = 0;
};

namespace aHIDSeamTest {

extern const aHIDSeam table;

struct Counts {
  int init = 0;
  int exit = 0;
  int open = 0;    // successful opens
  int close = 0;
  int write = 0;
  int read = 0;
};

// Detaches every device, clears the counts and the failure switches.
void reset();
// Puts device (null removes it) behind the IDs; open of other IDs fails.
void attach(uint16_t vendor_id, uint16_t product_id, aHIDTestDevice* device);
// Makes hid_init fail (returns -1) while set.
void setInitFails(bool fails);
Counts counts();

}  // namespace aHIDSeamTest
