#pragma once
// Serial download transport over a UART terminal device (raw, 8N1, 115200
// baud). The report ID of each outgoing buffer is not sent. A reply is
// gathered as the 4 HAB bytes then the 4 status bytes.

#include <cstdint>
#include <memory>
#include <vector>

#include "SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // A writeData that makes no progress for this long gives up and returns -1
  // (a port that stops taking or sending bytes would otherwise hold the
  // caller forever).
  static constexpr uint32_t WRITE_STALL_MS = 2000;

  // path is borrowed: the caller keeps the string alive for the transport's
  // lifetime. Opens nothing.
  explicit Serial_SDPLoader(const char* path);
  // Lets written bytes go out, discards unread input and closes the device.
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens and configures the terminal; false when the path cannot be opened
  // or is not a terminal. Takes about one second (the line settles).
  bool init() override;
  // Writes report[1..] and returns once the device has sent it (its output
  // queue is empty), so a reply window opened next counts from the line;
  // returns report.size() - 1, or -1 when the device failed or stalled.
  int64_t writeData(const std::vector<uint8_t>& report) override;
  // Waits timeout_ms, then takes every byte already waiting.
  int64_t readData(std::vector<uint8_t>& out, uint32_t timeout_ms) override;
  // index <= 15 and at least (index + 2) * 4 bytes: the word at index + 4.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, uint32_t index, uint32_t& value) override;

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> impl_;
};
