// HID_SDPLoader on the simulated ROM's HID endpoint, through the test hidapi
// table: report framing with the report-ID byte, how replies are gathered,
// opening and closing, and whole runs with the ROM's faults.
#include <gtest/gtest.h>

#include "HID_SDPLoader.h"
#include "IMX1050.h"
#include "SDPLoader.h"
#include "SdpRom.h"
#include "SdpTestSupport.h"

namespace {

using sdptest::Bytes;

struct HidRom {
  explicit HidRom(sdpsim::Config config = {}, size_t habReportBytes = sdpsim::SdpHidEndpoint::kInputReportBytes)
      : rom(config), endpoint(rom, habReportBytes), device(endpoint) {
    aHIDSeamTest::attach(IMX1050::VID, IMX1050::PID, &device);
  }
  sdpsim::SdpRom rom;
  sdpsim::SdpHidEndpoint endpoint;
  sdptest::HidDevice device;
};

class SdpHid : public ::testing::Test {
 protected:
  sdptest::HidSeamGuard seam;
};

TEST_F(SdpHid, OpensByIdsAndAlwaysEndsHidapi) {
  HidRom rom;
  {
    HID_SDPLoader never(IMX1050::VID, IMX1050::PID);  // never opened
  }
  EXPECT_EQ(aHIDSeamTest::counts().exit, 1);
  EXPECT_EQ(aHIDSeamTest::counts().close, 0);
  {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, 0x0131)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);
  }
  EXPECT_EQ(aHIDSeamTest::counts().open, 0);
  EXPECT_EQ(aHIDSeamTest::counts().exit, 2);
  {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OK);
  }
  EXPECT_EQ(aHIDSeamTest::counts().open, 1);
  EXPECT_EQ(aHIDSeamTest::counts().close, 1);
  EXPECT_EQ(aHIDSeamTest::counts().exit, 3);

  aHIDSeamTest::setInitFails(true);
  HID_SDPLoader refused(IMX1050::VID, IMX1050::PID);
  EXPECT_FALSE(refused.init());
  EXPECT_EQ(aHIDSeamTest::counts().open, 1);
}

TEST_F(SdpHid, ReportsGoOutWithTheirIdAndRepliesGatherTo70Bytes) {
  HidRom rom;
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(hid.init());
  Bytes probe = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(hid.writeData(probe), 17);
  EXPECT_EQ(rom.rom.count("REPORT 1 17"), 1u);
  EXPECT_EQ(rom.rom.count("ERROR_STATUS"), 1u);

  Bytes reply;
  EXPECT_EQ(hid.readData(reply, 100), 70);
  ASSERT_EQ(reply.size(), HID_SDPLoader::REPLY_BYTES);
  // Report 3 (cut from 65 to 5 bytes: ID and HAB word), report 4 whole.
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{3, 0x56, 0x78, 0x78, 0x56}));
  EXPECT_EQ(reply[5], 4);
  uint32_t value = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, 0xF0F0F0F0u);

  // Nothing waiting: a zero time-out returns at once with nothing.
  Bytes none;
  EXPECT_EQ(hid.readData(none, 0), 0);
  EXPECT_TRUE(none.empty());
}

TEST_F(SdpHid, ShortHabReportIsTakenAsIs) {
  HidRom rom({}, 5);
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(hid.init());
  ASSERT_EQ(hid.writeData({1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 17);
  Bytes reply;
  EXPECT_EQ(hid.readData(reply, 100), 70);
}

TEST_F(SdpHid, StatusWordLiesOnlyInA70ByteReply) {
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  Bytes good(70, 0);
  good[6] = 0x78, good[7] = 0x56, good[8] = 0x34, good[9] = 0x12;
  good[21] = 0xEE;  // index 15 reads bytes 21 to 24
  struct Case {
    const char* name;
    Bytes reply;
    uint32_t index;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"word at 6..9", good, 0, true, 0x12345678 | 0x80000000},
      {"last index", good, 15, true, 0xEE | 0x80000000},
      {"index past 15", good, 16, false, 0x80000000},
      {"report 4 alone (65)", Bytes(65, 0x11), 0, false, 0x80000000},
      {"extra report (75)", Bytes(75, 0x11), 0, false, 0x80000000},
      {"empty", Bytes{}, 0, false, 0x80000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t value = 0x80000000;  // ORed into, never overwritten
    EXPECT_EQ(hid.getDataFromBuffer(c.reply, c.index, value), c.ok);
    EXPECT_EQ(value, c.value);
  }
}

TEST_F(SdpHid, UnaskedReportsEndUpInTheGatheredReply) {
  HidRom rom;
  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(hid.init());
  Bytes stray(65, 0);
  stray[0] = 3;
  rom.endpoint.inject(stray);
  rom.endpoint.inject(Bytes(65, 4));
  rom.endpoint.inject(Bytes(65, 4));
  Bytes reply;
  EXPECT_EQ(hid.readData(reply, 0), 5 + 65 + 65);
  uint32_t value = 0;
  EXPECT_FALSE(hid.getDataFromBuffer(reply, 0, value));
}

TEST_F(SdpHid, LoadAndJumpLeavesTheImageInRam) {
  HidRom rom;
  const Bytes loader1 = sdptest::pattern(5000, 7), loader2 = sdptest::pattern(1024, 9);
  {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    ASSERT_EQ(loader.writeLoader(loader1, 0x20000000), SDPLoader::SDP_OK);
    ASSERT_EQ(loader.writeLoader(loader2, 0x20002000), SDPLoader::SDP_OK);
    loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  }
  EXPECT_EQ(rom.rom.memory(0x20000000, loader1.size()), loader1);
  EXPECT_EQ(rom.rom.memory(0x20002000, loader2.size()), loader2);
  EXPECT_TRUE(rom.rom.jumped());
  EXPECT_EQ(rom.rom.jumpAddress(), IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  // Five data reports of 1025 bytes and one of 905 for the first image.
  EXPECT_EQ(rom.rom.count("REPORT 2 1025"), 4u + 1u);
  EXPECT_EQ(rom.rom.count("REPORT 2 905"), 1u);
  EXPECT_EQ(rom.rom.count("BAD_REPORT"), 0u);
  EXPECT_EQ(aHIDSeamTest::counts().close, 1);
}

TEST_F(SdpHid, FingerprintReadsBothFuseWords) {
  sdpsim::Config config;
  config.cfg0 = 0xCAFEF00D;
  config.cfg1 = 0x0BADBEEF;
  HidRom rom(config);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
  ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
  uint64_t value = 0;
  ASSERT_EQ(loader.getFingerprint(value), SDPLoader::SDP_OK);
  EXPECT_EQ(value, 0x0BADBEEFCAFEF00Dull);
  EXPECT_EQ(rom.rom.count("READ_REGISTER 401F4410 4"), 1u);
  EXPECT_EQ(rom.rom.count("READ_REGISTER 401F4420 4"), 1u);
}

// The ROM's faults never come back as a completed write.
TEST_F(SdpHid, RomFaultsAreReportedAsFailures) {
  struct Case {
    const char* name;
    sdpsim::Faults faults;
    uint8_t expected;
    bool imageLands;
  };
  auto with = [](auto set) {
    sdpsim::Faults f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"healthy", {}, SDPLoader::SDP_OK, true},
      {"silent", with([](auto& f) { f.silent = true; }), SDPLoader::SDP_NO_ANSWER, false},
      {"first probes unanswered", with([](auto& f) { f.silentProbes = 4; }), SDPLoader::SDP_OK, true},
      {"wrong status", with([](auto& f) { f.writeStatus = 0x12345678; }), SDPLoader::SDP_BAD_STATUS, true},
      {"corrupt reply", with([](auto& f) { f.corrupt = true; }), SDPLoader::SDP_BAD_STATUS, true},
      {"short reply", with([](auto& f) { f.shortReply = true; }), SDPLoader::SDP_NO_ANSWER, false},
      {"line drops at WRITE_FILE", with([](auto& f) { f.dropAfter = 2; }), SDPLoader::SDP_BAD_STATUS, false},
      {"speaks during transfer", with([](auto& f) { f.chatter = true; }), SDPLoader::SDP_UNEXPECTED_DATA, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sdpsim::Config config;
    config.faults = c.faults;
    HidRom rom(config);
    const Bytes image = sdptest::pattern(3000, 3);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), c.expected);
    EXPECT_EQ(rom.rom.transfers().size() == 1 && rom.rom.memory(0x20000000, image.size()) == image, c.imageLands);
    if (c.expected == SDPLoader::SDP_NO_ANSWER) {
      EXPECT_EQ(rom.rom.count("WRITE_FILE"), 0u);
    }
  }
}

}  // namespace
