// The kernel driver node, stood in for by a pseudo-terminal behind a node
// path of the test's own; NodeScript makes it answer as the kernel driver
// may where a terminal never does.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "aUSB.h"
#include "aUSBNodeSeam.h"
#include "aUSBSeamScript.h"
#include "aUSBStream.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

// Stands between the driver and the real node while it exists: the calls
// reach the terminal unless a fault is set, and every descriptor the node
// handed out is tracked, so a close of one already closed is caught. A
// failing close releases the descriptor first, as close(2) does. The tests
// using it are single-threaded.
class NodeScript {
 public:
  NodeScript() {
    sCurrent = this;
    m_previous = aUSBNodeSeam_Install(&kSeam);
  }
  ~NodeScript() {
    aUSBNodeSeam_Install(m_previous);
    sCurrent = nullptr;
  }
  NodeScript(const NodeScript&) = delete;
  NodeScript& operator=(const NodeScript&) = delete;

  int openErrno = 0;             // the next opens fail with it
  std::deque<int> readErrnos;    // the next reads fail with these, in order
  size_t writeLimit = std::numeric_limits<size_t>::max();  // bytes taken per write call
  int closeErrno = 0;            // closes fail with it
  std::vector<size_t> writeCalls;  // the length asked by each write call
  std::vector<int> opened;         // every descriptor handed out
  std::vector<std::string> misuses;

 private:
  static int sOpen(const char* path, int flags) {
    NodeScript& s = *sCurrent;
    if (s.openErrno) {
      errno = s.openErrno;
      return -1;
    }
    const int fd = aUSBNodeSeam_System.open(path, flags);
    if (fd >= 0) {
      s.m_open.insert(fd);
      s.opened.push_back(fd);
    }
    return fd;
  }
  static ssize_t sRead(int fd, void* data, size_t length) {
    NodeScript& s = *sCurrent;
    if (!s.readErrnos.empty()) {
      errno = s.readErrnos.front();
      s.readErrnos.pop_front();
      return -1;
    }
    return aUSBNodeSeam_System.read(fd, data, length);
  }
  static ssize_t sWrite(int fd, const void* data, size_t length) {
    NodeScript& s = *sCurrent;
    s.writeCalls.push_back(length);
    return aUSBNodeSeam_System.write(fd, data, std::min(length, s.writeLimit));
  }
  static int sClose(int fd) {
    NodeScript& s = *sCurrent;
    if (s.m_open.erase(fd) == 0) {
      s.misuses.push_back("close of descriptor " + std::to_string(fd) + ", not open on the node");
      return aUSBNodeSeam_System.close(fd);
    }
    aUSBNodeSeam_System.close(fd);
    if (!s.closeErrno) return 0;
    errno = s.closeErrno;
    return -1;
  }

  static inline NodeScript* sCurrent = nullptr;
  static constexpr aUSBNodeSeam kSeam = {sOpen, sRead, sWrite, sClose};
  const aUSBNodeSeam* m_previous = nullptr;
  std::set<int> m_open;
};

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

// close(2) releases the descriptor even when it fails. The record must let
// it go then, or a later destroy closes whatever file got the number next.
TEST_F(UsbNode, FailedCloseLetsTheDescriptorGo) {
  NodeScript node;
  jvusb_device* device = jvusb_create_usb(jvusbModeKernel);
  ASSERT_NE(nullptr, device);
  ASSERT_EQ(aErrNone, jvusb_open_jorvanite_device(device, "0012ABCD"));
  ASSERT_EQ(1u, node.opened.size());
  node.closeErrno = EIO;
  EXPECT_EQ(aErrCancel, jvusb_close_jorvanite_device(device));
  uint8_t byte = 0;
  EXPECT_EQ(aErrMode, jvusb_get_from_device(device, &byte));

  // The lowest free number comes next: the one the node just gave back.
  const int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(node.opened[0], other);
  EXPECT_EQ(aErrNone, jvusb_destroy(&device));
  EXPECT_NE(-1, fcntl(other, F_GETFD)) << "the destroy closed a descriptor it no longer owned";
  close(other);
  EXPECT_EQ(std::vector<std::string>{}, node.misuses);
}

// A stream whose close fails is gone all the same: its context and driver
// record are freed (the leak check of the sanitizer build sees them), and
// the close's error is what the destroy reports.
TEST_F(UsbNode, StreamDeleteReleasesAllWhenTheCloseFails) {
  NodeScript node;
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  node.closeErrno = EIO;
  EXPECT_EQ(aErrCancel, aStream_Destroy(&stream));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(std::vector<std::string>{}, node.misuses);
}

// The node's answers the driver relies on. Opening: EBUSY is a busy
// module, anything else an input/output failure; either way no stream and
// nothing left open.
// An errno the node answers with and what the driver makes of it.
struct NodeAnswerCase {
  const char* name;
  int error;
  aErr expected;
};

void PrintTo(const NodeAnswerCase& c, std::ostream* os) { *os << c.name; }

class UsbNodeOpen : public UsbNode, public ::testing::WithParamInterface<NodeAnswerCase> {};

TEST_P(UsbNodeOpen, Refused) {
  NodeScript node;
  node.openErrno = GetParam().error;
  aStream* stream = nullptr;
  EXPECT_EQ(GetParam().expected, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(nullptr, stream);
  EXPECT_TRUE(node.opened.empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, UsbNodeOpen,
                         ::testing::Values(NodeAnswerCase{"Busy", EBUSY, aErrBusy},
                                           NodeAnswerCase{"NoAccess", EACCES, aErrIO},
                                           NodeAnswerCase{"Gone", ENODEV, aErrIO}),
                         [](const auto& info) { return std::string(info.param.name); });

// Reading: EFAULT is the driver's word for "no byte waiting", a moment
// without data like any empty read; other failures are input/output
// errors. Neither ends the stream: the byte that comes next is read.
class UsbNodeRead : public UsbNode, public ::testing::WithParamInterface<NodeAnswerCase> {};

TEST_P(UsbNodeRead, FailedReadThenAByte) {
  NodeScript node;
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  node.readErrnos = {GetParam().error};
  uint8_t byte = 0;
  EXPECT_EQ(GetParam().expected, aStream_Read(stream, &byte, 1));
  const uint8_t sent = 0x5C;
  ASSERT_EQ(1, write(m_master, &sent, 1));
  EXPECT_EQ(aErrNone, aStream_Read(stream, &byte, 1));
  EXPECT_EQ(sent, byte);
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

INSTANTIATE_TEST_SUITE_P(Answers, UsbNodeRead,
                         ::testing::Values(NodeAnswerCase{"NothingWaiting", EFAULT, aErrNotReady},
                                           NodeAnswerCase{"Interrupted", EINTR, aErrNotReady},
                                           NodeAnswerCase{"Failed", EIO, aErrIO}),
                         [](const auto& info) { return std::string(info.param.name); });

// Writing: a node that takes fewer bytes than offered gets the rest in
// further calls, at most 1000 of them; bytes left after that are an
// input/output error, so a node that takes nothing cannot hold the writer.
struct NodeWriteCase {
  const char* name;
  size_t limit;  // bytes the node takes per call
  size_t length;
  aErr expected;
  size_t calls;
};

void PrintTo(const NodeWriteCase& c, std::ostream* os) { *os << c.name; }

class UsbNodeWrite : public UsbNode, public ::testing::WithParamInterface<NodeWriteCase> {};

TEST_P(UsbNodeWrite, ShortWrites) {
  const NodeWriteCase& c = GetParam();
  NodeScript node;
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  node.writeLimit = c.limit;
  std::vector<uint8_t> out(c.length);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 13 + 1);
  EXPECT_EQ(c.expected, aStream_Write(stream, out.data(), out.size()));
  EXPECT_EQ(c.calls, node.writeCalls.size());
  // Each call offers what is still unsent.
  if (c.calls > 1) {
    EXPECT_EQ(c.length - c.limit, node.writeCalls.at(1));
  }
  const size_t taken = std::min(c.length, c.limit * c.calls);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(taken)), readMaster(taken));
  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
}

INSTANTIATE_TEST_SUITE_P(Answers, UsbNodeWrite,
                         ::testing::Values(NodeWriteCase{"SevenAtATime", 7, 30, aErrNone, 5},
                                           NodeWriteCase{"OneAtATime", 1, 1000, aErrNone, 1000},
                                           NodeWriteCase{"TooSlow", 1, 1001, aErrIO, 1000},
                                           NodeWriteCase{"TakesNothing", 0, 30, aErrIO, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

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
