// The product's USB driver (aUSB.h) on a real USB stack: libusb on dummy_hcd
// inside the scripts/usbvm guest, against the usbgadget echo module. The
// cases are the ones a scripted bus can only imitate: which devices match,
// how writes are cut into packets at 64 and 512 bytes, stalls, and a device
// that leaves the bus while the driver holds it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "GadgetBus.h"
#include "aUSB.h"

namespace usbvm {
namespace {

// Keeps the driver record from leaking when an assertion ends a test early.
struct Driver {
  jvusb_device* dev = jvusb_create_usb(jvusbModeLibusb);
  ~Driver() {
    if (dev) jvusb_destroy(&dev);
  }
  aErr open() { return jvusb_open_jorvanite_device(dev, kSerial); }

  // Reads `n` bytes one at a time, as the link's receive thread does.
  std::vector<uint8_t> read(size_t n) {
    std::vector<uint8_t> got;
    auto deadline = Clock::now() + milliseconds(5000);
    while (got.size() < n && Clock::now() < deadline) {
      uint8_t b = 0;
      aErr e = jvusb_get_from_device(dev, &b);
      if (e == aErrNone) got.push_back(b);
      else if (e != aErrNotReady) break;
    }
    return got;
  }
};

// Opening by serial number, the way the updater reaches a module, retrying
// over fresh libusb contexts while the device may still be arriving.
aErr openWithin(Driver& d, milliseconds limit) {
  auto deadline = Clock::now() + limit;
  aErr e;
  while ((e = d.open()) != aErrNone && Clock::now() < deadline) {
    jvusb_destroy(&d.dev);
    Jorvanite_libusb_exit();
    std::this_thread::sleep_for(milliseconds(100));
    d.dev = jvusb_create_usb(jvusbModeLibusb);
  }
  return e;
}

struct Found {
  uint32_t serial;
  uint16_t product;
};

std::vector<Found> enumerate() {
  std::vector<Found> all;
  jvusb_enumerate(
      [](uint32_t sn, uint16_t pid, void* ref) {
        static_cast<std::vector<Found>*>(ref)->push_back({sn, pid});
        return true;
      },
      &all);
  return all;
}

// Which devices are the family's modules, decided on real descriptors.
struct MatchCase {
  const char* name;
  std::vector<std::string> gadget;  // options that change the device's identity
  aErr open;
  bool listed;
};

class DriverMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(DriverMatch, OpensOnlyTheFamilysModule) {
  const MatchCase& c = GetParam();
  ASSERT_EQ(Bus::get().use(Speed::High, c.gadget), "");
  // A context from before this gadget came would not see it.
  ASSERT_EQ(Jorvanite_libusb_exit(), aErrNone);
  Driver d;
  ASSERT_NE(d.dev, nullptr);
  EXPECT_EQ(d.open(), c.open);
  EXPECT_EQ(jvusb_get_state(d.dev), c.open == aErrNone ? jvusbStateReady
                                    : c.open == aErrConfiguration ? jvusbStateClosed
                                                                  : jvusbStateCreated);
  jvusb_destroy(&d.dev);
  auto found = enumerate();
  if (c.listed) {
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serial, 0x0012ABCDu);
  } else {
    EXPECT_TRUE(found.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identity, DriverMatch,
    ::testing::Values(
        MatchCase{"the module", {}, aErrNone, true},
        MatchCase{"product id 0x7FFF", {"--product-id", "0x7fff"}, aErrNone, true},
        MatchCase{"product id 0x8001", {"--product-id", "0x8001"}, aErrNotFound, false},
        MatchCase{"another vendor", {"--vendor-id", "0x1234"}, aErrNotFound, false},
        MatchCase{"lower-case serial string", {"--serial", "0012abcd"}, aErrNotFound, false},
        MatchCase{"other interface class", {"--subclass", "0x00"}, aErrConfiguration, true}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

class DriverOnBus : public ::testing::TestWithParam<SpeedCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(Bus::get().use(GetParam().speed), "");
    ASSERT_EQ(openWithin(driver, milliseconds(10000)), aErrNone) << Bus::get().eventLog();
    Bus::get().newTransfers();
  }
  Driver driver;
};

// Writes go in packets of at most max packet size, and a 512-byte packet
// goes as 511 so that the device is never left waiting for a short one.
TEST_P(DriverOnBus, WritesInPacketsTheDeviceSeesAndEchoesBack) {
  const size_t mp = GetParam().maxPacket;
  const size_t sizes[] = {1, 30, 64, 512, 1024, 1500};
  unsigned seed = 200;
  for (size_t n : sizes) {
    SCOPED_TRACE(n);
    auto data = pattern(n, ++seed);
    ASSERT_EQ(jvusb_write_to_device(driver.dev, data.data(), data.size()), aErrNone);
    EXPECT_EQ(driver.read(n), data);
    EXPECT_EQ(Bus::get().newOutPackets(), outPackets(driverChunks(n, mp), mp));
  }
}

TEST_P(DriverOnBus, ReadWithNothingSentIsNotReady) {
  uint8_t b = 0;
  EXPECT_EQ(jvusb_get_from_device(driver.dev, &b), aErrNotReady);
  EXPECT_EQ(jvusb_get_state(driver.dev), jvusbStateReady);
}

TEST_P(DriverOnBus, StalledEndpointsAreClearedAndTrafficGoesOn) {
  size_t mark = Bus::get().eventMark();
  Bus::get().command("halt in");
  ASSERT_TRUE(Bus::get().waitEvent("halt in", mark, milliseconds(3000)));
  uint8_t b = 0;
  EXPECT_EQ(jvusb_get_from_device(driver.dev, &b), aErrNotReady);

  mark = Bus::get().eventMark();
  Bus::get().command("halt out");
  ASSERT_TRUE(Bus::get().waitEvent("halt out", mark, milliseconds(3000)));
  // The write meets the stall, clears it and sends again.
  auto data = pattern(30, 5);
  ASSERT_EQ(jvusb_write_to_device(driver.dev, data.data(), data.size()), aErrNone);
  EXPECT_EQ(driver.read(data.size()), data);
  EXPECT_EQ(jvusb_get_state(driver.dev), jvusbStateReady);
}

// Four consecutive input/output errors are absorbed, the fifth fails the
// device; once it is back, a fresh context finds it again.
TEST_P(DriverOnBus, DeviceLeavingFailsTheRecordAfterTheToleratedErrors) {
  size_t mark = Bus::get().eventMark();
  Bus::get().command("leave");
  ASSERT_TRUE(Bus::get().waitEvent("detach", mark, milliseconds(3000)));
  std::vector<aErr> results;
  for (int i = 0; i < 6; ++i) {
    uint8_t b = 0;
    results.push_back(jvusb_get_from_device(driver.dev, &b));
  }
  EXPECT_EQ(results, (std::vector<aErr>{aErrNotReady, aErrNotReady, aErrNotReady, aErrNotReady,
                                        aErrIO, aErrIO}));
  EXPECT_EQ(jvusb_get_state(driver.dev), jvusbStateFailed);
  uint8_t one = 1;
  EXPECT_EQ(jvusb_write_to_device(driver.dev, &one, 1), aErrIO);

  Bus::get().command("return");
  ASSERT_TRUE(Bus::get().waitEvent("enable", mark, milliseconds(10000)));
  jvusb_destroy(&driver.dev);
  ASSERT_EQ(Jorvanite_libusb_exit(), aErrNone);
  driver.dev = jvusb_create_usb(jvusbModeLibusb);
  ASSERT_EQ(openWithin(driver, milliseconds(10000)), aErrNone);
  auto data = pattern(30, 9);
  ASSERT_EQ(jvusb_write_to_device(driver.dev, data.data(), data.size()), aErrNone);
  EXPECT_EQ(driver.read(data.size()), data);
}

// The simulated module behind the gadget's relay: the driver talks to the
// module's link layer over the bus, and the module dropping its connection
// (as it does when it restarts) takes the device away until it is back.
class SimulatedModule : public ::testing::Test {
 protected:
  static constexpr const char* kSimAddress = "127.0.0.1:9120";

  void SetUp() override {
    if (!onPath("sim")) GTEST_SKIP() << "the simulated module (sim) is not in this guest";
    ASSERT_TRUE(sim.start({"sim", "--tcp", kSimAddress, "--serial", kSerial, "--quiet", "--drop-after", "3"},
                          "/tmp/sim.log"));
    ASSERT_EQ(Bus::get().use(Speed::High, {"--connect", kSimAddress, "--gap-ms", "300"}), "");
    ASSERT_EQ(Jorvanite_libusb_exit(), aErrNone);
    ASSERT_EQ(openWithin(driver, milliseconds(10000)), aErrNone) << Bus::get().eventLog();
  }
  void TearDown() override {
    jvusb_destroy(&driver.dev);
    // The next test starts its own module and gadget.
    Bus::get().use(Speed::High);
    sim.stop();
  }

  // Sends one link packet and returns what comes back in `n` bytes.
  std::vector<uint8_t> exchange(const std::vector<uint8_t>& packet, size_t n) {
    if (jvusb_write_to_device(driver.dev, packet.data(), packet.size()) != aErrNone) return {};
    return driver.read(n);
  }

  Child sim;
  Driver driver;
};

TEST_F(SimulatedModule, AnswersSyncQueryAndEchoOverTheBus) {
  // An address query is answered by an empty packet from the module's address.
  EXPECT_EQ(exchange({0xAD, 0x00}, 2), (std::vector<uint8_t>{0x04, 0x00}));
  const std::vector<uint8_t> echo = {0x04, 0x04, 0x17, 0xA5, 0x5A, 0x00};
  EXPECT_EQ(exchange(echo, echo.size()), echo);
}

TEST_F(SimulatedModule, RestartTakesTheDeviceAwayAndBringsItBack) {
  size_t mark = Bus::get().eventMark();
  const std::vector<uint8_t> echo = {0x04, 0x02, 0x17, 0x01};
  for (int i = 0; i < 2; ++i) EXPECT_EQ(exchange(echo, echo.size()), echo);
  // The third packet makes the module drop its host connection.
  ASSERT_EQ(jvusb_write_to_device(driver.dev, echo.data(), echo.size()), aErrNone);
  ASSERT_TRUE(Bus::get().waitEvent("detach", mark, milliseconds(5000))) << Bus::get().eventLog();
  ASSERT_TRUE(Bus::get().waitEvent("enable", mark, milliseconds(10000))) << Bus::get().eventLog();
  jvusb_destroy(&driver.dev);
  ASSERT_EQ(Jorvanite_libusb_exit(), aErrNone);
  driver.dev = jvusb_create_usb(jvusbModeLibusb);
  ASSERT_EQ(openWithin(driver, milliseconds(10000)), aErrNone);
  EXPECT_EQ(exchange({0xAD, 0x00}, 2), (std::vector<uint8_t>{0x04, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(HighSpeed, DriverOnBus,
                         ::testing::Values(SpeedCase{Speed::High, 512, 3}),
                         [](const auto& info) { return speedName(info.param.speed); });
INSTANTIATE_TEST_SUITE_P(FullSpeed, DriverOnBus,
                         ::testing::Values(SpeedCase{Speed::Full, 64, 2}),
                         [](const auto& info) { return speedName(info.param.speed); });

}  // namespace
}  // namespace usbvm
