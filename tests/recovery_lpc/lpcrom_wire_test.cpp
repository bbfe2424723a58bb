// The simulated ROM's own wire, byte for byte from a raw tty, so that a
// misreading shared by the client and the simulator cannot hide: the
// handshake texts, the echo, a hand-encoded data line and its checksum, and
// the data lines of a read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "LpcRom.h"

namespace {

using namespace std::chrono;

class RawTty {
 public:
  explicit RawTty(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~RawTty() { ::close(fd_); }
  bool ok() const { return fd_ >= 0; }
  void send(const std::string& s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // Reads until `want` bytes came or a generous deadline passed.
  std::string take(size_t want) {
    std::string got;
    const auto deadline = steady_clock::now() + seconds(5);
    while (got.size() < want && steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(fd_, &c, 1) == 1) got += c;
    }
    return got;
  }

 private:
  int fd_;
};

TEST(LpcRomWire, HandshakeEchoAndCommands) {
  lpcsim::Config config;
  config.deviceId[0] = 7;
  config.deviceId[1] = 8;
  config.deviceId[2] = 9;
  config.deviceId[3] = 10;
  lpcsim::LpcRom rom(config);
  RawTty tty(rom.path());
  ASSERT_TRUE(tty.ok());

  tty.send("?");
  EXPECT_EQ(tty.take(14), "Synchronized\r\n");
  tty.send("Synchronized\r\n");
  EXPECT_EQ(tty.take(18), "Synchronized\r\nOK\r\n");
  tty.send("14746\r\n");
  EXPECT_EQ(tty.take(11), "14746\r\nOK\r\n");

  tty.send("N\r\n");
  EXPECT_EQ(tty.take(3 + 3 + 3 + 3 + 3 + 4), "N\r\n0\r\n7\r\n8\r\n9\r\n10\r\n");
  tty.send("X 1\r\n");
  EXPECT_EQ(tty.take(8), "X 1\r\n1\r\n");  // INVALID_COMMAND
  tty.send("A 0\r\n");
  EXPECT_EQ(tty.take(8), "A 0\r\n0\r\n");  // still echoed: echo ends after it
  tty.send("U 23130\r\n");
  EXPECT_EQ(tty.take(3), "0\r\n");

  // "abcd" by hand: count '$', then 86)C and 9``` for the groups abc and d.
  tty.send("W 268439552 4\r\n");
  EXPECT_EQ(tty.take(3), "0\r\n");
  tty.send("$86)C9```\r\n");
  tty.send("394\r\n");
  EXPECT_EQ(tty.take(4), "OK\r\n");
  const auto ram = rom.ram();
  EXPECT_EQ(std::string(ram.begin() + 0x1000, ram.begin() + 0x1004), "abcd");

  tty.send("R 268439552 4\r\n");
  EXPECT_EQ(tty.take(3 + 11 + 5), "0\r\n$86)C9```\r\n394\r\n");
  tty.send("OK\r\n");

  tty.send("W 268439552 4\r\n");
  EXPECT_EQ(tty.take(3), "0\r\n");
  tty.send("$86)C9```\r\n");
  tty.send("395\r\n");
  EXPECT_EQ(tty.take(8), "RESEND\r\n");
}

}  // namespace
