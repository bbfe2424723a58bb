#include "Serial_SDPLoader.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Log.h"
#include "aByteOrder.h"

struct PrivateSerial_SDPLoader {
  explicit PrivateSerial_SDPLoader(const char* device_path) : path(device_path) {
    memset(&settings, 0, sizeof settings);
  }

  // -1 while none: 0 is a valid descriptor when standard input is closed.
  int descriptor = -1;
  const char* path;
  struct termios settings;
};

namespace {
constexpr uint32_t kLastIndex = 15;
constexpr unsigned kSettleSeconds = 1;
constexpr useconds_t kRetryPauseUs = 1000;
using Clock = std::chrono::steady_clock;

// A write hands bytes to the driver, not to the ROM: a UART's output buffer
// (4 KiB at 115200 baud is about 350 ms of line time) can still hold the end
// of the image when the caller opens the ROM's 100 ms reply window. Waits
// until the driver's queue is empty; false when it stops shrinking for the
// stall bound. A device that cannot tell its queue is taken as sent.
bool sAwaitOutputSent(int fd, std::chrono::milliseconds stall) {
  int queued = -1;
  auto last_progress = Clock::now();
  for (;;) {
    int now = 0;
    if (ioctl(fd, TIOCOUTQ, &now) != 0 || now <= 0)
      return true;
    if (queued < 0 || now < queued) {
      queued = now;
      last_progress = Clock::now();
    } else if (Clock::now() - last_progress > stall) {
      Log::log(DEBUG_iMXSerial, "Serial output stalled with %d bytes queued\n", now);
      return false;
    }
    usleep(kRetryPauseUs);
  }
}
}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path) : impl_(std::make_unique<PrivateSerial_SDPLoader>(path)) {}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (impl_->descriptor >= 0) {
    // The last report (the jump) may still be on its way: let it go out
    // before closing, and discard only what the device sent unasked.
    // Flushing output here could drop the jump, and the loader never starts.
    tcdrain(impl_->descriptor);
    tcflush(impl_->descriptor, TCIFLUSH);
    close(impl_->descriptor);
    impl_->descriptor = -1;
  }
}

bool Serial_SDPLoader::init() {
  if (impl_->descriptor >= 0)
    return true;
  if (!impl_->path)
    return false;
  int fd = open(impl_->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    Log::log(DEBUG_iMXSerial, "Cannot open %s: %s\n", impl_->path, strerror(errno));
    return false;
  }
  if (!isatty(fd)) {
    Log::log(DEBUG_iMXSerial, "%s is not a terminal\n", impl_->path);
    close(fd);
    return false;
  }
  struct termios& tty = impl_->settings;
  memset(&tty, 0, sizeof tty);
  tty.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetospeed(&tty, B115200);
  cfsetispeed(&tty, B115200);
  if (tcsetattr(fd, TCSAFLUSH, &tty) != 0) {
    Log::log(DEBUG_iMXSerial, "Cannot configure %s: %s\n", impl_->path, strerror(errno));
    close(fd);
    return false;
  }
  // Let the line settle, then drop whatever arrived meanwhile.
  sleep(kSettleSeconds);
  tcflush(fd, TCIOFLUSH);
  impl_->descriptor = fd;
  return true;
}

int64_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  if (impl_->descriptor < 0 || report.empty())
    return -1;
  const uint8_t* data = report.data() + 1;
  size_t left = report.size() - 1;
  auto last_progress = Clock::now();
  while (left > 0) {
    ssize_t n = write(impl_->descriptor, data, left);
    if (n > 0) {
      data += n;
      left -= size_t(n);
      last_progress = Clock::now();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Log::log(DEBUG_iMXSerial, "Serial write failed: %s\n", strerror(errno));
      return -1;
    }
    if (Clock::now() - last_progress > std::chrono::milliseconds(WRITE_STALL_MS)) {
      Log::log(DEBUG_iMXSerial, "Serial write stalled with %zu bytes left\n", left);
      return -1;
    }
    usleep(kRetryPauseUs);
  }
  if (!sAwaitOutputSent(impl_->descriptor, std::chrono::milliseconds(WRITE_STALL_MS)))
    return -1;
  return int64_t(report.size() - 1);
}

int64_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, uint32_t timeout_ms) {
  if (impl_->descriptor < 0)
    return 0;
  // The ROM answers a whole reply at once; waiting first and then taking what
  // is there keeps a reply from being split across two calls.
  if (timeout_ms > 0)
    usleep(useconds_t(timeout_ms) * 1000);
  int64_t count = 0;
  uint8_t byte;
  while (read(impl_->descriptor, &byte, 1) == 1) {
    out.push_back(byte);
    ++count;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, uint32_t index, uint32_t& value) {
  if (index > kLastIndex || reply.size() < (size_t(index) + 2) * 4)
    return false;
  const uint8_t* word = reply.data() + index + 4;
  value |= aByteOrder::le32(word);
  return true;
}
