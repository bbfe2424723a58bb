// The simulated boot ROM on the master side of a pseudo-terminal: the
// product opens the slave path as its serial port. Serial framing: commands
// are 16 bytes without a report ID, image data follows a WRITE_FILE as raw
// bytes, and replies are the HAB word then the status or data bytes.
//
// One thread serves the line; the constructor returns once it runs and the
// destructor stops it (a wake-up pipe, then join). The pseudo-terminal stays
// usable across the product opening and closing the slave: the simulator
// holds a slave descriptor of its own, so the master never sees a hang-up.
// A dropped line (fault) closes both ends for good.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "SdpRom.h"

namespace sdpsim {

class SdpPty {
 public:
  // Throws std::runtime_error when no pseudo-terminal can be made.
  explicit SdpPty(SdpRom& rom);
  ~SdpPty();
  SdpPty(const SdpPty&) = delete;
  SdpPty& operator=(const SdpPty&) = delete;

  const std::string& slavePath() const { return slavePath_; }

  // Stops (true) or resumes reading the line, as a ROM busy elsewhere would:
  // what the product writes meanwhile waits in the pseudo-terminal.
  void hold(bool held);

 private:
  void run();
  void closeLine();
  bool send(const std::vector<Reply>& replies);

  SdpRom& rom_;
  int master_ = -1;
  int heldSlave_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::atomic<bool> held_{false};
  std::thread thread_;
};

}  // namespace sdpsim
