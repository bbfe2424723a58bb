// A module of the family presented on a real USB bus: a configfs gadget whose
// one function is FunctionFS, with the vendor-specific interface and the bulk
// endpoint pair the host driver looks for. Bytes the host sends on bulk OUT go
// to a byte pipe (a socket or pipe descriptor, or straight back to the host in
// echo mode); bytes read from the pipe go to the host on bulk IN. Whatever
// speaks the module's link protocol sits on the far end of that pipe.
//
// It runs only where the kernel has configfs, libcomposite, usb_f_fs and a
// device controller (dummy_hcd in the test guest), as root.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usbgadget {

// What the host sees in the device and string descriptors.
struct Identity {
  uint16_t vendorId = 0;
  uint16_t productId = 0;  // below 0x8000 for a module of the family; low byte is the model
  uint16_t bcdDevice = 0x0100;
  std::string serial = "0012ABCD";
  std::string manufacturer = "Simulated module";
  std::string product = "Simulated USB module";
};

// The interface triple the host driver matches on.
struct InterfaceClass {
  uint8_t cls = 0xFF;
  uint8_t subclass = 0x88;
  uint8_t protocol = 0x10;
};

struct Options {
  Identity identity;
  InterfaceClass interfaceClass;
  std::string name = "usbgadget";        // configfs gadget and FunctionFS instance name
  std::string udc;                       // empty: the first controller in /sys/class/udc
  std::string configfsRoot = "/sys/kernel/config/usb_gadget";
  std::string mountDir = "/run/usbgadget";
  // A bulk IN write that ends on a packet boundary is followed by a
  // zero-length packet, so the host's read ends without waiting for its time-out.
  bool zeroLengthPackets = true;
  FILE* transcript = nullptr;  // per-transfer lines ("out 30", "in 30") when set
};

// One event line per state change ("attach udc=dummy_udc.0", "enable
// high-speed out=512 in=512", "disable", "detach", "halt in", "peer closed",
// ...), for the caller to print or for tests to wait on.
using EventSink = std::function<void(const std::string&)>;

class Gadget {
 public:
  Gadget(Options options, EventSink events);
  ~Gadget();  // leaves the bus and removes everything setUp made
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Builds the configfs gadget, mounts FunctionFS and writes the descriptors.
  // Throws std::runtime_error naming the step and the cause.
  void setUp();

  // Binds to the controller (the device appears on the bus) or unbinds (it
  // leaves). Safe to call in either state.
  void attach();
  void detach();
  bool attached() const;

  // Moves bytes until stop: the peer descriptor's input goes to bulk IN, bulk
  // OUT data goes to the peer; peerFd -1 echoes OUT data back on IN. When the
  // peer closes, onPeerClosed decides: it returns the next peer descriptor
  // (the gadget has left the bus meanwhile and returns when it gets one) or
  // -1 to end run(). controlFd, when not -1, delivers command lines:
  //   leave | return | restart <ms> | halt in | halt out | quit
  // stopFd, when not -1, ends run() as soon as it becomes readable.
  using PeerReconnect = std::function<int()>;
  void run(int peerFd, int controlFd, int stopFd, PeerReconnect onPeerClosed);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Builds the FunctionFS descriptor and string blobs (exposed for unit checks).
std::vector<uint8_t> functionFsDescriptors(const InterfaceClass& ic);
std::vector<uint8_t> functionFsStrings(const std::string& interfaceName);

}  // namespace usbgadget
