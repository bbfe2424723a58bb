#pragma once
// The USB byte stream to one module, by serial number: through the family's
// kernel driver node when it exists, else through libusb (aUSB.h).
//
// get    aErrNone with a byte; aErrNotReady when none came within about a
//        second (a get blocks up to that long, so a reader needs no pause of
//        its own); aErrIO once the device has failed; aErrConnection after
//        the device was closed.
// put    a write of one byte.
// write  sends the block in packets; see jvusb_write_to_device.
// wait   blocks until a byte (or an error) is there or ms pass.
// delete closes the device (its error is returned, and the stream stays,
//        when that fails) and frees the driver record.
// One thread may read while another writes.

#include <cstdint>

#include "aError.h"
#include "aStream.h"

#define aUSBSTREAMCHECK 0xDEAD

// Opens the module with that serial number and stores the stream in *stream
// (set to null first). aErrParam for a null address or serial number 0;
// aErrMemory or aErrResource when the context or driver record cannot be
// made; else the open's code (aErrNotFound, aErrConfiguration, aErrBusy,
// aErrPermission, aErrUnknown, aErrIO) and no stream.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
