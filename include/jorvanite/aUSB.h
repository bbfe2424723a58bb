#pragma once
// The USB driver: reaches one module of the family by its serial number,
// either through the family's kernel driver node or, when no node exists,
// through libusb bulk endpoints (via the table in aUSBSeam.h).
//
// A module is a USB device with the family's vendor id
// (kJorvaniteUSBVendorID, from the build setting JV_USB_VENDOR_ID) and a product id below 0x8000, whose serial-number
// string is exactly eight upper-case hexadecimal digits. Its interface is
// the alternate setting of configuration 0 with class 0xFF, subclass 0x88,
// protocol 0x10; its bulk or interrupt endpoints carry the bytes.
//
// Threads: one thread may read while another writes the same device (the
// link engine's receive and send threads). Open, close and destroy must not
// run alongside any other call on the same record.

#include <cstddef>
#include <cstdint>

#include "aBuildConfig.h"
#include "aError.h"

struct libusb_context;
struct jvusb_device;

// Driver record modes.
enum : uint32_t {
  jvusbModeKernel = 0,  // the kernel driver node
  jvusbModeLibusb = 1,  // libusb bulk endpoints
};

// Driver record states (libusb mode; a kernel-node record stays created
// until it is closed).
enum : uint32_t {
  jvusbStateCreated = 1,  // read and write: aErrNotReady
  jvusbStateClosed = 2,   // also after an open that failed once the device was found: aErrConnection
  jvusbStateOpened = 3,   // handle open, interface not yet claimed: aErrNotReady
  jvusbStateReady = 4,    // interface claimed: transfers run
  jvusbStateFailed = 5,   // five consecutive input/output errors: aErrIO from then on
};

// Bytes asked for by one IN transfer, and how long it waits for them.
inline constexpr int kJvusbReadChunk = 1024;
inline constexpr unsigned kJvusbReadTimeoutMS = 1000;
// Time-out of one OUT transfer (one packet), and failed transfers allowed per write.
inline constexpr unsigned kJvusbWriteTimeoutMS = 50;
inline constexpr int kJvusbWriteMaxFailures = 10;
// Consecutive input/output errors that are absorbed; the next one fails the device.
inline constexpr uint8_t kJvusbToleratedErrors = 4;

// --- The process-wide libusb context ------------------------------------

// Makes the context if there is none (a failed attempt leaves none, and the
// next call tries again) and returns it; null when libusb cannot start.
libusb_context* Jorvanite_libusb_context();
// The same as Jorvanite_libusb_context.
libusb_context* Jorvanite_libusb_init();
// Ends the context so that the next use enumerates the bus afresh.
// aErrNone (also when there was none), or aErrBusy, leaving the context as
// it is, while a device of it is open or an enumeration is using it.
aErr Jorvanite_libusb_exit();

// --- Serial numbers and the kernel node -----------------------------------

// True when text[0..length) is exactly eight upper-case hexadecimal digits;
// their value goes to *serialNumber (may be null).
bool jvusb_parse_serial(const char* text, size_t length, uint32_t* serialNumber);

// True when the node of that serial number exists and is not a directory.
bool jvusb_is_kernel_driver_installed(uint32_t serialNumber);

// --- The driver record ----------------------------------------------------
// Every operation takes the record first: aErrParam for a null record or
// argument, aErrMode when the record's mode does not fit the operation.

// A new record in the created state; libusb mode first makes sure the
// context exists. Null when memory runs out or libusb cannot start.
jvusb_device* jvusb_create_usb(uint32_t mode);

// Opens by the record's mode. The text must be eight upper-case hexadecimal
// digits (aErrParam otherwise); a record that already holds a device gives
// aErrResource.
aErr jvusb_open_jorvanite_device(jvusb_device* device, const char* serialText);
// libusb: aErrNotFound (no family device with that serial-number string),
// aErrConfiguration (no interface with both endpoints; the handle is closed
// again), aErrBusy, aErrPermission or aErrUnknown (claiming the interface).
aErr jvusb_open_jorvanite_USBlib_device(jvusb_device* device, const char* serialText);
// Kernel node: aErrBusy when the node is busy, aErrIO for any other failure.
aErr jvusb_open_jorvanite_kernel_device(jvusb_device* device, const char* serialText);

// Writes the whole block. libusb: in packets of at most the OUT endpoint's
// size (a 512-byte packet goes as 511 bytes); aErrWrite when bytes remain
// unsent after ten failed transfers. A tolerated input/output error reports
// aErrNone although the data are lost.
aErr jvusb_write_to_device(jvusb_device* device, const uint8_t* data, size_t length);

// Hands out one byte: aErrNone with it, or aErrNotReady when none came
// within about a second (time-outs, stalls and tolerated errors look the
// same). aErrIO once the device has failed.
aErr jvusb_get_from_device(jvusb_device* device, uint8_t* byte);

// Blocks until a read may find something (a byte or an error) or ms
// milliseconds pass: aErrNone when the reader should read now, aErrTimeout
// when nothing came. Runs on the reading thread only.
aErr jvusb_wait_readable(jvusb_device* device, uint64_t ms);

// Closes by the record's mode.
aErr jvusb_close_jorvanite_device(jvusb_device* device);
// aErrMode also without a handle; releases the interface, closes, state closed.
aErr jvusb_close_jorvanite_USBlib_device(jvusb_device* device);
// aErrNone without a descriptor; aErrCancel when the close fails.
aErr jvusb_close_jorvanite_kernel_device(jvusb_device* device);

// Closes a handle still open (without releasing the interface), frees the
// record and nulls *device. aErrParam for a null address or record.
aErr jvusb_destroy(jvusb_device** device);

// The record's state and mode (0 for a null record).
uint32_t jvusb_get_state(const jvusb_device* device);
uint32_t jvusb_get_mode(const jvusb_device* device);

// --- Enumeration ----------------------------------------------------------

// Called once per module found: its serial number and USB product id.
// Returns false to stop the enumeration.
typedef bool (*jvusb_enumerate_proc)(uint32_t serialNumber, uint16_t productId, void* ref);

// Lists the family's modules on the shared context, in bus order, opening
// each briefly to read its serial number. Finds nothing (no call) when
// libusb cannot start or list its devices.
void jvusb_enumerate(jvusb_enumerate_proc proc, void* ref);
