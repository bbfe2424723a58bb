// The USB stream: the driver record behind the aStream operations.

#include "aUSBStream.h"

#include <cstdio>
#include <new>

#include "aUSB.h"

namespace {

struct aUSBStream {
  uint32_t serialNumber = 0;
  jvusb_device* device = nullptr;
  uint16_t check = 0;
};

bool aVALIDUSBS(const aUSBStream* context) {
  return context && context->check == aUSBSTREAMCHECK;
}

aUSBStream* sContext(void* ref) {
  aUSBStream* context = static_cast<aUSBStream*>(ref);
  return aVALIDUSBS(context) ? context : nullptr;
}

aErr sGet(uint8_t* byte, void* ref) {
  aUSBStream* context = sContext(ref);
  return context ? jvusb_get_from_device(context->device, byte) : aErrParam;
}

aErr sWrite(const uint8_t* data, uint64_t length, void* ref) {
  aUSBStream* context = sContext(ref);
  return context ? jvusb_write_to_device(context->device, data, static_cast<size_t>(length)) : aErrParam;
}

aErr sPut(const uint8_t* byte, void* ref) {
  return sWrite(byte, 1, ref);
}

aErr sWait(uint64_t ms, void* ref) {
  aUSBStream* context = sContext(ref);
  return context ? jvusb_wait_readable(context->device, ms) : aErrParam;
}

// Closes the device (releasing the interface of one still open), then frees
// the driver record and the context whatever the close answers: a close
// that fails has still let the device go. Returns the close's result.
aErr sFree(aUSBStream* context) {
  aErr err = aErrNone;
  if (context->device) {
    err = jvusb_close_jorvanite_device(context->device);
    jvusb_destroy(&context->device);
  }
  context->check = 0;
  delete context;
  return err;
}

aErr sDelete(void* ref) {
  aUSBStream* context = sContext(ref);
  return context ? sFree(context) : aErrParam;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (!stream)
    return aErrParam;
  *stream = nullptr;
  if (serialNumber == 0)
    return aErrParam;
  const bool kernel = jvusb_is_kernel_driver_installed(serialNumber);
  aUSBStream* context = new (std::nothrow) aUSBStream{};
  if (!context)
    return aErrMemory;
  context->serialNumber = serialNumber;
  context->check = aUSBSTREAMCHECK;
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serialNumber));
  context->device = jvusb_create_usb(kernel ? jvusbModeKernel : jvusbModeLibusb);
  if (!context->device) {
    sFree(context);
    return aErrResource;
  }
  if (aErr err = jvusb_open_jorvanite_device(context->device, text)) {
    sFree(context);
    return err;
  }
  aStream* created = aStream_Create(sGet, sPut, sWrite, sDelete, context);
  if (!created) {
    sFree(context);
    return aErrMemory;
  }
  aStream_SetWaitProc(created, sWait);
  *stream = created;
  return aErrNone;
}
