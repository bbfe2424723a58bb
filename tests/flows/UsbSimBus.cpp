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

// Two answers to the link's handshake queries, address and empty length each:
// what the host reads before its link runs.
const long kHandshakeAnswerBytes = 4;

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

void UsbSimBus::plug(const std::string& serial, jvsim::PipeTransport& transport, int claimResult) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_modules[serial] = &transport;
  }
  aUSBScriptDevice device = aUSBScriptDevice::Module(serial);
  device.claimResult = claimResult;
  m_script.addDevice(device);
}

void UsbSimBus::leaveAfterHandshake(const std::string& serial, std::set<int> links) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_leaving[serial] = std::move(links);
}

int UsbSimBus::links(const std::string& serial) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_links.find(serial);
  return found != m_links.end() ? found->second : 0;
}

int UsbSimBus::contextExits() const { return m_script.exits(); }

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
  const std::string name = length > 0 ? std::string(reinterpret_cast<char*>(serial), length) : std::string();
  auto module = bus->m_modules.find(name);
  Handle state;
  // The module as it is now: a restart later gives it a new pipe, which
  // only a new open reaches.
  if (module != bus->m_modules.end()) {
    state.pipe = module->second->pipe();
    state.serial = name;
  }
  bus->m_handles[*handle] = state;
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

std::shared_ptr<jvsim::BytePipe> UsbSimBus::pipeFor(libusb_device_handle* handle, bool out, const unsigned char* data,
                                                    int length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_handles.find(handle);
  if (found == m_handles.end()) return nullptr;
  Handle& h = found->second;
  if (h.pipe && !h.counted) {
    h.counted = true;
    h.leaving = m_leaving[h.serial].count(++m_links[h.serial]) != 0;
  }
  if (h.leaving && out) {
    // Packets on the wire: address byte, length byte, that many data bytes.
    // The host stops sending its handshake's queries once two answers made
    // it whole, so how many go out depends on timing; the packet that
    // starts after the host read those answers is the first after it.
    for (int i = 0; i < length && !h.gone; ++i) {
      if (h.framing == 0) {
        if (h.answered >= kHandshakeAnswerBytes) h.gone = true;
        h.framing = 1;
      } else if (h.framing == 1) {
        h.dataLeft = data[i];
        h.framing = h.dataLeft > 0 ? 2 : 0;
      } else if (--h.dataLeft == 0) {
        h.framing = 0;
      }
    }
  }
  return h.gone ? nullptr : h.pipe;
}

void UsbSimBus::noteRead(libusb_device_handle* handle, long n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_handles.find(handle);
  if (found != m_handles.end() && found->second.leaving) found->second.answered += n;
}

int UsbSimBus::sBulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                     int* transferred, unsigned int timeout) {
  *transferred = 0;
  std::shared_ptr<jvsim::BytePipe> pipe = sBus.load()->pipeFor(handle, (endpoint & 0x80) == 0, data, length);
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
  sBus.load()->noteRead(handle, n);
  *transferred = static_cast<int>(n);
  return 0;
}
