// Why a link open failed, as the opening thread reads it afterwards: each
// transport's failures through its seam (a scripted USB bus, a node that
// answers as the kernel driver does) or a real socket and serial path,
// the link table and Link on top of them, the debug text the library's
// switches write at the failure, and the record's life per thread.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "DarkPort.h"
#include "Link.h"
#include "aDebug.h"
#include "aLinkTable.h"
#include "aOpenFailure.h"
#include "aStreamSerial.h"
#include "aStreamSocket.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"
#include "aUSBSeamScript.h"
#include "aUSBStream.h"

namespace {

using Tovanire::Jorvanite::Link;

constexpr uint32_t kSerial = 0x40F5849A;
const char* const kSerialText = "40F5849A";

std::string Describe(const aOpenFailure& failure) {
  char text[256];
  aOpenFailure_Describe(failure, text, sizeof text);
  return text;
}

std::string CodeText(const aOpenFailure& failure) {
  char text[64];
  aOpenFailure_CodeText(failure, text, sizeof text);
  return text;
}

// A loopback port with nothing listening: a connect is refused at once.
uint16_t ClosedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

aErr OpenUsb(const aUSBScriptDevice& device) {
  aUSBScript script({device});
  aStream* stream = nullptr;
  const aErr err = aStream_CreateUSB(kSerial, &stream);
  if (stream) aStream_Destroy(&stream);
  return err;
}

aUSBScriptDevice Module(void (*change)(aUSBScriptDevice&)) {
  aUSBScriptDevice d = aUSBScriptDevice::Module(kSerialText);
  change(d);
  return d;
}

// The family's kernel node, present as a file of the test's own, whose
// open fails with the errno given.
int sNodeErrno = 0;
int sFailingOpen(const char*, int) {
  errno = sNodeErrno;
  return -1;
}

aErr OpenNode(int openErrno) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("open-failure-node-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / ("node." + std::string(kSerialText)));
  jvusb_set_node_path_format((dir / "node.%08X").c_str());
  aUSBNodeSeam seam = aUSBNodeSeam_System;
  seam.open = sFailingOpen;
  sNodeErrno = openErrno;
  const aUSBNodeSeam* previous = aUSBNodeSeam_Install(&seam);
  aStream* stream = nullptr;
  const aErr err = aStream_CreateUSB(kSerial, &stream);
  if (stream) aStream_Destroy(&stream);
  aUSBNodeSeam_Install(previous);
  jvusb_set_node_path_format(nullptr);
  std::filesystem::remove_all(dir);
  return err;
}

aErr OpenSocket(uint16_t port) {
  aStream* stream = nullptr;
  const aErr err = aStream_CreateSocket(kLoopback, port, &stream);
  if (stream) aStream_Destroy(&stream);
  return err;
}

aErr OpenSerial(const char* path) {
  aStream* stream = nullptr;
  const aErr err = aStream_CreateSerial(path, 6, 0, 0, 0, &stream);
  if (stream) aStream_Destroy(&stream);
  return err;
}

struct FailureCase {
  const char* name;
  std::function<aErr()> open;
  aErr result;  // the open's own code, as it always was
  aOpenStep step;
  aOpenCause cause;
  int code;
  const char* text;
  const char* codeText;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class OpenFailures : public ::testing::TestWithParam<FailureCase> {
 protected:
  void SetUp() override { aOpenFailure_Clear(); }
};

TEST_P(OpenFailures, CauseIsKeptForTheOpeningThread) {
  const FailureCase& c = GetParam();
  EXPECT_EQ(c.result, c.open());
  aOpenFailure failure;
  ASSERT_TRUE(aOpenFailure_Last(&failure));
  EXPECT_EQ(c.step, failure.step);
  EXPECT_EQ(c.cause, failure.cause);
  EXPECT_EQ(c.code, failure.code);
  EXPECT_EQ(c.text, Describe(failure));
  EXPECT_EQ(c.codeText, CodeText(failure));
}

const FailureCase kFailures[] = {
    {"UsbClaimedElsewhere", [] { return OpenUsb(Module([](auto& d) { d.claimResult = LIBUSB_ERROR_BUSY; })); },
     aErrBusy, aOpenStepClaimInterface, aOpenCauseLibusb, LIBUSB_ERROR_BUSY,
     "the device is busy (another process has claimed it)", "LIBUSB_ERROR_BUSY (-6)"},
    {"UsbClaimDenied", [] { return OpenUsb(Module([](auto& d) { d.claimResult = LIBUSB_ERROR_ACCESS; })); },
     aErrPermission, aOpenStepClaimInterface, aOpenCauseLibusb, LIBUSB_ERROR_ACCESS,
     "permission denied (no access to the device node)", "LIBUSB_ERROR_ACCESS (-3)"},
    {"UsbGoneAtClaim", [] { return OpenUsb(Module([](auto& d) { d.claimResult = LIBUSB_ERROR_NO_DEVICE; })); },
     aErrBusy, aOpenStepClaimInterface, aOpenCauseLibusb, LIBUSB_ERROR_NO_DEVICE, "the device is gone",
     "LIBUSB_ERROR_NO_DEVICE (-4)"},
    {"UsbOpenDenied", [] { return OpenUsb(Module([](auto& d) { d.openResult = LIBUSB_ERROR_ACCESS; })); },
     aErrNotFound, aOpenStepReadSerial, aOpenCauseLibusb, LIBUSB_ERROR_ACCESS,
     "a device of the family could not be opened to read its serial number: permission denied (no access to the "
     "device node)",
     "LIBUSB_ERROR_ACCESS (-3)"},
    {"UsbGoneAtOpen", [] { return OpenUsb(Module([](auto& d) { d.openResult = LIBUSB_ERROR_NO_DEVICE; })); },
     aErrNotFound, aOpenStepReadSerial, aOpenCauseLibusb, LIBUSB_ERROR_NO_DEVICE,
     "a device of the family could not be opened to read its serial number: the device is gone",
     "LIBUSB_ERROR_NO_DEVICE (-4)"},
    {"UsbNoInterface", [] { return OpenUsb(Module([](auto& d) { d.interfaces.clear(); })); }, aErrConfiguration,
     aOpenStepFindInterface, aOpenCauseNone, 0, "the device has no interface of the family with both bulk endpoints",
     ""},
    {"NodeBusy", [] { return OpenNode(EBUSY); }, aErrBusy, aOpenStepOpenNode, aOpenCauseErrno, EBUSY,
     "the device is busy (another process has it open)", "EBUSY (16)"},
    {"NodeDenied", [] { return OpenNode(EACCES); }, aErrIO, aOpenStepOpenNode, aOpenCauseErrno, EACCES,
     "permission denied (no access to the device node)", "EACCES (13)"},
    {"SocketRefused", [] { return OpenSocket(ClosedPort()); }, aErrResource, aOpenStepConnectSocket,
     aOpenCauseErrno, ECONNREFUSED, "connection refused", "ECONNREFUSED (111)"},
    {"SocketUnanswered",
     [] {
       jvtest::DarkPort dark;
       return dark.ok() ? OpenSocket(dark.port()) : aErrUnknown;
     },
     aErrResource, aOpenStepConnectSocket, aOpenCauseErrno, ETIMEDOUT, "no answer within 2000 ms",
     "ETIMEDOUT (110)"},
    {"SerialPortMissing", [] { return OpenSerial("/dev/no-such-serial-port-here"); }, aErrNotFound,
     aOpenStepOpenSerial, aOpenCauseErrno, ENOENT, "no such device node", "ENOENT (2)"},
    {"SerialNotATerminal", [] { return OpenSerial("/dev/null"); }, aErrIO, aOpenStepSetUpSerial, aOpenCauseErrno,
     ENOTTY, "Inappropriate ioctl for device", "ENOTTY (25)"},
    // The layers above hand the open's failure on untouched.
    {"LinkTableOverUsb",
     [] {
       aUSBScript script({Module([](auto& d) { d.claimResult = LIBUSB_ERROR_BUSY; })});
       return aLink_CreateUSB(kSerial) == 0 ? aErrConnection : aErrNone;
     },
     aErrConnection, aOpenStepClaimInterface, aOpenCauseLibusb, LIBUSB_ERROR_BUSY,
     "the device is busy (another process has claimed it)", "LIBUSB_ERROR_BUSY (-6)"},
    {"LinkOverTcp",
     [] {
       linkSpec* spec = aLinkSpec_Create(LINK_TCPIP);
       spec->address = kLoopback;
       spec->port = ClosedPort();
       spec->serialNumber = kSerial;
       Link link(*spec, "Link");
       aLinkSpec_Destroy(&spec);
       return link.connect();
     },
     aErrConnection, aOpenStepConnectSocket, aOpenCauseErrno, ECONNREFUSED, "connection refused",
     "ECONNREFUSED (111)"},
};

INSTANTIATE_TEST_SUITE_P(Transports, OpenFailures, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// Devices the walk could not open before it reached the module explain
// nothing once the module is open: the record is left as it was found.
TEST(OpenFailure, OpenThatSucceedsLeavesTheRecordAsItWas) {
  aUSBScriptDevice denied = aUSBScriptDevice::Module("00000001");
  denied.openResult = LIBUSB_ERROR_ACCESS;
  aUSBScript script({denied, aUSBScriptDevice::Module(kSerialText)});
  aOpenFailure_Clear();
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  aStream_Destroy(&stream);
  EXPECT_FALSE(aOpenFailure_Last(nullptr));
}

// Each thread reads its own opens' failures only.
TEST(OpenFailure, RecordIsPerThread) {
  aOpenFailure_Clear();
  aOpenFailure seenThere;
  bool hadThere = true;
  std::thread other([&] {
    hadThere = aOpenFailure_Last(nullptr);
    OpenSocket(ClosedPort());
    aOpenFailure_Last(&seenThere);
  });
  other.join();
  EXPECT_FALSE(hadThere);
  EXPECT_EQ(ECONNREFUSED, seenThere.code);
  EXPECT_FALSE(aOpenFailure_Last(nullptr));
}

// The library writes the failure where it happens when its switches ask
// for it, and nothing otherwise.
struct TraceCase {
  const char* name;
  uint32_t enable;
  uint32_t level;
  bool traced;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureTrace : public ::testing::TestWithParam<TraceCase> {
 protected:
  void TearDown() override {
    aJorvaniteDebuggingEnable = 0;
    aJorvaniteDebuggingLevel = 0;
  }
};

TEST_P(OpenFailureTrace, WrittenToStandardOutputWhenSwitchedOn) {
  const TraceCase& c = GetParam();
  aJorvaniteDebuggingEnable = c.enable;
  aJorvaniteDebuggingLevel = c.level;
  ::testing::internal::CaptureStdout();
  OpenUsb(Module([](auto& d) { d.claimResult = LIBUSB_ERROR_BUSY; }));
  const std::string written = ::testing::internal::GetCapturedStdout();
  if (c.traced) {
    EXPECT_EQ(
        "link open failed claiming the USB interface: the device is busy (another process has claimed it) - "
        "LIBUSB_ERROR_BUSY (-6)\n",
        written);
  } else {
    EXPECT_EQ("", written);
  }
}

const TraceCase kTraces[] = {
    {"OffByDefault", 0, 0, false},
    {"LinkTopic", 1, aDebugLink, true},
    {"UsbTopic", 1, aDebugUSB, true},
    {"OtherTopicOnly", 1, aDebugServer, false},
    {"LevelWithoutEnable", 0, 0xFFFFFFFF, false},
    {"EnableBitZeroOnly", 2, 0xFFFFFFFF, false},
};

INSTANTIATE_TEST_SUITE_P(Switches, OpenFailureTrace, ::testing::ValuesIn(kTraces),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
