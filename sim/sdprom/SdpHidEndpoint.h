// The simulated boot ROM as a HID device, with hidapi's write and read
// semantics on numbered reports: output report 1 (17 bytes) carries a
// command, report 2 (up to 1025 bytes) image data; input reports 3 and 4 come
// back padded to 65 bytes, as the device's fixed report size makes them.
// Tests plug it under the product's test hidapi table with a thin adapter.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "SdpRom.h"

namespace sdpsim {

class SdpHidEndpoint {
 public:
  static constexpr size_t kInputReportBytes = 65;

  // habReportBytes: how long report 3 reads back (65, or 5 for a device whose
  // HAB report is declared short).
  explicit SdpHidEndpoint(SdpRom& rom, size_t habReportBytes = kInputReportBytes);

  // data[0] is the report ID; returns length, or -1 (line dropped, unknown
  // report, wrong length).
  int write(const uint8_t* data, size_t length);
  // Next input report (cut to length): its length; 0 after timeoutMs with
  // none (0: at once; negative: wait for ever); -1 once the line dropped.
  int read(uint8_t* data, size_t length, int timeoutMs);

  // Queues an input report as if the device sent it unasked.
  void inject(const Bytes& report);

 private:
  void queue(const std::vector<Reply>& replies);

  SdpRom& rom_;
  size_t habReportBytes_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Bytes> input_;
};

}  // namespace sdpsim
