// A bare pseudo-terminal for the serial transport's cases: the transport
// opens the slave path, the test drives the master (the far side of the
// line) itself.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sdptest {

struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    char name[256];
    if (ptsname_r(master, name, sizeof name) == 0) path = name;
  }
  ~Pty() { closeMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  void closeMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  int master = -1;
  std::string path;
};

// A report whose payload (after the report ID) is n numbered bytes.
inline std::vector<uint8_t> report(size_t n) {
  std::vector<uint8_t> r(n + 1);
  r[0] = 2;
  for (size_t i = 0; i < n; ++i) r[i + 1] = static_cast<uint8_t>(i * 7 + i / 251);
  return r;
}

}  // namespace sdptest
