#include "aStreamSerial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "aOpenFailure.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPathMax = 4096;
constexpr size_t kReadBlock = 256;

const speed_t kBaud[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
constexpr uint32_t kBaudCount = sizeof kBaud / sizeof kBaud[0];

struct aSerialStream {
  uint32_t baudIndex = 0;
  char path[kPathMax] = {};
  int fd = -1;
  termios saved{};  // as found at open; put back on destroy
  bool haveSaved = false;
  termios working{};
  uint16_t check = 0;
  // Reader side only: bytes read from the port and not yet handed out.
  uint8_t rx[kReadBlock];
  size_t rxPos = 0;
  size_t rxLen = 0;
};

bool aVALIDSS(const aSerialStream* ss) {
  return ss != nullptr && ss->check == kSerialCheck;
}

aErr sGet(uint8_t* byte, void* ref) {
  auto* ss = static_cast<aSerialStream*>(ref);
  if (!aVALIDSS(ss) || !byte)
    return aErrParam;
  if (ss->rxPos == ss->rxLen) {
    ss->rxPos = ss->rxLen = 0;
    const ssize_t n = ::read(ss->fd, ss->rx, sizeof ss->rx);
    if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
      return aErrNotReady;
    if (n < 0)
      return aErrIO;
    ss->rxLen = static_cast<size_t>(n);
  }
  *byte = ss->rx[ss->rxPos++];
  return aErrNone;
}

aErr sWrite(const uint8_t* data, uint64_t length, void* ref) {
  auto* ss = static_cast<aSerialStream*>(ref);
  if (!aVALIDSS(ss) || (!data && length > 0))
    return aErrParam;
  const ssize_t n = ::write(ss->fd, data, length);
  if (n < 0 || static_cast<uint64_t>(n) != length)
    return aErrIO;
  // Consecutive writes follow each other on the wire, not in the driver.
  ::tcdrain(ss->fd);
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) {
  return sWrite(byte, 1, ref);
}

aErr sWait(uint64_t ms, void* ref) {
  auto* ss = static_cast<aSerialStream*>(ref);
  if (!aVALIDSS(ss))
    return aErrParam;
  if (ss->rxPos < ss->rxLen)
    return aErrNone;
  return aStream_WaitDescriptor(ss->fd, ms);
}

aErr sDelete(void* ref) {
  auto* ss = static_cast<aSerialStream*>(ref);
  if (!aVALIDSS(ss))
    return aErrParam;
  if (ss->fd >= 0) {
    if (ss->haveSaved)
      ::tcsetattr(ss->fd, TCSANOW, &ss->saved);
    ::close(ss->fd);
    ss->fd = -1;
    std::memset(&ss->saved, 0, sizeof ss->saved);
  }
  ss->check = 0;
  delete ss;
  return aErrNone;
}

aErr sOpenError(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return aErrNotFound;
    case EACCES:
    case EPERM:
      return aErrPermission;
    default:
      return aErrIO;
  }
}

// The line set-up failed: noted with the call's errno.
aErr sSetUpFailed() {
  aOpenFailure_Note(aOpenStepSetUpSerial, aOpenCauseErrno, errno);
  return aErrIO;
}

aErr sOpen(aSerialStream* ss, uint32_t parity, int32_t dataBits, int32_t stopBits) {
  // Non-blocking so the open never waits for carrier; reads get their
  // no-wait behaviour from VMIN/VTIME below.
  ss->fd = ::open(ss->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (ss->fd < 0) {
    const int cause = errno;
    aOpenFailure_Note(aOpenStepOpenSerial, aOpenCauseErrno, cause);
    return sOpenError(cause);
  }
  const int flags = ::fcntl(ss->fd, F_GETFL);
  if (flags < 0 || ::fcntl(ss->fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    return sSetUpFailed();
  if (::tcgetattr(ss->fd, &ss->saved) != 0)
    return sSetUpFailed();
  ss->haveSaved = true;

  const bool even = (parity & 1) != 0;
  termios t = ss->saved;
  t.c_iflag = IGNBRK | (even ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL | (even ? PARENB : 0) | (dataBits == 1 ? CS7 : CS8) | (stopBits == 1 ? CSTOPB : 0);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, kBaud[ss->baudIndex]) != 0 || ::cfsetospeed(&t, kBaud[ss->baudIndex]) != 0)
    return sSetUpFailed();
  ss->working = t;
  if (::tcsetattr(ss->fd, TCSANOW, &ss->working) != 0)
    return sSetUpFailed();
  if (::tcflush(ss->fd, TCIOFLUSH) != 0)
    return sSetUpFailed();
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, uint32_t parity, int32_t dataBits, int32_t stopBits,
                          aStream** stream) {
  if (!stream)
    return aErrResource;
  *stream = nullptr;
  if (!path)
    return aErrResource;
  if (::strnlen(path, kPathMax) >= kPathMax)
    return aErrFileNameLength;
  // Out-of-table indexes would select the zero speed, which hangs up the line.
  if (baudIndex >= kBaudCount || (dataBits != 0 && dataBits != 1) || (stopBits != 0 && stopBits != 1))
    return aErrResource;
  auto* ss = new (std::nothrow) aSerialStream;
  if (!ss)
    return aErrResource;
  ss->check = kSerialCheck;
  ss->baudIndex = baudIndex;
  std::memcpy(ss->path, path, std::strlen(path) + 1);
  aStream* s = aStream_Create(sGet, sPut, sWrite, sDelete, ss);
  if (!s) {
    sDelete(ss);
    return aErrResource;
  }
  const aErr e = sOpen(ss, parity, dataBits, stopBits);
  if (e != aErrNone) {
    aStream_Destroy(&s);
    return e;
  }
  aStream_SetWaitProc(s, sWait);
  *stream = s;
  return aErrNone;
}
