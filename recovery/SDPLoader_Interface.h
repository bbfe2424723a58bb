#pragma once
// The byte transport under the serial download protocol engine (SDPLoader).
// Every buffer the engine hands to writeData starts with its HID report ID;
// the transport decides whether that byte goes on the wire. A transport is
// used by one thread.

#include <cstdint>
#include <vector>

class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;

  // Opens the link; true on success. Called once, before any other operation.
  virtual bool init() = 0;

  // Sends one report (report ID first). Returns the bytes the transport
  // counts as written, or -1 when the link failed.
  virtual int64_t writeData(const std::vector<uint8_t>& report) = 0;

  // Appends whatever the device sends until it has been silent for
  // timeout_ms; 0 takes only what is already waiting. Returns the bytes
  // appended (0 when nothing came, also after a link error).
  virtual int64_t readData(std::vector<uint8_t>& out, uint32_t timeout_ms) = 0;

  // Finds the 4-byte status or data word in a reply as this transport
  // assembles it (HAB mode word, then status word) and ORs it, little-endian,
  // into value. index 0 selects the first status byte. False, value untouched,
  // when the reply does not have the shape this transport gathers.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, uint32_t index, uint32_t& value) = 0;
};
