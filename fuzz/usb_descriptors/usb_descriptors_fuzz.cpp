// What USB devices say about themselves is outside input: a bus of devices
// built from the input, under the USB driver's libusb table, is enumerated
// and then opened by a serial number. Checked against the device and
// interface rules: enumeration lists exactly the family's devices whose
// serial-number string is eight upper-case hexadecimal digits, in bus order;
// an open takes the first device with the asked string and claims the last
// matching alternate setting, whose endpoints then carry the bytes (OUT in
// packets of its size, IN from its address), or fails as the rules say; and
// nothing opened, listed or read is left behind.
//
// Input: [device count][devices...][open choice][text...]. A device:
// [flags][product low][serial length][serial...][interfaces...] where flags
// bit 0 is the family's vendor, bit 1 a product id from 0x8000, bits 2-4 a
// failing device descriptor, open or string read, bits 5-6 the number of
// interfaces. An interface: [alternate settings] then each
// [number][kind][endpoints...], kind bit 0 the family's class triple (else
// the next three bytes are class, subclass, protocol), bits 1-3 the endpoint
// count; an endpoint: [address][attributes][max packet low][high].
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "aUSB.h"
#include "aUSBSeam.h"

namespace {

struct Endpoint {
  uint8_t address, attributes;
  uint16_t maxPacket;
};
struct Alt {
  uint8_t number, cls, subclass, protocol;
  std::vector<Endpoint> endpoints;
};
struct Device {
  uint16_t vendor, product;
  bool descriptorFails, openFails, serialFails;
  std::string serial;
  std::vector<std::vector<Alt>> interfaces;
  // What the driver did with it.
  int opens = 0, closes = 0, claims = 0, releases = 0;
  int claimed = -1;
  std::vector<uint8_t> outEndpoints;
  std::vector<int> outLengths;
  std::vector<uint8_t> inEndpoints;
};

struct Bus {
  std::vector<Device> devices;
  int lists = 0;
  int configs = 0;
  std::vector<uint8_t> inBytes;  // what every IN transfer returns
} gBus;

libusb_context* const kContext = reinterpret_cast<libusb_context*>(&gBus);

Device* dev(libusb_device* d) { return reinterpret_cast<Device*>(d); }
Device* dev(libusb_device_handle* h) { return reinterpret_cast<Device*>(h); }

struct Config {
  libusb_config_descriptor config{};
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> alts;
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

const aUSBSeam kSeam = {
    [](libusb_context** c) {
      *c = kContext;
      return 0;
    },
    [](libusb_context*) {},
    [](libusb_context* c, libusb_device*** list) -> ssize_t {
      check(c == kContext);
      auto** l = new libusb_device*[gBus.devices.size() + 1];
      for (size_t i = 0; i < gBus.devices.size(); ++i) l[i] = reinterpret_cast<libusb_device*>(&gBus.devices[i]);
      l[gBus.devices.size()] = nullptr;
      *list = l;
      ++gBus.lists;
      return static_cast<ssize_t>(gBus.devices.size());
    },
    [](libusb_device** list, int) {
      delete[] list;
      --gBus.lists;
    },
    [](libusb_device* d, libusb_device_descriptor* desc) {
      if (dev(d)->descriptorFails) return static_cast<int>(LIBUSB_ERROR_IO);
      *desc = {};
      desc->idVendor = dev(d)->vendor;
      desc->idProduct = dev(d)->product;
      desc->iSerialNumber = 3;
      return 0;
    },
    [](libusb_device* d, uint8_t index, libusb_config_descriptor** out) {
      check(index == 0);
      auto* c = new Config;
      const auto& ifs = dev(d)->interfaces;
      c->interfaces.resize(ifs.size());
      c->alts.resize(ifs.size());
      c->endpoints.resize(ifs.size());
      for (size_t i = 0; i < ifs.size(); ++i) {
        c->alts[i].resize(ifs[i].size());
        c->endpoints[i].resize(ifs[i].size());
        for (size_t a = 0; a < ifs[i].size(); ++a) {
          for (const Endpoint& e : ifs[i][a].endpoints) {
            libusb_endpoint_descriptor ep{};
            ep.bEndpointAddress = e.address;
            ep.bmAttributes = e.attributes;
            ep.wMaxPacketSize = e.maxPacket;
            c->endpoints[i][a].push_back(ep);
          }
          libusb_interface_descriptor& alt = c->alts[i][a];
          alt.bInterfaceNumber = ifs[i][a].number;
          alt.bInterfaceClass = ifs[i][a].cls;
          alt.bInterfaceSubClass = ifs[i][a].subclass;
          alt.bInterfaceProtocol = ifs[i][a].protocol;
          alt.bNumEndpoints = static_cast<uint8_t>(c->endpoints[i][a].size());
          alt.endpoint = c->endpoints[i][a].data();
        }
        c->interfaces[i].altsetting = c->alts[i].data();
        c->interfaces[i].num_altsetting = static_cast<int>(c->alts[i].size());
      }
      c->config.bNumInterfaces = static_cast<uint8_t>(ifs.size());
      c->config.interface = c->interfaces.data();
      *out = &c->config;
      ++gBus.configs;
      return 0;
    },
    [](libusb_config_descriptor* config) {
      delete reinterpret_cast<Config*>(config);  // the first member
      --gBus.configs;
    },
    [](libusb_device* d, libusb_device_handle** h) {
      if (dev(d)->openFails) return static_cast<int>(LIBUSB_ERROR_ACCESS);
      ++dev(d)->opens;
      *h = reinterpret_cast<libusb_device_handle*>(d);
      return 0;
    },
    [](libusb_device_handle* h) { ++dev(h)->closes; },
    [](libusb_device_handle* h) { return reinterpret_cast<libusb_device*>(h); },
    [](libusb_device_handle* h, uint8_t index, unsigned char* data, int length) {
      check(index == 3 && length > 0 && dev(h)->opens > dev(h)->closes);
      if (dev(h)->serialFails) return static_cast<int>(LIBUSB_ERROR_PIPE);
      const std::string& s = dev(h)->serial;
      const size_t n = s.size() < static_cast<size_t>(length - 1) ? s.size() : static_cast<size_t>(length - 1);
      std::memcpy(data, s.data(), n);
      data[n] = 0;
      return static_cast<int>(n);
    },
    [](libusb_device_handle* h, int number) {
      ++dev(h)->claims;
      dev(h)->claimed = number;
      return 0;
    },
    [](libusb_device_handle* h, int number) {
      check(number == dev(h)->claimed);
      ++dev(h)->releases;
      return 0;
    },
    [](libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length, int* transferred,
       unsigned int) {
      check(dev(h)->opens > dev(h)->closes);
      if (endpoint & 0x80) {
        dev(h)->inEndpoints.push_back(endpoint);
        const size_t n = std::min(gBus.inBytes.size(), static_cast<size_t>(length));
        if (n) std::memcpy(data, gBus.inBytes.data(), n);
        *transferred = static_cast<int>(n);
        return 0;
      }
      dev(h)->outEndpoints.push_back(endpoint);
      dev(h)->outLengths.push_back(length);
      *transferred = length;
      return 0;
    },
    [](libusb_device_handle*, unsigned char) { return 0; },
};

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
};

bool serialValue(const std::string& s, uint32_t* value) {
  if (s.size() != 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    if (c >= '0' && c <= '9') v = v << 4 | static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') v = v << 4 | static_cast<uint32_t>(c - 'A' + 10);
    else return false;
  }
  *value = v;
  return true;
}

// Listed and opened: the family's vendor, a product id below 0x8000, a
// readable device and an eight-digit upper-case serial string.
bool reachable(const Device& d, uint32_t* serial) {
  return d.vendor == kJorvaniteUSBVendorID && d.product < 0x8000 && !d.descriptorFails && !d.openFails &&
         !d.serialFails && serialValue(d.serial, serial);
}

// The interface rule: the last alternate setting of the family's class
// wins whole, and within it the last endpoint of each direction.
struct Choice {
  bool usable = false;
  uint8_t number = 0, in = 0, out = 0;
  uint16_t inMax = 0, outMax = 0;
};
Choice choose(const Device& d) {
  Choice c;
  bool matched = false;
  for (const auto& alts : d.interfaces)
    for (const Alt& alt : alts) {
      if (alt.cls != 0xFF || alt.subclass != 0x88 || alt.protocol != 0x10) continue;
      matched = true;
      c = Choice{};
      c.number = alt.number;
      for (const Endpoint& e : alt.endpoints) {
        if (!(e.attributes & 2)) continue;
        if (e.address & 0x80) {
          c.in = e.address;
          c.inMax = e.maxPacket & 0x7FF;
        } else {
          c.out = e.address;
          c.outMax = e.maxPacket & 0x7FF;
        }
      }
    }
  c.usable = matched && c.in && c.out && c.inMax && c.outMax;
  return c;
}

struct Listed {
  uint32_t serial;
  uint16_t product;
  bool operator==(const Listed& o) const { return serial == o.serial && product == o.product; }
};

bool collect(uint32_t serial, uint16_t product, void* ref) {
  static_cast<std::vector<Listed>*>(ref)->push_back({serial, product});
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const aUSBSeam* previous = aUSBSeam_Install(&kSeam);
  (void)previous;
  Reader in{data, size};
  gBus = Bus{};
  const size_t count = 1 + in.next() % 4;
  gBus.devices.reserve(count);  // the table hands out pointers into it
  for (size_t i = 0; i < count; ++i) {
    Device d{};
    const uint8_t flags = in.next();
    d.vendor = (flags & 1) ? kJorvaniteUSBVendorID : static_cast<uint16_t>(kJorvaniteUSBVendorID ^ 0x0101);
    d.product = static_cast<uint16_t>(((flags & 2) ? 0x8000 : 0x0100) | in.next());
    d.descriptorFails = flags & 4;
    d.openFails = flags & 8;
    d.serialFails = flags & 16;
    const size_t length = in.next() % 12;
    for (size_t k = 0; k < length; ++k) d.serial.push_back(static_cast<char>(in.next()));
    d.interfaces.resize((flags >> 5) & 3);
    for (auto& alts : d.interfaces) {
      alts.resize(in.next() % 4);
      for (Alt& alt : alts) {
        alt.number = in.next();
        const uint8_t kind = in.next();
        if (kind & 1) {
          alt.cls = 0xFF, alt.subclass = 0x88, alt.protocol = 0x10;
        } else {
          alt.cls = in.next(), alt.subclass = in.next(), alt.protocol = in.next();
        }
        alt.endpoints.resize((kind >> 1) % 5);
        for (Endpoint& e : alt.endpoints) {
          e.address = in.next();
          e.attributes = in.next();
          e.maxPacket = static_cast<uint16_t>(in.next() | in.next() << 8);
        }
      }
    }
    gBus.devices.push_back(std::move(d));
  }

  std::vector<Listed> listed, expected;
  for (const Device& d : gBus.devices) {
    uint32_t serial = 0;
    if (reachable(d, &serial)) expected.push_back({serial, d.product});
  }
  jvusb_enumerate(collect, &listed);
  check(listed == expected);
  for (const Device& d : gBus.devices) check(d.opens == d.closes && d.claims == 0);

  // The open: a device's own string, or the rest of the input as the text.
  const uint8_t choice = in.next();
  std::string text;
  if (choice & 0x80) {
    while (in.at < in.size && text.size() < 16) text.push_back(static_cast<char>(in.next()));
  } else {
    text = gBus.devices[choice % count].serial;
  }
  const std::string asked = text.c_str();  // the driver sees it up to its first NUL
  uint32_t value = 0;
  const bool wellFormed = serialValue(asked, &value);
  Device* target = nullptr;
  for (Device& d : gBus.devices) {
    uint32_t serial = 0;
    if (reachable(d, &serial) && d.serial == asked) {
      target = &d;
      break;
    }
  }
  const Choice chosen = target ? choose(*target) : Choice{};
  const aErr want = !wellFormed ? aErrParam : !target ? aErrNotFound : !chosen.usable ? aErrConfiguration : aErrNone;

  gBus.inBytes.assign(data + in.at, data + size);
  jvusb_device* device = jvusb_create_usb(jvusbModeLibusb);
  check(device != nullptr);
  const aErr got = jvusb_open_jorvanite_USBlib_device(device, asked.c_str());
  check(got == want);
  check(jvusb_get_state(device) == (got == aErrNone ? jvusbStateReady : got == aErrConfiguration ? jvusbStateClosed
                                                                                                : jvusbStateCreated));
  if (got == aErrNone) {
    for (const Device& d : gBus.devices) check(&d == target ? d.opens == d.closes + 1 : d.opens == d.closes);
    check(target->claims == 1 && target->claimed == chosen.number);
    // The endpoints chosen carry the bytes: a write in packets of the OUT
    // size (never exactly 512), a read from the IN address.
    const uint8_t block[600] = {};
    check(jvusb_write_to_device(device, block, sizeof block) == aErrNone);
    check(!target->outLengths.empty());
    int total = 0;
    for (size_t k = 0; k < target->outLengths.size(); ++k) {
      check(target->outEndpoints[k] == chosen.out);
      check(target->outLengths[k] <= chosen.outMax && target->outLengths[k] != 512);
      total += target->outLengths[k];
    }
    check(total == static_cast<int>(sizeof block));
    uint8_t byte = 0;
    const aErr read = jvusb_get_from_device(device, &byte);
    check(!target->inEndpoints.empty() && target->inEndpoints.back() == chosen.in);
    check(read == (gBus.inBytes.empty() ? aErrNotReady : aErrNone));
    if (read == aErrNone) check(byte == gBus.inBytes[0]);
    check(jvusb_close_jorvanite_USBlib_device(device) == aErrNone);
    check(target->releases == 1);
  }
  check(jvusb_destroy(&device) == aErrNone);
  for (const Device& d : gBus.devices) check(d.opens == d.closes);
  check(gBus.lists == 0 && gBus.configs == 0);
  check(Jorvanite_libusb_exit() == aErrNone);
  return 0;
}
