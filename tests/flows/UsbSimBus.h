// Simulated modules on the USB seam: a scripted bus lists and describes the
// devices, and each device's bulk endpoints carry bytes to and from a
// simulated module's byte pipe. A module that drops its connection (a
// restart, a reboot) leaves its open handle failing as an unplugged device
// does; the next open reaches the module's fresh pipe, as a device that
// came back on the bus. Opens can also be scripted to meet a device that is
// leaving the bus.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "SimTransport.h"
#include "aUSBSeam.h"
#include "aUSBSeamScript.h"

class UsbSimBus {
 public:
  UsbSimBus();
  // Puts libusb back; every stream on the bus must be gone.
  ~UsbSimBus();
  UsbSimBus(const UsbSimBus&) = delete;
  UsbSimBus& operator=(const UsbSimBus&) = delete;

  // Plugs in a module with this serial-number string ("%08X"); its
  // transport must outlive the bus. A nonzero claimResult (a LIBUSB_ERROR_*
  // code) makes every claim of its interface fail, as when another process
  // holds it or the host may not use it.
  void plug(const std::string& serial, jvsim::PipeTransport& transport, int claimResult = 0);

  // The listed links to the module (handles that carry transfers, counted
  // from 1; enumeration's opens do not count) meet a device that is leaving
  // the bus: it answers the link's handshake, and the host's first packet
  // after it finds the device gone, as does every later transfer on that
  // handle. The module itself is not touched; the next link reaches it.
  void leaveAfterHandshake(const std::string& serial, std::set<int> links);
  // Links to the module so far.
  int links(const std::string& serial) const;
  // How often the USB context was ended (a refused end does not count).
  int contextExits() const;

 private:
  static int sOpen(libusb_device* device, libusb_device_handle** handle);
  static void sClose(libusb_device_handle* handle);
  static int sBulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                   int* transferred, unsigned int timeout);
  // One open handle: the module's pipe as it was at the open, and for a
  // device scripted to leave, how far its host has got.
  struct Handle {
    std::shared_ptr<jvsim::BytePipe> pipe;
    std::string serial;
    bool counted = false;  // numbered as a link at its first transfer
    bool leaving = false;
    bool gone = false;
    long answered = 0;  // bytes the host has read from the device
    int framing = 0;    // 0: next byte is an address; 1: a length; 2: data
    int dataLeft = 0;
  };
  // The pipe for a transfer, or null when the device is gone. For a
  // leaving device, OUT bytes move it on: the first packet the host starts
  // after reading the handshake's answers makes it gone.
  std::shared_ptr<jvsim::BytePipe> pipeFor(libusb_device_handle* handle, bool out, const unsigned char* data,
                                           int length);
  // Bytes an IN transfer gave the host.
  void noteRead(libusb_device_handle* handle, long n);

  aUSBScript m_script;
  const aUSBSeam* m_scriptSeam;
  aUSBSeam m_seam;
  mutable std::mutex m_mutex;  // guards the maps
  std::map<std::string, jvsim::PipeTransport*> m_modules;
  std::map<std::string, int> m_links;
  std::map<std::string, std::set<int>> m_leaving;
  std::map<libusb_device_handle*, Handle> m_handles;
};
