#include "UsbSimBus.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "aUSB.h"

namespace {

std::atomic<UsbSimBus*> sBus{nullptr};

// libusb's "wait for ever" is a time-out of 0; the pipe is polled in slices
// so that a closed pipe is noticed.
const int kForeverSliceMS = 100;

}  // namespace

UsbSimBus::UsbSimBus() : m_scriptSeam(aUSBSeam_Get()), m_seam(*m_scriptSeam) {
  UsbSimBus* expected = nullptr;
  if (!sBus.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "UsbSimBus: a second bus while one is installed\n");
    std::abort();
  }
  m_seam.open = sOpen;
  m_seam.close = sClose;
  m_seam.bulk_transfer = sBulk;
  aUSBSeam_Install(&m_seam);
}

UsbSimBus::~UsbSimBus() {
  Jorvanite_libusb_exit();
  aUSBSeam_Install(m_scriptSeam);
  sBus = nullptr;
}

void UsbSimBus::plug(const std::string& serial, jvsim::PipeTransport& transport) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_modules[serial] = &transport;
  }
  m_script.addDevice(aUSBScriptDevice::Module(serial));
}

int UsbSimBus::sOpen(libusb_device* device, libusb_device_handle** handle) {
  UsbSimBus* bus = sBus;
  const int rc = bus->m_scriptSeam->open(device, handle);
  if (rc != 0) return rc;
  libusb_device_descriptor descriptor{};
  unsigned char serial[64];
  int length = -1;
  if (bus->m_scriptSeam->get_device_descriptor(device, &descriptor) == 0) {
    length = bus->m_scriptSeam->get_string_descriptor_ascii(*handle, descriptor.iSerialNumber, serial,
                                                            sizeof serial);
  }
  std::lock_guard<std::mutex> lock(bus->m_mutex);
  auto module = length > 0 ? bus->m_modules.find(std::string(reinterpret_cast<char*>(serial), length))
                           : bus->m_modules.end();
  // The module as it is now: a restart later gives it a new pipe, which
  // only a new open reaches.
  bus->m_handles[*handle] = module != bus->m_modules.end() ? module->second->pipe() : nullptr;
  return 0;
}

void UsbSimBus::sClose(libusb_device_handle* handle) {
  UsbSimBus* bus = sBus;
  {
    std::lock_guard<std::mutex> lock(bus->m_mutex);
    bus->m_handles.erase(handle);
  }
  bus->m_scriptSeam->close(handle);
}

std::shared_ptr<jvsim::BytePipe> UsbSimBus::pipeOf(libusb_device_handle* handle) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_handles.find(handle);
  return found != m_handles.end() ? found->second : nullptr;
}

int UsbSimBus::sBulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                     int* transferred, unsigned int timeout) {
  *transferred = 0;
  std::shared_ptr<jvsim::BytePipe> pipe = sBus.load()->pipeOf(handle);
  if (!pipe) return LIBUSB_ERROR_NO_DEVICE;
  if ((endpoint & 0x80) == 0) {
    if (!pipe->hostWrite(data, static_cast<size_t>(length))) return LIBUSB_ERROR_NO_DEVICE;
    *transferred = length;
    return 0;
  }
  long n = 0;
  do {
    n = pipe->hostRead(data, static_cast<size_t>(length), timeout != 0 ? static_cast<int>(timeout) : kForeverSliceMS);
  } while (n == 0 && timeout == 0);
  if (n < 0) return LIBUSB_ERROR_NO_DEVICE;
  if (n == 0) return LIBUSB_ERROR_TIMEOUT;
  *transferred = static_cast<int>(n);
  return 0;
}
