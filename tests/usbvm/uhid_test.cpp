// A user-space HID device (uhid) reached through hidapi's hidraw backend, as
// the boot ROM's HID transport will be in this guest: the device's output
// report arrives with its payload intact and its input report comes back
// through hid_read_timeout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hidapi.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kVendor = 0x1234;
constexpr uint16_t kProduct = 0x5678;
constexpr size_t kReport = 64;

// Vendor page, one 64-byte input and one 64-byte output report, no report ids.
const uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0,
};

class UhidDevice {
 public:
  UhidDevice() {
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return;
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    std::strcpy(reinterpret_cast<char*>(ev.u.create2.name), "usbvm test HID");
    ev.u.create2.rd_size = sizeof kDescriptor;
    ev.u.create2.bus = 0x03;  // USB, which hidapi's hidraw backend lists
    ev.u.create2.vendor = kVendor;
    ev.u.create2.product = kProduct;
    std::memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
    created_ = ::write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
  }
  ~UhidDevice() {
    if (fd_ < 0) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    if (::write(fd_, &ev, sizeof ev) < 0) { /* the kernel drops it on close anyway */ }
    ::close(fd_);
  }
  bool ok() const { return created_; }

  // The payload of the next output report the host sends, skipping the
  // start and open notices.
  std::optional<std::vector<uint8_t>> nextOutput(milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return std::nullopt;
      uhid_event ev{};
      if (::read(fd_, &ev, sizeof ev) <= 0) continue;
      if (ev.type != UHID_OUTPUT) continue;
      std::vector<uint8_t> d(ev.u.output.data, ev.u.output.data + ev.u.output.size);
      // hidraw passes the report number (0: none) in front of the payload.
      if (d.size() == kReport + 1 && d[0] == 0) d.erase(d.begin());
      return d;
    }
  }

  bool input(const std::vector<uint8_t>& data) {
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = static_cast<uint16_t>(data.size());
    std::memcpy(ev.u.input2.data, data.data(), data.size());
    return ::write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
  }

 private:
  int fd_ = -1;
  bool created_ = false;
};

TEST(Uhid, ReportsTravelBothWaysThroughHidapi) {
  UhidDevice device;
  ASSERT_TRUE(device.ok()) << "cannot create a uhid device: " << std::strerror(errno);
  ASSERT_EQ(hid_init(), 0);
  hid_device* host = nullptr;
  // The hidraw node appears shortly after the device is created.
  for (auto deadline = Clock::now() + milliseconds(5000); !host && Clock::now() < deadline;) {
    host = hid_open(kVendor, kProduct, nullptr);
    if (!host) std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_NE(host, nullptr) << "hidapi did not find the uhid device";

  struct Case {
    const char* name;
    uint8_t fill;
  };
  const Case cases[] = {{"zeros", 0x00}, {"counting", 0x01}, {"all ones", 0xFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(kReport);
    for (size_t i = 0; i < kReport; ++i) out[i] = static_cast<uint8_t>(c.fill == 0x01 ? i : c.fill);
    std::vector<uint8_t> frame(1 + kReport, 0);
    std::copy(out.begin(), out.end(), frame.begin() + 1);
    ASSERT_EQ(hid_write(host, frame.data(), frame.size()), static_cast<int>(frame.size()));
    auto got = device.nextOutput(milliseconds(3000));
    ASSERT_TRUE(got.has_value()) << "the device saw no output report";
    EXPECT_EQ(*got, out);

    std::vector<uint8_t> in(out.rbegin(), out.rend());
    ASSERT_TRUE(device.input(in));
    uint8_t buf[65] = {};
    int n = hid_read_timeout(host, buf, sizeof buf, 3000);
    ASSERT_EQ(n, static_cast<int>(kReport));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), in);
  }
  hid_close(host);
  hid_exit();
}

}  // namespace
