#pragma once
// What the LPC client's files share: the line end and the limits of its
// reads. The codec (NXPSerialCodec.cpp), the byte layer on the port
// (NXPSerialPort.cpp) and the commands (NXPSerialClass.cpp) each keep the
// rest to themselves.

#include <cstdint>

namespace nxpserial {

inline constexpr char kTerm[] = "\r\n";
// Empty reads a reply read may spend before it gives up on the chip, and the
// larger budget of a Write's checksum answer (the chip checks the block first).
inline constexpr unsigned kEmptyReadBudget = 100;
inline constexpr unsigned kChecksumBudget = 2000;
inline constexpr uint64_t kLineCapacity = 1024;
inline constexpr uint64_t kNumberLineCapacity = 32;

}  // namespace nxpserial
