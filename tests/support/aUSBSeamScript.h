#pragma once
// A scripted USB bus for tests: while an aUSBScript exists it is the USB
// seam (aUSBSeam.h), so the driver, the USB stream and USB enumeration see
// its devices instead of libusb's. Each device's bulk endpoints talk to a
// test peer: bytes the peer sends come out of IN transfers, bytes the driver
// writes collect on the peer's side, and faults can be queued per direction.
// The script also counts what was opened, claimed and freed, and notes every
// misuse of the libusb interface (a null or ended context, a transfer on a
// closed handle, a double close), so a test can check the driver's manners.
//
// One script at a time. Its calls are safe from any thread; the peer side
// may run on a thread of its own.

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "aUSB.h"
#include "aUSBSeam.h"

struct aUSBScriptEndpoint {
  uint8_t address = 0;
  uint8_t attributes = LIBUSB_TRANSFER_TYPE_BULK;
  uint16_t maxPacket = 64;
};

struct aUSBScriptAltSetting {
  uint8_t interfaceNumber = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0x88;
  uint8_t interfaceProtocol = 0x10;
  std::vector<aUSBScriptEndpoint> endpoints;
};

struct aUSBScriptDevice {
  uint16_t vendorId = kJorvaniteUSBVendorID;
  uint16_t productId = 0x0113;
  // The serial-number string, as the device reports it.
  std::string serial;
  // Negative libusb codes make the matching call fail. A failing string
  // descriptor call still leaves the serial text in the caller's buffer,
  // so a caller that ignores the result is caught.
  int descriptorResult = 0;
  int openResult = 0;
  int serialResult = 0;
  int claimResult = 0;
  // interfaces[i] lists the alternate settings of interface i.
  std::vector<std::vector<aUSBScriptAltSetting>> interfaces;

  // A module of the family: one interface of the family's class with bulk
  // OUT 0x01 and IN 0x81 of the given packet sizes.
  static aUSBScriptDevice Module(const std::string& serial, uint16_t outMaxPacket = 64, uint16_t inMaxPacket = 64);
};

class aUSBScript {
 public:
  explicit aUSBScript(std::vector<aUSBScriptDevice> devices = {});
  // Ends the driver's context and puts libusb back. Every stream on the
  // script's devices must be gone by then (aborts otherwise: the driver
  // would hand scripted handles to libusb).
  ~aUSBScript();
  aUSBScript(const aUSBScript&) = delete;
  aUSBScript& operator=(const aUSBScript&) = delete;

  // Plugs in a device; returns its index.
  size_t addDevice(aUSBScriptDevice device);
  // Bus-level faults: libusb_init's and the device listing's result.
  void setInitResult(int rc);
  void setListResult(int rc);
  // The result of every clear-halt call from now on.
  void setClearHaltResult(int rc);

  // --- The test peer of device d -----------------------------------------
  // Queues one IN packet run: the next IN transfer returns these bytes (up
  // to its length; the rest is left for the next one).
  void peerSend(size_t d, const std::vector<uint8_t>& bytes);
  // Everything the driver has written so far.
  std::vector<uint8_t> peerReceived(size_t d) const;
  // Waits until at least count bytes were written or the time passes.
  bool peerWaitReceived(size_t d, size_t count, std::chrono::milliseconds within) const;
  // The length asked for by each OUT transfer, in order (failed ones included).
  std::vector<int> outTransferLengths(size_t d) const;
  // The next IN (or OUT) transfers fail with these libusb codes, in order.
  void failIn(size_t d, std::vector<int> codes);
  void failOut(size_t d, std::vector<int> codes);

  // --- Counters ------------------------------------------------------------
  int openHandles() const;  // handles open now, all devices
  int opens(size_t d) const;
  int claims(size_t d) const;
  int releases(size_t d) const;
  int clearHalts(size_t d, uint8_t endpoint) const;
  int inits() const;
  int exits() const;
  int liveContexts() const;
  // Device lists and configuration descriptors not yet freed.
  int outstandingLists() const;
  int outstandingConfigs() const;
  // Calls that broke libusb's rules, each with a short description.
  std::vector<std::string> misuses() const;

 private:
  struct Device;
  struct Handle;
  struct Context;
  struct Config;
  static aUSBScript* current();
  static Device* device(libusb_device* d);
  static Handle* handle(libusb_device_handle* h);
  static int sInit(libusb_context** context);
  static void sExit(libusb_context* context);
  static ssize_t sGetDeviceList(libusb_context* context, libusb_device*** list);
  static void sFreeDeviceList(libusb_device** list, int unref);
  static int sGetDeviceDescriptor(libusb_device* d, libusb_device_descriptor* descriptor);
  static int sGetConfigDescriptor(libusb_device* d, uint8_t index, libusb_config_descriptor** config);
  static void sFreeConfigDescriptor(libusb_config_descriptor* config);
  static int sOpen(libusb_device* d, libusb_device_handle** h);
  static void sClose(libusb_device_handle* h);
  static libusb_device* sGetDevice(libusb_device_handle* h);
  static int sGetString(libusb_device_handle* h, uint8_t index, unsigned char* data, int length);
  static int sClaim(libusb_device_handle* h, int interface);
  static int sRelease(libusb_device_handle* h, int interface);
  static int sBulk(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length, int* transferred,
                   unsigned int timeout);
  static int sClearHalt(libusb_device_handle* h, unsigned char endpoint);
  Device& at(size_t d) const;
  void misuse(const std::string& what);

  static const aUSBSeam kSeam;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<Device> m_devices;
  std::deque<Handle> m_handles;
  std::deque<Context> m_contexts;
  std::map<libusb_config_descriptor*, std::unique_ptr<Config>> m_configs;
  int m_initResult = 0;
  int m_listResult = 0;
  int m_clearHaltResult = 0;
  int m_inits = 0;
  int m_exits = 0;
  int m_outstandingLists = 0;
  std::vector<std::string> m_misuses;
  const aUSBSeam* m_previous = nullptr;
};
