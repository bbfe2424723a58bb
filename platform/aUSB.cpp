// USB driver: the shared libusb context, the family's device and interface
// rules, bulk transfers with their error tolerance, and the kernel node.

#include "aUSB.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "aMutex.h"
#include "aOpenFailure.h"
#include "aStream.h"
#include "aUSBNodeSeam.h"
#include "aUSBSeam.h"

namespace {

constexpr uint8_t kInterfaceClass = 0xFF;
constexpr uint8_t kInterfaceSubClass = 0x88;
constexpr uint8_t kInterfaceProtocol = 0x10;
constexpr size_t kSerialTextSize = 256;
// Some hosts mishandle a transfer of exactly one high-speed packet; sending
// one byte less leaves that byte for the next packet.
constexpr int kAvoidedChunk = 512;
constexpr int kKernelWriteMaxCalls = 1000;

}  // namespace

struct jvusb_device {
  uint32_t mode = jvusbModeKernel;
  char serialText[kSerialTextSize] = {};
  int fd = -1;
  libusb_device_handle* handle = nullptr;
  std::atomic<uint32_t> state{jvusbStateCreated};
  uint8_t interfaceNumber = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  uint8_t buffer[kJvusbReadChunk] = {};
  uint32_t available = 0;
  uint32_t cursor = 0;
  std::atomic<uint8_t> errorCount{0};
  uint16_t inMaxPacket = 0;
  uint16_t outMaxPacket = 0;
  // A failed transfer made by a wait, handed to the next read so that the
  // error tolerance sees it. Reader thread only.
  aErr pending = aErrNone;
};

// --- Shared context ---------------------------------------------------------

namespace {

libusb_context* _libusbContext = nullptr;
// Devices open on the context and enumerations running on it; the context
// cannot end while any remain.
unsigned sContextUsers = 0;

aMutex* sContextLock() {
  static aMutex* lock = aMutex_Create("_libusbContextLock");
  return lock;
}

class ContextGuard {
 public:
  ContextGuard() : m_lock(sContextLock()) { aMutex_Lock(m_lock); }
  ~ContextGuard() { aMutex_Unlock(m_lock); }
  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;

 private:
  aMutex* m_lock;
};

libusb_context* sContextLocked() {
  if (!_libusbContext) {
    libusb_context* context = nullptr;
    if (aUSBSeam_Get()->init(&context) == 0 && context)
      _libusbContext = context;
  }
  return _libusbContext;
}

// Takes the context for a device or an enumeration; release with sReleaseContext.
libusb_context* sAcquireContext() {
  ContextGuard guard;
  libusb_context* context = sContextLocked();
  if (context)
    ++sContextUsers;
  return context;
}

void sReleaseContext() {
  ContextGuard guard;
  if (sContextUsers > 0)
    --sContextUsers;
}

}  // namespace

libusb_context* Jorvanite_libusb_context() {
  ContextGuard guard;
  return sContextLocked();
}

libusb_context* Jorvanite_libusb_init() {
  return Jorvanite_libusb_context();
}

aErr Jorvanite_libusb_exit() {
  ContextGuard guard;
  if (sContextUsers > 0)
    return aErrBusy;
  if (_libusbContext)
    aUSBSeam_Get()->exit(_libusbContext);
  _libusbContext = nullptr;
  return aErrNone;
}

// --- Serial numbers and the node path ---------------------------------------

bool jvusb_parse_serial(const char* text, size_t length, uint32_t* serialNumber) {
  if (!text || length != 8)
    return false;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  if (serialNumber)
    *serialNumber = value;
  return true;
}

namespace {

constexpr const char* kDefaultNodeFormat = "/dev/jorvanite.%08X";
constexpr const char* kSerialConversion = "%08X";

std::mutex sNodeFormatMutex;
std::string sNodePrefix = "/dev/jorvanite.";
std::string sNodeSuffix;

std::string sNodePath(const char* serialText) {
  std::lock_guard<std::mutex> lock(sNodeFormatMutex);
  return sNodePrefix + serialText + sNodeSuffix;
}

void sSerialText(uint32_t serialNumber, char (&text)[9]) {
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serialNumber));
}

}  // namespace

aErr jvusb_set_node_path_format(const char* format) {
  const std::string text = format ? format : kDefaultNodeFormat;
  const size_t at = text.find(kSerialConversion);
  if (at == std::string::npos)
    return aErrParam;
  std::string prefix = text.substr(0, at);
  std::string suffix = text.substr(at + std::strlen(kSerialConversion));
  if (prefix.find('%') != std::string::npos || suffix.find('%') != std::string::npos)
    return aErrParam;
  std::lock_guard<std::mutex> lock(sNodeFormatMutex);
  sNodePrefix = std::move(prefix);
  sNodeSuffix = std::move(suffix);
  return aErrNone;
}

bool jvusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char text[9];
  sSerialText(serialNumber, text);
  struct stat info;
  if (::stat(sNodePath(text).c_str(), &info) != 0)
    return false;
  return !S_ISDIR(info.st_mode);
}

// --- Device and interface rules ---------------------------------------------

namespace {

bool sIsFamilyDevice(libusb_device* usbDevice, libusb_device_descriptor* descriptor) {
  if (aUSBSeam_Get()->get_device_descriptor(usbDevice, descriptor) != 0)
    return false;
  return descriptor->idVendor == kJorvaniteUSBVendorID && (descriptor->idProduct & 0x8000) == 0;
}

// Reads the serial-number string; true (with the text, terminated) only
// when it is exactly eight upper-case hexadecimal digits.
bool sReadSerial(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
                 char (&text)[kSerialTextSize], uint32_t* serialNumber) {
  unsigned char raw[kSerialTextSize] = {};
  const int length = aUSBSeam_Get()->get_string_descriptor_ascii(handle, descriptor.iSerialNumber, raw,
                                                                 static_cast<int>(sizeof raw - 1));
  if (length < 0 || length >= static_cast<int>(sizeof raw))
    return false;
  if (!jvusb_parse_serial(reinterpret_cast<const char*>(raw), static_cast<size_t>(length), serialNumber))
    return false;
  std::memcpy(text, raw, static_cast<size_t>(length));
  text[length] = '\0';
  return true;
}

// Finds the family's interface and its endpoints. A later matching
// alternate setting replaces an earlier one whole, so the interface number
// and both endpoints always come from one setting.
bool sFindInterface(libusb_device* usbDevice, jvusb_device* device) {
  const aUSBSeam* seam = aUSBSeam_Get();
  libusb_config_descriptor* config = nullptr;
  if (seam->get_config_descriptor(usbDevice, 0, &config) != 0 || !config)
    return false;
  bool matched = false;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceClass != kInterfaceClass || alt.bInterfaceSubClass != kInterfaceSubClass ||
          alt.bInterfaceProtocol != kInterfaceProtocol)
        continue;
      matched = true;
      device->interfaceNumber = alt.bInterfaceNumber;
      device->inEndpoint = device->outEndpoint = 0;
      device->inMaxPacket = device->outMaxPacket = 0;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = alt.endpoint[e];
        if ((endpoint.bmAttributes & 0x02) == 0)
          continue;
        const uint16_t maxPacket = static_cast<uint16_t>(endpoint.wMaxPacketSize & 0x07FF);
        if (endpoint.bEndpointAddress & 0x80) {
          device->inEndpoint = endpoint.bEndpointAddress;
          device->inMaxPacket = maxPacket;
        } else {
          device->outEndpoint = endpoint.bEndpointAddress;
          device->outMaxPacket = maxPacket;
        }
      }
    }
  }
  seam->free_config_descriptor(config);
  // An endpoint that takes packets of no size cannot carry the link.
  return matched && device->inEndpoint && device->outEndpoint && device->inMaxPacket && device->outMaxPacket;
}

aErr sClaimError(int rc) {
  switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

// Closes the record's handle and gives its use of the context back.
void sDropHandle(jvusb_device* device) {
  if (!device->handle)
    return;
  aUSBSeam_Get()->close(device->handle);
  device->handle = nullptr;
  sReleaseContext();
}

// Opened handles of the enumeration and the open loop count as users of
// the context; these keep that count right.
libusb_device_handle* sOpenCounted(libusb_device* usbDevice) {
  libusb_device_handle* handle = nullptr;
  if (!sAcquireContext())
    return nullptr;
  if (const int rc = aUSBSeam_Get()->open(usbDevice, &handle); rc != 0 || !handle) {
    aOpenFailure_Note(aOpenStepReadSerial, aOpenCauseLibusb, rc != 0 ? rc : LIBUSB_ERROR_OTHER);
    sReleaseContext();
    return nullptr;
  }
  return handle;
}

void sCloseCounted(libusb_device_handle* handle) {
  aUSBSeam_Get()->close(handle);
  sReleaseContext();
}

// Walks the family's devices with a readable serial number. visit(device,
// handle, descriptor, text, serial, stop) returns true to keep the handle
// (the walk then stops), false to have it closed and go on; setting stop
// ends the walk after that close.
template <typename Visit>
void sWalkFamilyDevices(Visit&& visit) {
  libusb_context* context = sAcquireContext();
  if (!context)
    return;
  const aUSBSeam* seam = aUSBSeam_Get();
  libusb_device** list = nullptr;
  const ssize_t count = seam->get_device_list(context, &list);
  if (count < 0)
    aOpenFailure_Note(aOpenStepListDevices, aOpenCauseLibusb, static_cast<int>(count));
  if (count >= 0 && list) {
    for (ssize_t i = 0; i < count && list[i]; ++i) {
      libusb_device_descriptor descriptor{};
      if (!sIsFamilyDevice(list[i], &descriptor))
        continue;
      libusb_device_handle* handle = sOpenCounted(list[i]);
      if (!handle)
        continue;
      char text[kSerialTextSize];
      uint32_t serial = 0;
      bool stop = false;
      if (seam->get_device_descriptor(list[i], &descriptor) == 0 && sReadSerial(handle, descriptor, text, &serial) &&
          visit(list[i], handle, descriptor, text, serial, stop))
        break;
      sCloseCounted(handle);
      if (stop)
        break;
    }
    seam->free_device_list(list, 1);
  }
  sReleaseContext();
}

}  // namespace

// --- Records ------------------------------------------------------------------

jvusb_device* jvusb_create_usb(uint32_t mode) {
  if (mode != jvusbModeKernel && mode != jvusbModeLibusb)
    return nullptr;
  if (mode == jvusbModeLibusb && !Jorvanite_libusb_context())
    return nullptr;
  jvusb_device* device = new (std::nothrow) jvusb_device{};
  if (device)
    device->mode = mode;
  return device;
}

uint32_t jvusb_get_state(const jvusb_device* device) {
  return device ? device->state.load() : 0;
}

uint32_t jvusb_get_mode(const jvusb_device* device) {
  return device ? device->mode : 0;
}

namespace {

aErr sCheck(const jvusb_device* device, uint32_t mode) {
  if (!device)
    return aErrParam;
  return device->mode == mode ? aErrNone : aErrMode;
}

aErr sCheckOpen(const jvusb_device* device, uint32_t mode, const char* serialText) {
  if (aErr err = sCheck(device, mode))
    return err;
  if (!serialText || !jvusb_parse_serial(serialText, std::strlen(serialText), nullptr))
    return aErrParam;
  const uint32_t state = device->state.load();
  if (device->handle || device->fd >= 0 || (state != jvusbStateCreated && state != jvusbStateClosed))
    return aErrResource;
  return aErrNone;
}

}  // namespace

aErr jvusb_open_jorvanite_device(jvusb_device* device, const char* serialText) {
  if (!device)
    return aErrParam;
  return device->mode == jvusbModeLibusb ? jvusb_open_jorvanite_USBlib_device(device, serialText)
                                         : jvusb_open_jorvanite_kernel_device(device, serialText);
}

aErr jvusb_open_jorvanite_USBlib_device(jvusb_device* device, const char* serialText) {
  if (aErr err = sCheckOpen(device, jvusbModeLibusb, serialText))
    return err;
  // Devices the walk could not read before it found the module do not
  // explain anything once the module is open.
  aOpenFailure before;
  aOpenFailure_Last(&before);
  aErr result = aErrNotFound;
  sWalkFamilyDevices([&](libusb_device* usbDevice, libusb_device_handle* handle, const libusb_device_descriptor&,
                         const char* text, uint32_t, bool& stop) {
    if (std::strcmp(text, serialText) != 0)
      return false;
    stop = true;
    std::snprintf(device->serialText, sizeof device->serialText, "%s", serialText);
    // The handle now belongs to the record, with its use of the context.
    device->handle = handle;
    device->state = jvusbStateOpened;
    if (!sFindInterface(usbDevice, device)) {
      aOpenFailure_Note(aOpenStepFindInterface, aOpenCauseNone);
      result = aErrConfiguration;
    } else if (const int rc = aUSBSeam_Get()->claim_interface(handle, device->interfaceNumber); rc != 0) {
      aOpenFailure_Note(aOpenStepClaimInterface, aOpenCauseLibusb, rc);
      result = sClaimError(rc);
    } else {
      device->errorCount = 0;
      device->available = device->cursor = 0;
      device->state = jvusbStateReady;
      result = aErrNone;
      return true;
    }
    device->state = jvusbStateClosed;
    device->handle = nullptr;
    device->interfaceNumber = device->inEndpoint = device->outEndpoint = 0;
    // Handing the handle back to the walk closes it there.
    return false;
  });
  if (result == aErrNone)
    aOpenFailure_Put(before);
  return result;
}

aErr jvusb_open_jorvanite_kernel_device(jvusb_device* device, const char* serialText) {
  if (aErr err = sCheckOpen(device, jvusbModeKernel, serialText))
    return err;
  std::snprintf(device->serialText, sizeof device->serialText, "%s", serialText);
  const int fd = aUSBNodeSeam_Get()->open(sNodePath(serialText).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int cause = errno;
    aOpenFailure_Note(aOpenStepOpenNode, aOpenCauseErrno, cause);
    return cause == EBUSY ? aErrBusy : aErrIO;
  }
  device->fd = fd;
  return aErrNone;
}

// --- Transfers ------------------------------------------------------------------

namespace {

// Absorbs up to four consecutive input/output errors; the fifth fails the
// device. The count stops at its ceiling so it can never wrap back into the
// tolerated range.
aErr sHandleErrorTolerance(jvusb_device* device, aErr result, bool isWrite) {
  if (result != aErrIO) {
    device->errorCount = 0;
    return result;
  }
  uint8_t before = device->errorCount.load();
  while (!device->errorCount.compare_exchange_weak(before, before == UINT8_MAX ? before : before + 1)) {
  }
  if (before < kJvusbToleratedErrors)
    return isWrite ? aErrNone : aErrNotReady;
  device->state = jvusbStateFailed;
  return aErrIO;
}

aErr sStateError(uint32_t state) {
  switch (state) {
    case jvusbStateClosed:
      return aErrConnection;
    case jvusbStateFailed:
      return aErrIO;
    default:
      return aErrNotReady;
  }
}

aErr sLibusbWrite(jvusb_device* device, const uint8_t* data, size_t length) {
  const uint32_t state = device->state.load();
  if (state == jvusbStateFailed)
    return aErrIO;
  if (state != jvusbStateReady)
    return sStateError(state);
  const aUSBSeam* seam = aUSBSeam_Get();
  size_t sent = 0;
  int failures = 0;
  bool clearFailed = false;
  while (sent < length && failures < kJvusbWriteMaxFailures) {
    int chunk = static_cast<int>(std::min<size_t>(length - sent, device->outMaxPacket));
    if (chunk == kAvoidedChunk)
      chunk = kAvoidedChunk - 1;
    int transferred = 0;
    const int rc = seam->bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent), chunk,
                                       &transferred, kJvusbWriteTimeoutMS);
    if (transferred > 0)
      sent += static_cast<size_t>(std::min(transferred, chunk));
    // A transfer that moves nothing counts as failed too, so a write always ends.
    if (rc != 0 || transferred <= 0) {
      ++failures;
      if (rc == LIBUSB_ERROR_PIPE && seam->clear_halt(device->handle, device->outEndpoint) != 0)
        clearFailed = true;
    }
  }
  if (clearFailed)
    return aErrIO;
  return sent < length ? aErrWrite : aErrNone;
}

// One IN transfer into the empty receive buffer: aErrNone when bytes came,
// aErrNotReady for a time-out or a stall (whose halt is cleared), aErrIO for
// any other failure. Reader thread only.
aErr sFill(jvusb_device* device, unsigned timeoutMS) {
  const aUSBSeam* seam = aUSBSeam_Get();
  int received = 0;
  const int rc =
      seam->bulk_transfer(device->handle, device->inEndpoint, device->buffer, kJvusbReadChunk, &received, timeoutMS);
  if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && received > 0)) {
    device->cursor = 0;
    device->available = static_cast<uint32_t>(std::clamp(received, 0, kJvusbReadChunk));
    return device->available ? aErrNone : aErrNotReady;
  }
  if (rc == LIBUSB_ERROR_TIMEOUT)
    return aErrNotReady;
  if (rc == LIBUSB_ERROR_PIPE) {
    seam->clear_halt(device->handle, device->inEndpoint);
    return aErrNotReady;
  }
  return aErrIO;
}

aErr sLibusbRead(jvusb_device* device, uint8_t* byte) {
  const uint32_t state = device->state.load();
  if (state == jvusbStateFailed)
    return aErrIO;
  if (state != jvusbStateReady)
    return sStateError(state);
  if (device->pending != aErrNone) {
    const aErr pending = device->pending;
    device->pending = aErrNone;
    return pending;
  }
  if (device->available == 0) {
    if (aErr err = sFill(device, kJvusbReadTimeoutMS))
      return err;
  }
  *byte = device->buffer[device->cursor++];
  --device->available;
  return aErrNone;
}

aErr sKernelWrite(jvusb_device* device, const uint8_t* data, size_t length) {
  if (device->fd < 0)
    return aErrMode;
  size_t written = 0;
  for (int calls = 0; written < length && calls < kKernelWriteMaxCalls; ++calls) {
    const ssize_t n = aUSBNodeSeam_Get()->write(device->fd, data + written, length - written);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return aErrIO;
    }
    written += static_cast<size_t>(n);
  }
  return written < length ? aErrIO : aErrNone;
}

aErr sKernelRead(jvusb_device* device, uint8_t* byte) {
  if (device->fd < 0)
    return aErrMode;
  const ssize_t n = aUSBNodeSeam_Get()->read(device->fd, byte, 1);
  if (n == 1)
    return aErrNone;
  if (n == 0)
    return aErrNotReady;
  // The driver answers EFAULT when no byte is waiting; a signal is no failure either.
  if (errno == EFAULT || errno == EINTR || errno == EAGAIN)
    return aErrNotReady;
  return aErrIO;
}

}  // namespace

aErr jvusb_write_to_device(jvusb_device* device, const uint8_t* data, size_t length) {
  if (!device || (!data && length))
    return aErrParam;
  if (device->mode == jvusbModeKernel)
    return sKernelWrite(device, data, length);
  return sHandleErrorTolerance(device, sLibusbWrite(device, data, length), true);
}

aErr jvusb_get_from_device(jvusb_device* device, uint8_t* byte) {
  if (!device || !byte)
    return aErrParam;
  if (device->mode == jvusbModeKernel)
    return sKernelRead(device, byte);
  return sHandleErrorTolerance(device, sLibusbRead(device, byte), false);
}

aErr jvusb_wait_readable(jvusb_device* device, uint64_t ms) {
  if (!device)
    return aErrParam;
  if (device->mode == jvusbModeKernel)
    return device->fd < 0 ? aErrNone : aStream_WaitDescriptor(device->fd, ms);
  if (device->state.load() != jvusbStateReady || device->available > 0 || device->pending != aErrNone)
    return aErrNone;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  do {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    // libusb takes a time-out of 0 as no time-out at all.
    const unsigned slice = static_cast<unsigned>(std::clamp<long long>(left, 1, kJvusbReadTimeoutMS));
    const aErr err = sFill(device, slice);
    if (err == aErrNone)
      return aErrNone;
    if (err != aErrNotReady) {
      device->pending = err;
      return aErrNone;
    }
    // A quiet moment met here is the read's time-out that the reader never
    // makes (it reads only after a wait that found something), so it ends a
    // run of errors as a read's would.
    sHandleErrorTolerance(device, err, false);
  } while (std::chrono::steady_clock::now() < deadline);
  return aErrTimeout;
}

// --- Closing ------------------------------------------------------------------

aErr jvusb_close_jorvanite_device(jvusb_device* device) {
  if (!device)
    return aErrParam;
  return device->mode == jvusbModeLibusb ? jvusb_close_jorvanite_USBlib_device(device)
                                         : jvusb_close_jorvanite_kernel_device(device);
}

aErr jvusb_close_jorvanite_USBlib_device(jvusb_device* device) {
  if (aErr err = sCheck(device, jvusbModeLibusb))
    return err;
  if (!device->handle)
    return aErrMode;
  aUSBSeam_Get()->release_interface(device->handle, device->interfaceNumber);
  sDropHandle(device);
  device->state = jvusbStateClosed;
  device->interfaceNumber = device->inEndpoint = device->outEndpoint = 0;
  device->available = device->cursor = 0;
  device->pending = aErrNone;
  return aErrNone;
}

aErr jvusb_close_jorvanite_kernel_device(jvusb_device* device) {
  if (aErr err = sCheck(device, jvusbModeKernel))
    return err;
  if (device->fd < 0)
    return aErrNone;
  // The descriptor is released even when the close fails: the record lets
  // go of it either way, so that nothing closes its number a second time
  // once another file holds it.
  const int rc = aUSBNodeSeam_Get()->close(device->fd);
  device->fd = -1;
  device->state = jvusbStateClosed;
  return rc == 0 ? aErrNone : aErrCancel;
}

aErr jvusb_destroy(jvusb_device** device) {
  if (!device || !*device)
    return aErrParam;
  jvusb_device* record = *device;
  sDropHandle(record);
  if (record->fd >= 0)
    aUSBNodeSeam_Get()->close(record->fd);
  delete record;
  *device = nullptr;
  return aErrNone;
}

// --- Enumeration ------------------------------------------------------------------

void jvusb_enumerate(jvusb_enumerate_proc proc, void* ref) {
  if (!proc)
    return;
  sWalkFamilyDevices([&](libusb_device*, libusb_device_handle*, const libusb_device_descriptor& descriptor, const char*,
                         uint32_t serial, bool& stop) {
    stop = !proc(serial, descriptor.idProduct, ref);
    return false;
  });
}
