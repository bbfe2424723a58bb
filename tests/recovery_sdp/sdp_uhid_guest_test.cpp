// Guest program of the real-USB tier: the simulated boot ROM behind a uhid
// device with the serial-download HID interface (numbered reports 1 and 2
// out, 3 and 4 in), reached by HID_SDPLoader through the real hidapi and
// the kernel's hidraw. It checks what the in-process seam cannot: that
// hidraw delivers report 3 as its ID and 4 bytes and report 4 as 65, that
// numbered output reports of any length arrive whole, and that a load and
// jump leave the image in the ROM's memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "HID_SDPLoader.h"
#include "IMX1050.h"
#include "SDPLoader.h"
#include "SdpHidEndpoint.h"
#include "SdpRom.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

// Vendor page; report 1: 16 bytes out, 2: 1024 bytes out, 3: 4 bytes in,
// 4: 64 bytes in.
const uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x85, 0x01, 0x95, 0x10, 0x09, 0x01, 0x91, 0x02,
    0x85, 0x02, 0x96, 0x00, 0x04, 0x09, 0x01, 0x91, 0x02,
    0x85, 0x03, 0x95, 0x04, 0x09, 0x01, 0x81, 0x02,
    0x85, 0x04, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,
    0xC0,
};

// Serves the ROM on /dev/uhid from one thread; started and stopped with a
// handshake (the thread runs once the device exists; a pipe stops it).
class UhidRom {
 public:
  explicit UhidRom(sdpsim::Config config = {}) : rom(config), endpoint_(rom, 5) {
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) return;
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::strcpy(reinterpret_cast<char*>(ev.u.create2.name), "sdp boot rom");
    ev.u.create2.rd_size = sizeof kDescriptor;
    ev.u.create2.bus = 0x03;
    ev.u.create2.vendor = IMX1050::VID;
    ev.u.create2.product = IMX1050::PID;
    std::memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
    created_ = ::write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
    if (created_) thread_ = std::thread([this] { serve(); });
  }
  ~UhidRom() {
    if (thread_.joinable()) {
      const uint8_t b = 1;
      (void)!::write(stop_[1], &b, 1);
      thread_.join();
    }
    if (fd_ >= 0) {
      uhid_event ev{};
      ev.type = UHID_DESTROY;
      (void)!::write(fd_, &ev, sizeof ev);
      ::close(fd_);
    }
    for (int p : stop_)
      if (p >= 0) ::close(p);
  }
  bool ok() const { return created_; }

  sdpsim::SdpRom rom;

 private:
  void serve() {
    for (;;) {
      pollfd p[2] = {{stop_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[0].revents) return;
      uhid_event ev{};
      if (::read(fd_, &ev, sizeof ev) <= 0 || ev.type != UHID_OUTPUT) continue;
      endpoint_.write(ev.u.output.data, ev.u.output.size);
      uint8_t report[sdpsim::SdpHidEndpoint::kInputReportBytes];
      for (int n; (n = endpoint_.read(report, sizeof report, 0)) > 0;) {
        uhid_event in{};
        in.type = UHID_INPUT2;
        in.u.input2.size = static_cast<uint16_t>(n);
        std::memcpy(in.u.input2.data, report, size_t(n));
        (void)!::write(fd_, &in, sizeof in);
      }
    }
  }

  sdpsim::SdpHidEndpoint endpoint_;
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  bool created_ = false;
  std::thread thread_;
};

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  return b;
}

// The hidraw node appears shortly after the device is created.
bool openLoader(SDPLoader& loader) {
  if (!loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID))) return false;
  for (auto deadline = Clock::now() + milliseconds(10000); Clock::now() < deadline;) {
    if (loader.init() == SDPLoader::SDP_OK) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

TEST(SdpUhid, LoadFingerprintAndJumpOverHidraw) {
  sdpsim::Config config;
  config.cfg0 = 0x89ABCDEF;
  config.cfg1 = 0x01234567;
  UhidRom device(config);
  ASSERT_TRUE(device.ok()) << "cannot create a uhid device: " << std::strerror(errno);
  const Bytes first = pattern(5000, 3), second = pattern(2049, 4);
  {
    SDPLoader loader;
    ASSERT_TRUE(openLoader(loader)) << "hidapi did not find the boot ROM";
    uint64_t value = 0;
    ASSERT_EQ(loader.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0x0123456789ABCDEFull);
    ASSERT_EQ(loader.writeLoader(first, 0x20000000), SDPLoader::SDP_OK);
    ASSERT_EQ(loader.writeLoader(second, 0x20003000), SDPLoader::SDP_OK);
    loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  }
  ASSERT_TRUE(device.rom.waitFor("JUMP 20000400", 1, milliseconds(5000)));
  EXPECT_EQ(device.rom.memory(0x20000000, first.size()), first);
  EXPECT_EQ(device.rom.memory(0x20003000, second.size()), second);
  // Numbered output reports arrive whole, the short last one included.
  // Commands: probe and two fuse reads; probe and WRITE_FILE twice; the jump.
  EXPECT_EQ(device.rom.count("REPORT 1 17"), 8u);
  EXPECT_EQ(device.rom.count("REPORT 2 2"), 1u);
  EXPECT_EQ(device.rom.count("BAD_REPORT"), 0u);
}

TEST(SdpUhid, SilentRomIsNoAnswer) {
  sdpsim::Config config;
  config.faults.silent = true;
  UhidRom device(config);
  ASSERT_TRUE(device.ok()) << "cannot create a uhid device: " << std::strerror(errno);
  SDPLoader loader;
  ASSERT_TRUE(openLoader(loader)) << "hidapi did not find the boot ROM";
  EXPECT_EQ(loader.writeLoader(pattern(100, 1), 0x20000000), SDPLoader::SDP_NO_ANSWER);
  EXPECT_EQ(device.rom.count("WRITE_FILE"), 0u);
}

}  // namespace
