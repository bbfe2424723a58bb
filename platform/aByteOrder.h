#pragma once
// Fixed-width numbers read from and written to bytes in the order a format
// fixes, whatever the host's own: packets and boot-ROM commands are
// big-endian, discovery replies, BIRD serial-number fields and boot-ROM
// status words little-endian. Every parser goes through these, so a number's
// order is stated where it is read and nowhere else.

#include <cstdint>

namespace aByteOrder {

constexpr uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>(uint16_t{p[0]} << 8 | p[1]);
}

constexpr uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

constexpr uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | uint16_t{p[1]} << 8);
}

constexpr uint32_t le32(const uint8_t* p) {
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr void putBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

constexpr void putBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

constexpr void putLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

constexpr void putLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace aByteOrder
