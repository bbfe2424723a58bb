// Simulated modules on the USB seam: a scripted bus lists and describes the
// devices, and each device's bulk endpoints carry bytes to and from a
// simulated module's byte pipe. A module that drops its connection (a
// restart, a reboot) leaves its open handle failing as an unplugged device
// does; the next open reaches the module's fresh pipe, as a device that
// came back on the bus.
#pragma once

#include <map>
#include <memory>
#include <mutex>
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
  // transport must outlive the bus.
  void plug(const std::string& serial, jvsim::PipeTransport& transport);

 private:
  static int sOpen(libusb_device* device, libusb_device_handle** handle);
  static void sClose(libusb_device_handle* handle);
  static int sBulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                   int* transferred, unsigned int timeout);
  std::shared_ptr<jvsim::BytePipe> pipeOf(libusb_device_handle* handle);

  aUSBScript m_script;
  const aUSBSeam* m_scriptSeam;
  aUSBSeam m_seam;
  std::mutex m_mutex;  // guards the maps
  std::map<std::string, jvsim::PipeTransport*> m_modules;
  std::map<libusb_device_handle*, std::shared_ptr<jvsim::BytePipe>> m_handles;
};
