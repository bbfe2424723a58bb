#include "aHIDSeamTest.h"

#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace {

struct State {
  std::mutex mutex;
  std::map<std::pair<uint16_t, uint16_t>, aHIDTestDevice*> devices;
  // Handles are the attached devices themselves; only those opened and not
  // yet closed are accepted, so a stale or foreign handle fails like hidapi's
  // error return instead of reaching a device.
  std::multiset<aHIDTestDevice*> open;
  aHIDSeamTest::Counts counts;
  bool init_fails = false;
};

State& sState() {
  static State state;
  return state;
}

aHIDTestDevice* sLookup(hid_device* handle, int aHIDSeamTest::Counts::*counter) {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++(s.counts.*counter);
  auto* device = reinterpret_cast<aHIDTestDevice*>(handle);
  return s.open.count(device) ? device : nullptr;
}

int sInit() {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counts.init;
  return s.init_fails ? -1 : 0;
}

int sExit() {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counts.exit;
  return 0;
}

hid_device* sOpen(unsigned short vendor_id, unsigned short product_id, const wchar_t*) {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.devices.find({vendor_id, product_id});
  if (it == s.devices.end()) return nullptr;
  ++s.counts.open;
  s.open.insert(it->second);
  return reinterpret_cast<hid_device*>(it->second);
}

void sClose(hid_device* handle) {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counts.close;
  auto it = s.open.find(reinterpret_cast<aHIDTestDevice*>(handle));
  if (it != s.open.end()) s.open.erase(it);
}

// The device is called without the table's lock held: reads block.
int sWrite(hid_device* handle, const unsigned char* data, size_t length) {
  aHIDTestDevice* device = sLookup(handle, &aHIDSeamTest::Counts::write);
  return device ? device->write(data, length) : -1;
}

int sRead(hid_device* handle, unsigned char* data, size_t length, int milliseconds) {
  aHIDTestDevice* device = sLookup(handle, &aHIDSeamTest::Counts::read);
  return device ? device->read(data, length, milliseconds) : -1;
}

}  // namespace

namespace aHIDSeamTest {

const aHIDSeam table = {sInit, sOpen, sWrite, sRead, sClose, sExit};

void reset() {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.devices.clear();
  s.open.clear();
  s.counts = Counts{};
  s.init_fails = false;
}

void attach(uint16_t vendor_id, uint16_t product_id, aHIDTestDevice* device) {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (device)
    s.devices[{vendor_id, product_id}] = device;
  else
    s.devices.erase({vendor_id, product_id});
}

void setInitFails(bool fails) {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.init_fails = fails;
}

Counts counts() {
  State& s = sState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.counts;
}

}  // namespace aHIDSeamTest
