#pragma once
// Serial download transport over USB HID (hidapi, through aHIDSeam). Reports
// go out whole, report ID included. A reply is gathered as report 3 cut to
// its report ID and 4 HAB bytes, then report 4 whole: 70 bytes, the status
// word in bytes 6 to 9.

#include <hidapi.h>

#include <cstdint>
#include <vector>

#include "SDPLoader_Interface.h"

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  // Length of one gathered reply (report 3 cut to 5 bytes, report 4 whole).
  static constexpr size_t REPLY_BYTES = 5 + 65;

  // Opens nothing; init opens the first device with these IDs.
  HID_SDPLoader(uint16_t vendor_id, uint16_t product_id);
  // Closes the device if open; ends hidapi in every case.
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool init() override;
  // One HID write of the whole report; bytes written or -1.
  int64_t writeData(const std::vector<uint8_t>& report) override;
  // Reads input reports until one read times out (or fails).
  int64_t readData(std::vector<uint8_t>& out, uint32_t timeout_ms) override;
  // Only a reply of exactly REPLY_BYTES bytes and index <= 15 has a word.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, uint32_t index, uint32_t& value) override;

 private:
  hid_device* device_ = nullptr;
  uint16_t vendor_id_;
  uint16_t product_id_;
};
