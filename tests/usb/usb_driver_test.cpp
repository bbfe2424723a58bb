// The USB driver and stream on a scripted bus: device and interface rules,
// packet chunking, error tolerance, the shared context, and enumeration.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "aDiscovery.h"
#include "aUSB.h"
#include "aUSBSeamScript.h"
#include "aUSBStream.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;
const char* const kSerialText = "0012ABCD";

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

// Leaves the bus as the test found it and checks that the driver kept
// libusb's rules throughout.
void ExpectClean(const aUSBScript& script) {
  EXPECT_EQ(0, script.openHandles());
  EXPECT_EQ(0, script.outstandingLists());
  EXPECT_EQ(0, script.outstandingConfigs());
  EXPECT_EQ(std::vector<std::string>{}, script.misuses());
}

TEST(UsbStream, OpensTheModuleAndMovesBytesBothWays) {
  aUSBScript script({aUSBScriptDevice::Module("00000001"), aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(0, script.claims(0));
  EXPECT_EQ(1, script.claims(1));
  EXPECT_EQ(1, script.openHandles());

  const std::vector<uint8_t> out = {0xAF, 0x01, 0x02, 0x03};
  EXPECT_EQ(aErrNone, aStream_Write(stream, out.data(), out.size()));
  EXPECT_EQ(out, script.peerReceived(1));

  script.peerSend(1, {0x10, 0x20, 0x30});
  uint8_t in[3] = {};
  EXPECT_EQ(aErrNone, aStream_Read(stream, in, sizeof in));
  EXPECT_EQ((std::vector<uint8_t>{0x10, 0x20, 0x30}), std::vector<uint8_t>(in, in + 3));

  EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
  EXPECT_EQ(1, script.releases(1));
  ExpectClean(script);
}

TEST(UsbStream, RefusesBadArguments) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = reinterpret_cast<aStream*>(&script);
  EXPECT_EQ(aErrParam, aStream_CreateUSB(0, &stream));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(aErrParam, aStream_CreateUSB(kSerial, nullptr));
  EXPECT_EQ(0, script.opens(0));
}

// Which devices count as the module 0x0012ABCD: the same rule serves the
// open and the enumeration.
struct MatchCase {
  const char* name;
  aUSBScriptDevice device;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

aUSBScriptDevice With(aUSBScriptDevice d, void (*change)(aUSBScriptDevice&)) {
  change(d);
  return d;
}

class UsbMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(UsbMatch, OpenAndEnumerationAgree) {
  const MatchCase& c = GetParam();
  aUSBScript script({c.device});
  aStream* stream = nullptr;
  EXPECT_EQ(c.matches ? aErrNone : aErrNotFound, aStream_CreateUSB(kSerial, &stream));
  if (stream) aStream_Destroy(&stream);

  std::vector<linkSpec> found;
  const uint8_t count = aDiscovery_EnumerateModules(
      LINK_USB,
      [](const linkSpec* spec, bool* success, void* ref) {
        static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
        *success = true;
        return true;
      },
      &found, 0);
  EXPECT_EQ(c.matches ? 1 : 0, count);
  ASSERT_EQ(c.matches ? 1u : 0u, found.size());
  if (c.matches) {
    EXPECT_EQ(kSerial, found[0].serialNumber);
    EXPECT_EQ(kSerial, found[0].address);
    EXPECT_EQ(c.device.productId & 0xFFu, found[0].model);
  }
  ExpectClean(script);
}

const MatchCase kMatchCases[] = {
    {"Exact", aUSBScriptDevice::Module(kSerialText), true},
    {"LowerCase", aUSBScriptDevice::Module("0012abcd"), false},
    {"SevenDigits", aUSBScriptDevice::Module("012ABCD"), false},
    {"NineDigits", aUSBScriptDevice::Module("00012ABCD"), false},
    {"NotHex", aUSBScriptDevice::Module("0012ABCG"), false},
    {"TrailingSpace", aUSBScriptDevice::Module("0012ABC "), false},
    {"StringCallFails", With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.serialResult = LIBUSB_ERROR_IO; }),
     false},
    {"ProductBelow8000", With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.productId = 0x7FFF; }), true},
    {"Product8000", With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.productId = 0x8000; }), false},
    {"Product8001", With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.productId = 0x8001; }), false},
    {"OtherVendor",
     With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.vendorId = kJorvaniteUSBVendorID ^ 0x0100; }), false},
    {"DescriptorUnreadable",
     With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.descriptorResult = LIBUSB_ERROR_IO; }), false},
    {"CannotOpen", With(aUSBScriptDevice::Module(kSerialText), [](auto& d) { d.openResult = LIBUSB_ERROR_ACCESS; }),
     false},
};

INSTANTIATE_TEST_SUITE_P(Devices, UsbMatch, ::testing::ValuesIn(kMatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Interface rules and claim failures: every failed open closes its handle.
struct OpenCase {
  const char* name;
  std::vector<std::vector<aUSBScriptAltSetting>> interfaces;
  int claimResult;
  aErr expected;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

aUSBScriptAltSetting Alt(std::vector<aUSBScriptEndpoint> endpoints, uint8_t subClass = 0x88, uint8_t number = 0) {
  aUSBScriptAltSetting alt;
  alt.interfaceNumber = number;
  alt.interfaceSubClass = subClass;
  alt.endpoints = std::move(endpoints);
  return alt;
}

const aUSBScriptEndpoint kOut{0x01, LIBUSB_TRANSFER_TYPE_BULK, 64};
const aUSBScriptEndpoint kIn{0x81, LIBUSB_TRANSFER_TYPE_BULK, 64};

class UsbOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(UsbOpen, ReportsWhyAndClosesTheHandle) {
  const OpenCase& c = GetParam();
  aUSBScriptDevice device = aUSBScriptDevice::Module(kSerialText);
  device.interfaces = c.interfaces;
  device.claimResult = c.claimResult;
  aUSBScript script({device});
  aStream* stream = nullptr;
  EXPECT_EQ(c.expected, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(c.expected == aErrNone, stream != nullptr);
  if (c.expected == aErrConfiguration) {
    EXPECT_EQ(0, script.claims(0));
  }
  if (stream) aStream_Destroy(&stream);
  ExpectClean(script);
}

const OpenCase kOpenCases[] = {
    {"NoOutEndpoint", {{Alt({kIn})}}, 0, aErrConfiguration},
    {"NoInEndpoint", {{Alt({kOut})}}, 0, aErrConfiguration},
    {"NoInterface", {}, 0, aErrConfiguration},
    {"OtherSubClass", {{Alt({kOut, kIn}, 0x87)}}, 0, aErrConfiguration},
    {"IsochronousOnly",
     {{Alt({{0x01, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS, 64}, {0x81, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS, 64}})}},
     0,
     aErrConfiguration},
    {"ZeroPacketSize", {{Alt({{0x01, LIBUSB_TRANSFER_TYPE_BULK, 0}, kIn})}}, 0, aErrConfiguration},
    {"InterruptEndpoints",
     {{Alt({{0x02, LIBUSB_TRANSFER_TYPE_INTERRUPT, 64}, {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 64}})}},
     0,
     aErrNone},
    {"FamilyInterfaceSecond", {{Alt({kOut, kIn}, 0x01, 0)}, {Alt({kOut, kIn}, 0x88, 1)}}, 0, aErrNone},
    // A later matching setting replaces an earlier one whole; its missing
    // endpoint is not made up from the earlier setting.
    {"LaterSettingLacksOut", {{Alt({kOut, kIn}), Alt({kIn})}}, 0, aErrConfiguration},
    {"ClaimBusy", {{Alt({kOut, kIn})}}, LIBUSB_ERROR_BUSY, aErrBusy},
    {"ClaimDeviceGone", {{Alt({kOut, kIn})}}, LIBUSB_ERROR_NO_DEVICE, aErrBusy},
    {"ClaimDenied", {{Alt({kOut, kIn})}}, LIBUSB_ERROR_ACCESS, aErrPermission},
    {"ClaimOther", {{Alt({kOut, kIn})}}, LIBUSB_ERROR_OTHER, aErrUnknown},
};

INSTANTIATE_TEST_SUITE_P(Interfaces, UsbOpen, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbOpen, ConfigurationFailureEndsTheSearch) {
  aUSBScriptDevice broken = aUSBScriptDevice::Module(kSerialText);
  broken.interfaces = {{Alt({kIn})}};
  aUSBScript script({broken, aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  EXPECT_EQ(aErrConfiguration, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(0, script.opens(1));
  ExpectClean(script);
}

// Writes go out in packets of the OUT endpoint's size, never of exactly 512.
struct ChunkCase {
  uint16_t maxPacket;
  size_t length;
  std::vector<int> transfers;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.length << " bytes at " << c.maxPacket; }

class UsbChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(UsbChunks, SplitsWrites) {
  const ChunkCase& c = GetParam();
  aUSBScript script({aUSBScriptDevice::Module(kSerialText, c.maxPacket)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  const std::vector<uint8_t> data = Pattern(c.length);
  EXPECT_EQ(aErrNone, aStream_Write(stream, data.data(), data.size()));
  EXPECT_EQ(c.transfers, script.outTransferLengths(0));
  EXPECT_EQ(data, script.peerReceived(0));
  aStream_Destroy(&stream);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UsbChunks,
                         ::testing::Values(ChunkCase{64, 30, {30}}, ChunkCase{512, 1024, {511, 511, 2}},
                                           ChunkCase{64, 130, {64, 64, 2}}, ChunkCase{512, 512, {511, 1}},
                                           ChunkCase{512, 300, {300}}, ChunkCase{1024, 1024, {1024}},
                                           ChunkCase{1024, 1536, {1024, 511, 1}}),
                         [](const auto& info) {
                           return "Packet" + std::to_string(info.param.maxPacket) + "Write" +
                                  std::to_string(info.param.length);
                         });

// Failed OUT transfers are retried, at most ten per write.
struct WriteFaultCase {
  const char* name;
  std::vector<int> faults;
  int clearHaltResult;
  aErr expected;
  int transfers;
  int outClears;
  bool delivered;
};

void PrintTo(const WriteFaultCase& c, std::ostream* os) { *os << c.name; }

class UsbWriteFaults : public ::testing::TestWithParam<WriteFaultCase> {};

TEST_P(UsbWriteFaults, RetryThenGiveUp) {
  const WriteFaultCase& c = GetParam();
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  script.setClearHaltResult(c.clearHaltResult);
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  script.failOut(0, c.faults);
  const std::vector<uint8_t> data = Pattern(20);
  EXPECT_EQ(c.expected, aStream_Write(stream, data.data(), data.size()));
  EXPECT_EQ(static_cast<size_t>(c.transfers), script.outTransferLengths(0).size());
  EXPECT_EQ(c.outClears, script.clearHalts(0, 0x01));
  EXPECT_EQ(c.delivered ? data : std::vector<uint8_t>{}, script.peerReceived(0));
  aStream_Destroy(&stream);
}

const std::vector<int> kTenTimeouts(10, LIBUSB_ERROR_TIMEOUT);

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbWriteFaults,
    ::testing::Values(
        WriteFaultCase{"TimeoutsThenSent", {LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_TIMEOUT}, 0, aErrNone, 3, 0, true},
        WriteFaultCase{"StallClearedThenSent", {LIBUSB_ERROR_PIPE, LIBUSB_ERROR_PIPE}, 0, aErrNone, 3, 2, true},
        WriteFaultCase{"TenFailuresGiveUp", kTenTimeouts, 0, aErrWrite, 10, 0, false},
        // A halt that cannot be cleared is an input/output error, absorbed
        // as the first of the tolerated ones.
        WriteFaultCase{"StallNotCleared", {LIBUSB_ERROR_PIPE}, LIBUSB_ERROR_IO, aErrNone, 2, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Error tolerance on reads: a sequence of IN transfer results and what each
// read reports.
struct ToleranceCase {
  const char* name;
  std::vector<int> inResults;  // 1 = one byte arrives
  std::vector<aErr> reads;
  uint32_t finalState;
};

void PrintTo(const ToleranceCase& c, std::ostream* os) { *os << c.name; }

class UsbTolerance : public ::testing::TestWithParam<ToleranceCase> {};

TEST_P(UsbTolerance, ReadResults) {
  const ToleranceCase& c = GetParam();
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  jvusb_device* device = jvusb_create_usb(jvusbModeLibusb);
  ASSERT_NE(nullptr, device);
  ASSERT_EQ(aErrNone, jvusb_open_jorvanite_device(device, kSerialText));
  std::vector<aErr> reads;
  for (int r : c.inResults) {
    if (r == 1) {
      script.peerSend(0, {0x55});
    } else {
      script.failIn(0, {r});
    }
    uint8_t byte = 0;
    reads.push_back(jvusb_get_from_device(device, &byte));
  }
  EXPECT_EQ(c.reads, reads);
  EXPECT_EQ(c.finalState, jvusb_get_state(device));
  EXPECT_EQ(aErrNone, jvusb_close_jorvanite_device(device));
  EXPECT_EQ(aErrNone, jvusb_destroy(&device));
  ExpectClean(script);
}

constexpr int IO = LIBUSB_ERROR_IO;
constexpr aErr NR = aErrNotReady;

INSTANTIATE_TEST_SUITE_P(
    Sequences, UsbTolerance,
    ::testing::Values(
        ToleranceCase{"FifthErrorFails", {IO, IO, IO, IO, IO}, {NR, NR, NR, NR, aErrIO}, jvusbStateFailed},
        ToleranceCase{"ByteResetsCount",
                      {IO, IO, IO, IO, 1, IO, IO, IO, IO},
                      {NR, NR, NR, NR, aErrNone, NR, NR, NR, NR},
                      jvusbStateReady},
        ToleranceCase{"TimeoutResetsCount",
                      {IO, IO, IO, IO, LIBUSB_ERROR_TIMEOUT, IO},
                      {NR, NR, NR, NR, NR, NR},
                      jvusbStateReady},
        ToleranceCase{"DeviceGoneCountsAsIO",
                      {LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_OVERFLOW, IO, IO},
                      {NR, NR, NR, NR, aErrIO},
                      jvusbStateFailed},
        ToleranceCase{"StallIsNoError", {LIBUSB_ERROR_PIPE, IO}, {NR, NR}, jvusbStateReady}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbTolerance, FailedDeviceStaysFailed) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  script.failIn(0, std::vector<int>(5, LIBUSB_ERROR_IO));
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
  ASSERT_EQ(aErrIO, aStream_Read(stream, &byte, 1));
  // Far more failures than the count can hold: it must not come round to
  // the tolerated range again.
  script.peerSend(0, {0x01});
  const uint8_t out = 0x42;
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(aErrIO, aStream_Read(stream, &byte, 1)) << "read " << i;
    ASSERT_EQ(aErrIO, aStream_Write(stream, &out, 1)) << "write " << i;
  }
  EXPECT_TRUE(script.peerReceived(0).empty());
  aStream_Destroy(&stream);
  ExpectClean(script);
}

TEST(UsbTolerance, StalledInEndpointIsCleared) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  script.failIn(0, {LIBUSB_ERROR_PIPE});
  script.peerSend(0, {0x77});
  uint8_t byte = 0;
  EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
  EXPECT_EQ(1, script.clearHalts(0, 0x81));
  EXPECT_EQ(aErrNone, aStream_Read(stream, &byte, 1));
  EXPECT_EQ(0x77, byte);
  aStream_Destroy(&stream);
}

// The wait operation lets a reader sleep on an idle link: it fills the
// receive buffer itself, and a failure it meets is handed to the next read
// so that the error tolerance still counts it.
struct WaitCase {
  const char* name;
  std::vector<int> inFaults;
  bool bytes;
  aErr wait;
  aErr read;
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class UsbWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(UsbWait, ThenRead) {
  const WaitCase& c = GetParam();
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  script.failIn(0, c.inFaults);
  if (c.bytes) script.peerSend(0, {0x5A});
  EXPECT_EQ(c.wait, aStream_WaitReadable(stream, 50));
  uint8_t byte = 0;
  if (!c.bytes && c.inFaults.empty()) script.peerSend(0, {0x5A});
  EXPECT_EQ(c.read, aStream_Read(stream, &byte, 1));
  aStream_Destroy(&stream);
  ExpectClean(script);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, UsbWait,
    ::testing::Values(WaitCase{"BytesWaiting", {}, true, aErrNone, aErrNone},
                      WaitCase{"NothingComes", {}, false, aErrTimeout, aErrNone},
                      WaitCase{"StallRetried", {LIBUSB_ERROR_PIPE}, true, aErrNone, aErrNone},
                      WaitCase{"FailureHandedToRead", {LIBUSB_ERROR_IO}, true, aErrNone, aErrNotReady}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbWait, FifthFailureSeenThroughWaitsFailsTheDevice) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  uint8_t byte = 0;
  for (int i = 0; i < 5; ++i) {
    script.failIn(0, {LIBUSB_ERROR_IO});
    ASSERT_EQ(aErrNone, aStream_WaitReadable(stream, 50));
    ASSERT_EQ(i < 4 ? aErrNotReady : aErrIO, aStream_Read(stream, &byte, 1)) << "failure " << i + 1;
  }
  aStream_Destroy(&stream);
}

// The link engine reads only when the wait says so, so a quiet module is
// met inside the wait. Steps, each a wait as the engine makes it (and the
// read when the wait does not time out): 'E' an input/output error, 'I' an
// idle time-out, 'S' a stall, 'B' a byte. What ends a run of errors on a
// read must end it here too.
struct WaitRunCase {
  const char* name;
  const char* steps;
  std::vector<aErr> reads;  // one per step: aErrTimeout when the wait timed out
  bool failed;
};

void PrintTo(const WaitRunCase& c, std::ostream* os) { *os << c.name; }

class UsbWaitRun : public ::testing::TestWithParam<WaitRunCase> {};

TEST_P(UsbWaitRun, ErrorsCountUntilSomethingElseComes) {
  const WaitRunCase& c = GetParam();
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  std::vector<aErr> reads;
  for (const char* step = c.steps; *step; ++step) {
    if (*step == 'E') script.failIn(0, {LIBUSB_ERROR_IO});
    if (*step == 'S') script.failIn(0, {LIBUSB_ERROR_PIPE});
    if (*step == 'B') script.peerSend(0, {0x33});
    uint8_t byte = 0;
    const aErr wait = aStream_WaitReadable(stream, 50);
    reads.push_back(wait == aErrTimeout ? wait : aStream_Read(stream, &byte, 1));
  }
  EXPECT_EQ(c.reads, reads);
  // A failed device refuses writes too; a live one takes them.
  const uint8_t out = 0x42;
  EXPECT_EQ(c.failed ? aErrIO : aErrNone, aStream_Write(stream, &out, 1));
  aStream_Destroy(&stream);
  ExpectClean(script);
}

constexpr aErr TO = aErrTimeout;

INSTANTIATE_TEST_SUITE_P(
    Runs, UsbWaitRun,
    ::testing::Values(WaitRunCase{"FiveInARowFail", "EEEEE", {NR, NR, NR, NR, aErrIO}, true},
                      WaitRunCase{"IdleEndsTheRun", "EEEEIEEEE", {NR, NR, NR, NR, TO, NR, NR, NR, NR}, false},
                      WaitRunCase{"StallEndsTheRun", "EEEESE", {NR, NR, NR, NR, TO, NR}, false},
                      WaitRunCase{"ByteEndsTheRun", "EEEEBEEEE", {NR, NR, NR, NR, aErrNone, NR, NR, NR, NR}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbDriver, ClosedRecordRefusesTransfers) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  jvusb_device* device = jvusb_create_usb(jvusbModeLibusb);
  ASSERT_NE(nullptr, device);
  uint8_t byte = 0;
  EXPECT_EQ(aErrNotReady, jvusb_get_from_device(device, &byte));
  EXPECT_EQ(aErrMode, jvusb_open_jorvanite_kernel_device(device, kSerialText));
  EXPECT_EQ(aErrParam, jvusb_open_jorvanite_device(device, "0012abcd"));
  ASSERT_EQ(aErrNone, jvusb_open_jorvanite_device(device, kSerialText));
  EXPECT_EQ(aErrResource, jvusb_open_jorvanite_device(device, kSerialText));
  EXPECT_EQ(aErrNone, jvusb_close_jorvanite_device(device));
  EXPECT_EQ(jvusbStateClosed, jvusb_get_state(device));
  EXPECT_EQ(aErrConnection, jvusb_get_from_device(device, &byte));
  EXPECT_EQ(aErrConnection, jvusb_write_to_device(device, &byte, 1));
  EXPECT_EQ(aErrMode, jvusb_close_jorvanite_device(device));
  EXPECT_EQ(aErrNone, jvusb_destroy(&device));
  EXPECT_EQ(nullptr, device);
  EXPECT_EQ(aErrParam, jvusb_destroy(&device));
  ExpectClean(script);
}

TEST(UsbDriver, DestroyClosesAnOpenHandle) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  jvusb_device* device = jvusb_create_usb(jvusbModeLibusb);
  ASSERT_EQ(aErrNone, jvusb_open_jorvanite_device(device, kSerialText));
  EXPECT_EQ(aErrNone, jvusb_destroy(&device));
  EXPECT_EQ(0, script.releases(0));
  ExpectClean(script);
}

// --- The shared context -------------------------------------------------------

TEST(UsbContext, ExitThenANewContext) {
  aUSBScript script;
  libusb_context* first = Jorvanite_libusb_context();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, Jorvanite_libusb_init());
  EXPECT_EQ(1, script.inits());
  EXPECT_EQ(aErrNone, Jorvanite_libusb_exit());
  EXPECT_EQ(0, script.liveContexts());
  EXPECT_EQ(aErrNone, Jorvanite_libusb_exit());
  EXPECT_EQ(1, script.exits());
  libusb_context* second = Jorvanite_libusb_context();
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(2, script.inits());
  EXPECT_EQ(1, script.liveContexts());
  ExpectClean(script);
}

TEST(UsbContext, NotEndedWhileADeviceIsOpen) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  aStream* stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  libusb_context* context = Jorvanite_libusb_context();
  EXPECT_EQ(aErrBusy, Jorvanite_libusb_exit());
  EXPECT_EQ(context, Jorvanite_libusb_context());
  EXPECT_EQ(1, script.liveContexts());
  script.peerSend(0, {0x09});
  uint8_t byte = 0;
  EXPECT_EQ(aErrNone, aStream_Read(stream, &byte, 1));
  aStream_Destroy(&stream);
  EXPECT_EQ(aErrNone, Jorvanite_libusb_exit());
  EXPECT_EQ(0, script.liveContexts());
  ExpectClean(script);
}

TEST(UsbContext, FailedInitLeavesNoneAndIsRetried) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  script.setInitResult(LIBUSB_ERROR_NO_MEM);
  EXPECT_EQ(nullptr, Jorvanite_libusb_context());
  aStream* stream = nullptr;
  EXPECT_EQ(aErrResource, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(nullptr, aDiscovery_FindModule(LINK_USB, kSerial, 0));
  // No call may fall back on libusb's implied default context.
  EXPECT_EQ(std::vector<std::string>{}, script.misuses());
  script.setInitResult(0);
  EXPECT_NE(nullptr, Jorvanite_libusb_context());
  ASSERT_EQ(aErrNone, aStream_CreateUSB(kSerial, &stream));
  aStream_Destroy(&stream);
  ExpectClean(script);
}

TEST(UsbContext, UnlistableBusFindsNothing) {
  aUSBScript script({aUSBScriptDevice::Module(kSerialText)});
  script.setListResult(LIBUSB_ERROR_NO_MEM);
  aStream* stream = nullptr;
  EXPECT_EQ(aErrNotFound, aStream_CreateUSB(kSerial, &stream));
  EXPECT_EQ(nullptr, aDiscovery_FindFirstModule(LINK_USB, 0));
  ExpectClean(script);
}

// --- The real bus ----------------------------------------------------------------

TEST(UsbRealBus, NoBusFindsNothing) {
  if (aUSBSeam_Get() != &aUSBSeam_Libusb) GTEST_SKIP() << "a scripted bus is installed";
  int calls = 0;
  EXPECT_EQ(0, aDiscovery_EnumerateModules(
                   LINK_USB,
                   [](const linkSpec*, bool* success, void* ref) {
                     ++*static_cast<int*>(ref);
                     *success = true;
                     return true;
                   },
                   &calls, 0));
  EXPECT_EQ(0, calls);
  aStream* stream = nullptr;
  const aErr err = aStream_CreateUSB(kSerial, &stream);
  EXPECT_TRUE(err == aErrNotFound || err == aErrResource) << aError_GetErrorText(err);
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(aErrNone, Jorvanite_libusb_exit());
}

// --- Enumeration -------------------------------------------------------------------

struct Collected {
  std::vector<linkSpec> specs;
  size_t stopAfter = 1000;
  bool succeed = true;
};

bool Collect(const linkSpec* spec, bool* success, void* ref) {
  auto* c = static_cast<Collected*>(ref);
  c->specs.push_back(*spec);
  *success = c->succeed;
  return c->specs.size() < c->stopAfter;
}

aUSBScriptDevice ModuleWithProduct(const char* serial, uint16_t productId) {
  aUSBScriptDevice d = aUSBScriptDevice::Module(serial);
  d.productId = productId;
  return d;
}

TEST(UsbEnumeration, ReportsModulesInBusOrder) {
  aUSBScript script({ModuleWithProduct("40F5849A", 0x0113), ModuleWithProduct("40F5849a", 0x0113),
                     ModuleWithProduct("00000007", 0x7F04)});
  Collected c;
  EXPECT_EQ(2, aDiscovery_EnumerateModules(LINK_USB, Collect, &c, 0));
  ASSERT_EQ(2u, c.specs.size());
  const linkSpec& a = c.specs[0];
  EXPECT_EQ(LINK_USB, a.type);
  EXPECT_EQ(0x40F5849Au, a.serialNumber);
  EXPECT_EQ(0x40F5849Au, a.address);
  EXPECT_EQ(0x13u, a.model);
  EXPECT_EQ(0u, a.module);
  EXPECT_EQ(0u, a.router);
  EXPECT_EQ(0u, a.routerSerialNumber);
  EXPECT_EQ(0u, a.port);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&a);
  EXPECT_TRUE(std::all_of(bytes + 32, bytes + 128, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(7u, c.specs[1].serialNumber);
  EXPECT_EQ(0x04u, c.specs[1].model);
  ExpectClean(script);
}

struct StopCase {
  const char* name;
  size_t stopAfter;
  bool succeed;
  uint8_t count;
  size_t calls;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class UsbEnumerationStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(UsbEnumerationStop, CallbackDecides) {
  const StopCase& s = GetParam();
  aUSBScript script(
      {aUSBScriptDevice::Module("00000001"), aUSBScriptDevice::Module("00000002"), aUSBScriptDevice::Module("00000003")});
  Collected c;
  c.stopAfter = s.stopAfter;
  c.succeed = s.succeed;
  EXPECT_EQ(s.count, aDiscovery_EnumerateModules(LINK_USB, Collect, &c, 0));
  EXPECT_EQ(s.calls, c.specs.size());
  // Modules after the stop are not even opened.
  EXPECT_EQ(s.calls < 3 ? 0 : 1, script.opens(2));
  ExpectClean(script);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, UsbEnumerationStop,
                         ::testing::Values(StopCase{"StopAtFirstCounted", 1, true, 1, 1},
                                           StopCase{"StopAtFirstUncounted", 1, false, 0, 1},
                                           StopCase{"NeverCounted", 1000, false, 0, 3},
                                           StopCase{"All", 1000, true, 3, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UsbEnumeration, FindFunctions) {
  aUSBScript script({ModuleWithProduct("00000000", 0x0101), ModuleWithProduct("40F5849A", 0x0113),
                     ModuleWithProduct("40F5849A", 0x0114), ModuleWithProduct("0012ABCD", 0x0115)});
  linkSpec* first = aDiscovery_FindFirstModule(LINK_USB, 0);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(0x40F5849Au, first->serialNumber);
  EXPECT_EQ(0x13u, first->model);
  EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&first));

  linkSpec* found = aDiscovery_FindModule(LINK_USB, kSerial, 0);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(kSerial, found->serialNumber);
  EXPECT_EQ(0x15u, found->model);
  aLinkSpec_Destroy(&found);

  linkSpec* twice = aDiscovery_FindModule(LINK_USB, 0x40F5849A, 0);
  ASSERT_NE(nullptr, twice);
  EXPECT_EQ(0x13u, twice->model);
  aLinkSpec_Destroy(&twice);

  EXPECT_EQ(nullptr, aDiscovery_FindModule(LINK_USB, 0x11111111, 0));
  ExpectClean(script);
}

}  // namespace
