#pragma once
// Constants of the i.MX RT1050 boot ROM's serial download protocol, shared by
// the protocol engine, its transports and the recovery flows.

#include <cstdint>

// Length of a command report: report ID and 16 command bytes.
inline constexpr uint32_t MAX_COMMAND_BYTES = 17;
// Largest input report: report ID and 64 bytes.
inline constexpr uint32_t MAX_READ_BYTES = 65;
// Image bytes carried by one data report (which adds its report ID).
inline constexpr uint32_t MAX_WRITE_BYTES = 1024;

namespace IMX1050 {
// USB IDs of the boot ROM's HID serial-download device.
inline constexpr uint16_t VID = 0x1FC9;
inline constexpr uint16_t PID = 0x0130;
// Jump address used when a BIRD file names no start address.
inline constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
// On-chip fuse controller and the offsets of its two unique-ID words.
inline constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
inline constexpr uint32_t CFG0_OFFSET = 0x410;
inline constexpr uint32_t CFG1_OFFSET = 0x420;
}  // namespace IMX1050
