#pragma once
// Serial download protocol engine for the i.MX RT boot ROM: checks that the
// ROM answers, writes an image into its RAM, jumps to it, and reads the
// unique-ID fuses. It talks through an SDPLoader_Interface transport, which it
// owns from setLoader on. Synchronous, one thread.
//
// Result codes are the engine's own (SDPLoader::Result), not aErr values.

#include <cstdint>
#include <vector>

#include "IMX1050.h"
#include "SDPLoader_Interface.h"

class SDPLoader {
 public:
  enum Result : uint8_t {
    SDP_OK = 0,
    SDP_NO_TRANSPORT = 1,     // init without a transport
    SDP_NO_ANSWER = 2,        // the status probe went unanswered five times
    SDP_UNEXPECTED_DATA = 3,  // the device sent bytes during a transfer
    SDP_BAD_STATUS = 4,       // the final status was missing or not "complete"
    SDP_OPEN_FAILED = 6,      // the transport's init failed
    SDP_MALFORMED_REPLY = 7,  // a register read answered in the wrong shape
  };

  // Status words (little-endian in a reply).
  static constexpr uint32_t STATUS_WRITE_COMPLETE = 0x88888888;
  static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;

  SDPLoader();
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of the transport. False, and nothing taken, when it is
  // null or a transport is already set.
  bool setLoader(SDPLoader_Interface* loader);

  // Opens the transport: SDP_OK, SDP_NO_TRANSPORT or SDP_OPEN_FAILED.
  uint8_t init();

  // Writes image to RAM at address and waits for the ROM's "complete" status:
  // SDP_OK, SDP_NO_ANSWER (nothing was sent past the probe),
  // SDP_UNEXPECTED_DATA or SDP_BAD_STATUS. Also SDP_NO_TRANSPORT without one.
  uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);

  // Tells the ROM to run the image whose vector table is at address. Nothing
  // is reported; whether it runs shows only in what comes up afterwards.
  void startLoader(uint32_t address);

  // ORs the two unique-ID fuse words into value (CFG0 low, CFG1 high); the
  // caller zeroes it first. SDP_OK, SDP_NO_ANSWER or SDP_MALFORMED_REPLY.
  uint8_t getFingerprint(uint64_t& value);

 private:
  // Command report builders: 17 bytes each (report ID 1 and 16 command bytes).
  static void _createStatusPacket(std::vector<uint8_t>& buffer);
  static void _createWriteFilePacket(std::vector<uint8_t>& buffer, uint32_t address, uint32_t size);
  static void _createJumpPacket(std::vector<uint8_t>& buffer, uint32_t address);
  static void _create4ByteReadRegisterPacket(std::vector<uint8_t>& buffer, uint32_t address);
  static void _fillCommand(std::vector<uint8_t>& buffer);

  // Sends one command and takes what the ROM answers within 100 ms into
  // reply, tracing both ("Write Res" or "bytesWritten" for the write).
  void _exchange(const std::vector<uint8_t>& command, std::vector<uint8_t>& reply, bool traceAsWriteRes);
  bool _isConnectionAlive();
  bool _expectAck(const std::vector<uint8_t>& reply);
  bool _expectResponse(const std::vector<uint8_t>& reply);
  bool _expectSuccess(const std::vector<uint8_t>& reply);
  bool _readWord(const std::vector<uint8_t>& reply, uint32_t& value);
  static void _printBuffer(const std::vector<uint8_t>& buffer);
  uint8_t _readFuse(uint32_t address, uint32_t& word);

  SDPLoader_Interface* loader_ = nullptr;
};
