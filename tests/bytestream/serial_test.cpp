#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "aStreamSerial.h"

// A pseudo-terminal keeps only the settings a pseudo-terminal has: the
// kernel forces 8 data bits and no parity on it. What the stream asked the
// port for is therefore recorded on the way to the system.
namespace {
struct Applied {
  termios settings{};
} gApplied;
}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* settings)
{
  using Real = int (*)(int, int, const termios*);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "tcsetattr"));
  if (settings)
    gApplied.settings = *settings;
  return real(fd, action, settings);
}

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal: the stream opens the slave side by path; the test
// keeps the master to play the module and its own slave descriptor to
// inspect the line settings.
class Pty : public ::testing::Test {
protected:
  void SetUp() override
  {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    path = ::ptsname(master);
    watch = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(watch, 0);
    // A recognisable "before" state: cooked, 9600 baud, odd parity.
    termios t{};
    ASSERT_EQ(0, ::tcgetattr(watch, &t));
    t.c_lflag |= ICANON | ECHO;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | PARENB | PARODD | CREAD;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    ASSERT_EQ(0, ::tcsetattr(watch, TCSANOW, &t));
    ASSERT_EQ(0, ::tcgetattr(watch, &before));
  }
  void TearDown() override
  {
    if (s) {
      EXPECT_EQ(aErrNone, aStream_Destroy(&s));
    }
    ::close(watch);
    ::close(master);
  }
  termios now()
  {
    termios t{};
    EXPECT_EQ(0, ::tcgetattr(watch, &t));
    return t;
  }
  int master = -1;
  int watch = -1;
  std::string path;
  termios before{};
  aStream* s = nullptr;
};

struct LineCase {
  const char* name;
  uint32_t baudIndex, parity;
  int32_t dataBits, stopBits;
  speed_t speed;
  tcflag_t size;
  bool parenb, cstopb;
};

class SerialLine : public Pty, public ::testing::WithParamInterface<LineCase> {};

TEST_P(SerialLine, AppliedAndRestored)
{
  const LineCase& c = GetParam();
  ASSERT_EQ(aErrNone, aStream_CreateSerial(path.c_str(), c.baudIndex, c.parity, c.dataBits, c.stopBits, &s));
  const termios asked = gApplied.settings;
  EXPECT_EQ(c.size, asked.c_cflag & CSIZE);
  EXPECT_EQ(c.parenb, (asked.c_cflag & PARENB) != 0);
  EXPECT_FALSE(asked.c_cflag & PARODD);  // parity, when on, is even
  EXPECT_EQ(c.parenb, (asked.c_iflag & IGNPAR) != 0);
  EXPECT_FALSE(asked.c_cflag & CRTSCTS);
  termios t = now();
  EXPECT_EQ(c.speed, ::cfgetospeed(&t));
  EXPECT_EQ(c.speed, ::cfgetispeed(&t));
  EXPECT_EQ(c.cstopb, (t.c_cflag & CSTOPB) != 0);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));  // raw
  EXPECT_EQ(0u, t.c_oflag & OPOST);
  EXPECT_EQ(0, t.c_cc[VMIN]);
  EXPECT_EQ(0, t.c_cc[VTIME]);

  ASSERT_EQ(aErrNone, aStream_Destroy(&s));
  t = now();
  EXPECT_EQ(before.c_cflag, t.c_cflag);
  EXPECT_EQ(before.c_lflag, t.c_lflag);
  EXPECT_EQ(before.c_iflag, t.c_iflag);
  EXPECT_EQ(before.c_oflag, t.c_oflag);
  EXPECT_EQ(::cfgetospeed(&before), ::cfgetospeed(&t));
}

INSTANTIATE_TEST_SUITE_P(
    Stream, SerialLine,
    ::testing::Values(LineCase{"EightN1At115200", 6, 0, 0, 0, B115200, CS8, false, false},
                      LineCase{"SevenE2At115200", 6, 1, 1, 1, B115200, CS7, true, true},
                      LineCase{"Slowest", 0, 0, 0, 0, B2400, CS8, false, false},
                      LineCase{"Fastest", 7, 0, 0, 1, B230400, CS8, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefuseCase {
  const char* name;
  uint32_t baudIndex;
  int32_t dataBits, stopBits;
  aErr result;
};

class SerialRefused : public Pty, public ::testing::WithParamInterface<RefuseCase> {};

// Refused settings leave the port as it was (B0 would hang up the line).
TEST_P(SerialRefused, PortUntouched)
{
  const RefuseCase& c = GetParam();
  s = reinterpret_cast<aStream*>(this);  // must be cleared
  EXPECT_EQ(c.result, aStream_CreateSerial(path.c_str(), c.baudIndex, 0, c.dataBits, c.stopBits, &s));
  EXPECT_EQ(nullptr, s);
  const termios t = now();
  EXPECT_EQ(::cfgetospeed(&before), ::cfgetospeed(&t));
  EXPECT_EQ(before.c_cflag, t.c_cflag);
}

INSTANTIATE_TEST_SUITE_P(Stream, SerialRefused,
                         ::testing::Values(RefuseCase{"DataBits2", 6, 2, 0, aErrResource},
                                           RefuseCase{"StopBitsMinus1", 6, 0, -1, aErrResource},
                                           RefuseCase{"BaudIndex8", 8, 0, 0, aErrResource},
                                           RefuseCase{"BaudIndexHuge", 0xFFFFFFFFu, 0, 0, aErrResource}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SerialOpen, PathProblems)
{
  aStream* s = nullptr;
  EXPECT_EQ(aErrNotFound, aStream_CreateSerial("/dev/jv-no-such-port", 6, 0, 0, 0, &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrResource, aStream_CreateSerial(nullptr, 6, 0, 0, 0, &s));
  EXPECT_EQ(aErrResource, aStream_CreateSerial("/dev/null", 6, 0, 0, 0, nullptr));
  const std::string tooLong = "/" + std::string(4095, 'p');  // 4096 characters
  EXPECT_EQ(aErrFileNameLength, aStream_CreateSerial(tooLong.c_str(), 6, 0, 0, 0, &s));
  const std::string longest = "/" + std::string(4094, 'p');  // refused by the system, not by length
  EXPECT_NE(aErrFileNameLength, aStream_CreateSerial(longest.c_str(), 6, 0, 0, 0, &s));
  EXPECT_EQ(nullptr, s);
  // Not a terminal: the settings cannot be read.
  EXPECT_EQ(aErrIO, aStream_CreateSerial("/dev/null", 6, 0, 0, 0, &s));
  EXPECT_EQ(nullptr, s);
}

TEST_F(Pty, BytesBothWays)
{
  ASSERT_EQ(aErrNone, aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &s));
  uint8_t b = 0;
  const auto start = Clock::now();
  EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrTimeout, aStream_WaitReadable(s, 20));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  ASSERT_EQ(3, ::write(master, "xyz", 3));
  EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 5000));
  uint8_t three[3];
  EXPECT_EQ(aErrNone, aStream_Read(s, three, 3));
  EXPECT_EQ(std::string("xyz"), std::string(reinterpret_cast<char*>(three), 3));
  EXPECT_EQ(aErrNotReady, aStream_Read(s, &b, 1));

  const std::string block = "\x04\x02\x17\x01";
  ASSERT_EQ(aErrNone, aStream_Write(s, reinterpret_cast<const uint8_t*>(block.data()), block.size()));
  ASSERT_EQ(aErrNone, aStream_Write(s, reinterpret_cast<const uint8_t*>("!"), 1));
  std::string got;
  char buf[16];
  while (got.size() < 5) {
    pollfd p{master, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0);
    const ssize_t n = ::read(master, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(block + "!", got);  // raw: nothing added or translated
}

}  // namespace
