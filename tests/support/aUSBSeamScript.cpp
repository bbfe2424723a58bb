// The scripted USB bus behind aUSBSeamScript.h.

#include "aUSBSeamScript.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<aUSBScript*> sCurrent{nullptr};
}

struct aUSBScript::Device {
  aUSBScriptDevice script;
  std::deque<std::vector<uint8_t>> inQueue;
  std::vector<uint8_t> received;
  std::vector<int> outLengths;
  std::deque<int> inFaults;
  std::deque<int> outFaults;
  std::map<uint8_t, int> clearHalts;
  int opens = 0;
  int claims = 0;
  int releases = 0;
};

struct aUSBScript::Handle {
  Device* device = nullptr;
  bool open = true;
};

struct aUSBScript::Context {
  bool live = true;
};

struct aUSBScript::Config {
  libusb_config_descriptor config{};
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> alternates;
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

aUSBScriptDevice aUSBScriptDevice::Module(const std::string& serial, uint16_t outMaxPacket, uint16_t inMaxPacket) {
  aUSBScriptDevice device;
  device.serial = serial;
  aUSBScriptAltSetting alt;
  alt.endpoints = {{0x01, LIBUSB_TRANSFER_TYPE_BULK, outMaxPacket}, {0x81, LIBUSB_TRANSFER_TYPE_BULK, inMaxPacket}};
  device.interfaces = {{alt}};
  return device;
}

const aUSBSeam aUSBScript::kSeam = {
    sInit,       sExit,    sGetDeviceList, sFreeDeviceList, sGetDeviceDescriptor, sGetConfigDescriptor,
    sFreeConfigDescriptor, sOpen,          sClose,          sGetDevice,           sGetString,
    sClaim,      sRelease, sBulk,          sClearHalt,
};

aUSBScript::aUSBScript(std::vector<aUSBScriptDevice> devices) {
  for (auto& d : devices) m_devices.emplace_back().script = std::move(d);
  aUSBScript* expected = nullptr;
  if (!sCurrent.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "aUSBScript: a second script while one is installed\n");
    std::abort();
  }
  // A context made on the previous seam must not meet the script's calls.
  Jorvanite_libusb_exit();
  m_previous = aUSBSeam_Install(&kSeam);
}

aUSBScript::~aUSBScript() {
  if (Jorvanite_libusb_exit() != aErrNone) {
    std::fprintf(stderr, "aUSBScript: a scripted device is still open at the end of the script "
                 "(a stream not destroyed, perhaps skipped by a failed assertion)\n");
    std::abort();
  }
  aUSBSeam_Install(m_previous);
  sCurrent.store(nullptr);
}

aUSBScript* aUSBScript::current() { return sCurrent.load(); }

aUSBScript::Device* aUSBScript::device(libusb_device* d) { return reinterpret_cast<Device*>(d); }

aUSBScript::Handle* aUSBScript::handle(libusb_device_handle* h) { return reinterpret_cast<Handle*>(h); }

aUSBScript::Device& aUSBScript::at(size_t d) const {
  if (d >= m_devices.size()) {
    std::fprintf(stderr, "aUSBScript: no device %zu\n", d);
    std::abort();
  }
  return const_cast<Device&>(m_devices[d]);
}

void aUSBScript::misuse(const std::string& what) { m_misuses.push_back(what); }

size_t aUSBScript::addDevice(aUSBScriptDevice device) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_devices.emplace_back().script = std::move(device);
  return m_devices.size() - 1;
}

void aUSBScript::setInitResult(int rc) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_initResult = rc;
}

void aUSBScript::setListResult(int rc) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listResult = rc;
}

void aUSBScript::setClearHaltResult(int rc) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_clearHaltResult = rc;
}

void aUSBScript::peerSend(size_t d, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  at(d).inQueue.push_back(bytes);
  m_changed.notify_all();
}

std::vector<uint8_t> aUSBScript::peerReceived(size_t d) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return at(d).received;
}

bool aUSBScript::peerWaitReceived(size_t d, size_t count, std::chrono::milliseconds within) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, within, [&] { return at(d).received.size() >= count; });
}

std::vector<int> aUSBScript::outTransferLengths(size_t d) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return at(d).outLengths;
}

void aUSBScript::failIn(size_t d, std::vector<int> codes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  at(d).inFaults.insert(at(d).inFaults.end(), codes.begin(), codes.end());
  m_changed.notify_all();
}

void aUSBScript::failOut(size_t d, std::vector<int> codes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  at(d).outFaults.insert(at(d).outFaults.end(), codes.begin(), codes.end());
}

int aUSBScript::openHandles() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(std::count_if(m_handles.begin(), m_handles.end(), [](const Handle& h) { return h.open; }));
}

int aUSBScript::opens(size_t d) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return at(d).opens;
}

int aUSBScript::claims(size_t d) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return at(d).claims;
}

int aUSBScript::releases(size_t d) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return at(d).releases;
}

int aUSBScript::clearHalts(size_t d, uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto& halts = at(d).clearHalts;
  const auto it = halts.find(endpoint);
  return it == halts.end() ? 0 : it->second;
}

int aUSBScript::inits() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inits;
}

int aUSBScript::exits() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_exits;
}

int aUSBScript::liveContexts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(
      std::count_if(m_contexts.begin(), m_contexts.end(), [](const Context& c) { return c.live; }));
}

int aUSBScript::outstandingLists() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_outstandingLists;
}

int aUSBScript::outstandingConfigs() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_configs.size());
}

std::vector<std::string> aUSBScript::misuses() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_misuses;
}

// --- The seam -------------------------------------------------------------------

int aUSBScript::sInit(libusb_context** context) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  ++s->m_inits;
  if (!context) {
    s->misuse("init without a place for the context");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (s->m_initResult != 0) return s->m_initResult;
  s->m_contexts.push_back(Context{});
  *context = reinterpret_cast<libusb_context*>(&s->m_contexts.back());
  return 0;
}

void aUSBScript::sExit(libusb_context* context) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  ++s->m_exits;
  Context* c = reinterpret_cast<Context*>(context);
  if (!c || !c->live) {
    s->misuse(c ? "exit of an ended context" : "exit of the null (default) context");
    return;
  }
  if (std::any_of(s->m_handles.begin(), s->m_handles.end(), [](const Handle& h) { return h.open; }))
    s->misuse("exit with a device still open");
  c->live = false;
}

ssize_t aUSBScript::sGetDeviceList(libusb_context* context, libusb_device*** list) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Context* c = reinterpret_cast<Context*>(context);
  if (!c || !c->live) {
    s->misuse(c ? "device list of an ended context" : "device list of the null (default) context");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (s->m_listResult != 0) return s->m_listResult;
  auto** devices = new libusb_device*[s->m_devices.size() + 1];
  for (size_t i = 0; i < s->m_devices.size(); ++i) devices[i] = reinterpret_cast<libusb_device*>(&s->m_devices[i]);
  devices[s->m_devices.size()] = nullptr;
  ++s->m_outstandingLists;
  *list = devices;
  return static_cast<ssize_t>(s->m_devices.size());
}

void aUSBScript::sFreeDeviceList(libusb_device** list, int) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  if (!list) return;
  --s->m_outstandingLists;
  delete[] list;
}

int aUSBScript::sGetDeviceDescriptor(libusb_device* d, libusb_device_descriptor* descriptor) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  const aUSBScriptDevice& script = device(d)->script;
  if (script.descriptorResult != 0) return script.descriptorResult;
  *descriptor = libusb_device_descriptor{};
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->bcdUSB = 0x0200;
  descriptor->bMaxPacketSize0 = 64;
  descriptor->idVendor = script.vendorId;
  descriptor->idProduct = script.productId;
  descriptor->iManufacturer = 1;
  descriptor->iProduct = 2;
  descriptor->iSerialNumber = 3;
  descriptor->bNumConfigurations = 1;
  return 0;
}

int aUSBScript::sGetConfigDescriptor(libusb_device* d, uint8_t index, libusb_config_descriptor** config) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  const aUSBScriptDevice& script = device(d)->script;
  auto built = std::make_unique<Config>();
  const size_t n = script.interfaces.size();
  built->interfaces.resize(n);
  built->alternates.resize(n);
  built->endpoints.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const auto& alts = script.interfaces[i];
    built->alternates[i].resize(alts.size());
    built->endpoints[i].resize(alts.size());
    for (size_t a = 0; a < alts.size(); ++a) {
      for (const auto& e : alts[a].endpoints) {
        libusb_endpoint_descriptor endpoint{};
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = e.address;
        endpoint.bmAttributes = e.attributes;
        endpoint.wMaxPacketSize = e.maxPacket;
        built->endpoints[i][a].push_back(endpoint);
      }
      libusb_interface_descriptor& alt = built->alternates[i][a];
      alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
      alt.bDescriptorType = LIBUSB_DT_INTERFACE;
      alt.bInterfaceNumber = alts[a].interfaceNumber;
      alt.bAlternateSetting = static_cast<uint8_t>(a);
      alt.bNumEndpoints = static_cast<uint8_t>(built->endpoints[i][a].size());
      alt.bInterfaceClass = alts[a].interfaceClass;
      alt.bInterfaceSubClass = alts[a].interfaceSubClass;
      alt.bInterfaceProtocol = alts[a].interfaceProtocol;
      alt.endpoint = built->endpoints[i][a].data();
    }
    built->interfaces[i].altsetting = built->alternates[i].data();
    built->interfaces[i].num_altsetting = static_cast<int>(alts.size());
  }
  built->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  built->config.bDescriptorType = LIBUSB_DT_CONFIG;
  built->config.bNumInterfaces = static_cast<uint8_t>(n);
  built->config.bConfigurationValue = 1;
  built->config.interface = built->interfaces.data();
  *config = &built->config;
  s->m_configs.emplace(&built->config, std::move(built));
  return 0;
}

void aUSBScript::sFreeConfigDescriptor(libusb_config_descriptor* config) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  if (config && s->m_configs.erase(config) == 0) s->misuse("free of an unknown configuration descriptor");
}

int aUSBScript::sOpen(libusb_device* d, libusb_device_handle** h) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Device* dev = device(d);
  if (dev->script.openResult != 0) return dev->script.openResult;
  ++dev->opens;
  s->m_handles.push_back(Handle{dev, true});
  *h = reinterpret_cast<libusb_device_handle*>(&s->m_handles.back());
  return 0;
}

void aUSBScript::sClose(libusb_device_handle* h) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  if (!handle || !handle->open) {
    s->misuse(handle ? "close of a closed handle" : "close of a null handle");
    return;
  }
  handle->open = false;
  s->m_changed.notify_all();
}

libusb_device* aUSBScript::sGetDevice(libusb_device_handle* h) {
  return reinterpret_cast<libusb_device*>(handle(h)->device);
}

int aUSBScript::sGetString(libusb_device_handle* h, uint8_t index, unsigned char* data, int length) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  if (!handle->open) s->misuse("string descriptor on a closed handle");
  const aUSBScriptDevice& script = handle->device->script;
  if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const size_t n = std::min(script.serial.size(), static_cast<size_t>(length - 1));
  std::memcpy(data, script.serial.data(), n);
  data[n] = 0;
  if (index != 3) return LIBUSB_ERROR_PIPE;
  if (script.serialResult != 0) return script.serialResult;
  return static_cast<int>(n);
}

int aUSBScript::sClaim(libusb_device_handle* h, int) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  if (!handle->open) s->misuse("claim on a closed handle");
  ++handle->device->claims;
  return handle->device->script.claimResult;
}

int aUSBScript::sRelease(libusb_device_handle* h, int) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  if (!handle->open) s->misuse("release on a closed handle");
  ++handle->device->releases;
  return 0;
}

int aUSBScript::sBulk(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
                      int* transferred, unsigned int timeout) {
  aUSBScript* s = current();
  std::unique_lock<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  *transferred = 0;
  if (!handle->open) {
    s->misuse("transfer on a closed handle");
    return LIBUSB_ERROR_NO_DEVICE;
  }
  Device* dev = handle->device;
  if (endpoint & 0x80) {
    if (!dev->inFaults.empty()) {
      const int rc = dev->inFaults.front();
      dev->inFaults.pop_front();
      return rc;
    }
    const auto ready = [&] { return !dev->inQueue.empty() || !dev->inFaults.empty() || !handle->open; };
    if (timeout == 0) {
      s->m_changed.wait(lock, ready);
    } else if (!s->m_changed.wait_for(lock, std::chrono::milliseconds(timeout), ready)) {
      return LIBUSB_ERROR_TIMEOUT;
    }
    if (!handle->open) return LIBUSB_ERROR_NO_DEVICE;
    if (dev->inQueue.empty()) {
      const int rc = dev->inFaults.front();
      dev->inFaults.pop_front();
      return rc;
    }
    std::vector<uint8_t>& run = dev->inQueue.front();
    const size_t n = std::min(run.size(), static_cast<size_t>(length));
    std::memcpy(data, run.data(), n);
    run.erase(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(n));
    if (run.empty()) dev->inQueue.pop_front();
    *transferred = static_cast<int>(n);
    return 0;
  }
  dev->outLengths.push_back(length);
  if (!dev->outFaults.empty()) {
    const int rc = dev->outFaults.front();
    dev->outFaults.pop_front();
    return rc;
  }
  dev->received.insert(dev->received.end(), data, data + length);
  *transferred = length;
  s->m_changed.notify_all();
  return 0;
}

int aUSBScript::sClearHalt(libusb_device_handle* h, unsigned char endpoint) {
  aUSBScript* s = current();
  std::lock_guard<std::mutex> lock(s->m_mutex);
  Handle* handle = aUSBScript::handle(h);
  if (!handle->open) s->misuse("clear halt on a closed handle");
  ++handle->device->clearHalts[endpoint];
  return s->m_clearHaltResult;
}
