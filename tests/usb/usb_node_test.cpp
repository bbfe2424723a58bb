// The kernel driver node, stood in for by a pseudo-terminal behind a node
// path of the test's own.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "aUSB.h"
#include "aUSBSeamScript.h"
#include "aUSBStream.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

class UsbNode : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/usb-node-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_dir = pattern;
    ASSERT_EQ(aErrNone, jvusb_set_node_path_format((m_dir + "/jorvanite.%08X").c_str()));

    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(m_master, 0);
    ASSERT_EQ(0, grantpt(m_master));
    ASSERT_EQ(0, unlockpt(m_master));
    const char* slaveName = ptsname(m_master);
    ASSERT_NE(nullptr, slaveName);
    // The settings live on the terminal while this descriptor holds it:
    // raw bytes, and a read that gives up after a second without one.
    m_slave = open(slaveName, O_RDWR | O_NOCTTY);
    ASSERT_GE(m_slave, 0);
    termios tio{};
    ASSERT_EQ(0, tcgetattr(m_slave, &tio));
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 10;
    ASSERT_EQ(0, tcsetattr(m_slave, TCSANOW, &tio));
    std::filesystem::create_symlink(slaveName, node());
  }

  void TearDown() override {
    jvusb_set_node_path_format(nullptr);
    if (m_slave >= 0) close(m_slave);
    if (m_master >= 0) close(m_master);
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  std::string node() const { return m_dir + "/jorvanite.0012ABCD"; }

  std::vector<uint8_t> readMaster(size_t n) {
    std::vector<uint8_t> got;
    while (got.size() < n) {
      pollfd p{m_master, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) break;
      uint8_t buffer[256];
      const ssize_t k = read(m_master, buffer, sizeof buffer);
      if (k <= 0) break;
      got.insert(got.end(), buffer, buffer + k);
    }
    return got;
  }

  std::string m_dir;
  int m_master = -1;
  int m_slave = -1;
};

TEST_F(UsbNode, NodePreferredOverLibusb) {
  aUSBScript script({aUSBScriptDevice::Module("0012ABCD")});
  EXPECT_TRUE(jvusb_is_kernel_driver_installed(kSerial));
  EXPECT_FALSE(jvusb_is_kernel_driver_installed(0x0012ABCE));
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(0, script.opens(0));
  EXPECT_EQ(0, script.inits());
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST_F(UsbNode, DirectoryIsNoNode) {
  std::filesystem::remove(node());
  std::filesystem::create_directory(node());
  EXPECT_FALSE(jvusb_is_kernel_driver_installed(kSerial));
  aUSBScript script({aUSBScriptDevice::Module("0012ABCD")});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(1, script.opens(0));
  aStream_Destroy(&stream);
}

TEST_F(UsbNode, BytesRoundTrip) {
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  std::vector<uint8_t> out(300);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(aErrNone, aStream_Write(stream, out.data(), out.size()));
  const uint8_t one = 0xA5;
  ASSERT_EQ(aErrNone, aStream_Write(stream, &one, 1));
  out.push_back(one);
  EXPECT_EQ(out, readMaster(out.size()));

  const std::vector<uint8_t> in = {0x00, 0x0D, 0x0A, 0xFF, 0x11};
  ASSERT_EQ(static_cast<ssize_t>(in.size()), write(m_master, in.data(), in.size()));
  EXPECT_EQ(aErrNone, aStream_WaitReadable(stream, 2000));
  std::vector<uint8_t> got(in.size());
  EXPECT_EQ(aErrNone, aStream_Read(stream, got.data(), got.size()));
  EXPECT_EQ(in, got);
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST_F(UsbNode, EmptyReadIsNotReadyAfterAboutASecond) {
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  uint8_t byte = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(500));
  EXPECT_LE(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

TEST_F(UsbNode, MissingNodeFallsBackToLibusb) {
  std::filesystem::remove(node());
  aUSBScript script;
  aStream* stream = nullptr;
  EXPECT_EQ(aErrNotFound, aStream_CreateUSB(kSerial, &stream));
}

TEST_F(UsbNode, KernelRecordRules) {
  jvusb_device* device = jvusb_create_usb(jvusbModeKernel);
  ASSERT_NE(nullptr, device);
  uint8_t byte = 0;
  EXPECT_EQ(aErrMode, jvusb_get_from_device(device, &byte));
  EXPECT_EQ(aErrMode, jvusb_write_to_device(device, &byte, 1));
  EXPECT_EQ(aErrNone, jvusb_close_jorvanite_kernel_device(device));
  EXPECT_EQ(aErrMode, jvusb_open_jorvanite_USBlib_device(device, "0012ABCD"));
  // The text names a file: nothing but a serial number may reach the path.
  EXPECT_EQ(aErrParam, jvusb_open_jorvanite_kernel_device(device, "../../etc/passwd"));
  EXPECT_EQ(aErrIO, jvusb_open_jorvanite_kernel_device(device, "0012ABCE"));
  ASSERT_EQ(aErrNone, jvusb_open_jorvanite_kernel_device(device, "0012ABCD"));
  EXPECT_EQ(aErrNone, jvusb_close_jorvanite_device(device));
  EXPECT_EQ(jvusbStateClosed, jvusb_get_state(device));
  EXPECT_EQ(aErrMode, jvusb_get_from_device(device, &byte));
  EXPECT_EQ(aErrNone, jvusb_destroy(&device));
}

struct FormatCase {
  const char* name;
  const char* format;
  aErr expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class UsbNodeFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(UsbNodeFormat, OnlyOneSerialConversion) {
  EXPECT_EQ(GetParam().expected, jvusb_set_node_path_format(GetParam().format));
  jvusb_set_node_path_format(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Formats, UsbNodeFormat,
                         ::testing::Values(FormatCase{"SerialLast", "/tmp/x/node.%08X", aErrNone},
                                           FormatCase{"SerialInside", "/tmp/%08X/node", aErrNone},
                                           FormatCase{"Default", nullptr, aErrNone},
                                           FormatCase{"TextConversion", "/tmp/x/node.%s", aErrParam},
                                           FormatCase{"NoConversion", "/tmp/x/node", aErrParam},
                                           FormatCase{"TwoSerials", "/tmp/%08X.%08X", aErrParam},
                                           FormatCase{"OtherConversion", "/tmp/%n/%08X", aErrParam},
                                           FormatCase{"StrayPercent", "/tmp/%08X%", aErrParam}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
