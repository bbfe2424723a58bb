// The updater never opens a link through the link-sharing server: every
// Link its flows ask to connect has sharing and fallback off at that moment.
// The flows run in process against a simulated router module (with one
// module behind it) on the simulated USB bus, and the Link connection calls
// are watched through the linker (LinkConnectSpy.h).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FlowsFixture.h"
#include "LinkConnectSpy.h"
#include "Updater.h"
#include "UsbSimBus.h"
#include "test_support.h"

namespace {

using namespace flows;

constexpr uint32_t kRouter = 0xD272031D;
constexpr uint32_t kSub = 0x2181F0EE;

struct FlowCase {
  const char* name;
  std::function<bool(Updater&)> run;
  const char* via;  // a connection call this flow must have made
};

void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

class NoSharing : public ::testing::TestWithParam<FlowCase> {
 protected:
  void SetUp() override {
    routerFirmware_.serial = kRouter;
    subFirmware_.serial = kSub;
    subFirmware_.build = 99528600;
    server_.setConfig(serverConfig({routerFirmware_, subFirmware_}));
    ASSERT_TRUE(server_.start());
    jvsim::SimConfig link;
    link.serial = kRouter;
    link.address = 2;
    router_.sim = jvsim::SimModule::overPipe(link);
    router_.install("Router", routerFirmware_.build);
    router_.addSub(0x0A, kSub, 0x13, subFirmware_.build);
    bus_.plug(hex8(kRouter), *router_.sim->pipeTransport());
    router_.sim->start();
    linkspy::clear();
  }
  void TearDown() override {
    if (router_.sim) router_.sim->stop();
    server_.stop();
  }

  UsbSimBus bus_;
  TempDir store_;
  Firmware routerFirmware_;
  Firmware subFirmware_;
  updatesim::UpdateServer server_;
  SimulatedModule router_;
  RecordingDisplay display_;
};

TEST_P(NoSharing, EveryConnectionHasSharingAndFallbackOff) {
  const FlowCase& c = GetParam();
  Updater updater(server_.url().c_str(), store_.path().c_str(), display_);
  ASSERT_TRUE(c.run(updater)) << router_.sim->transcript().text();

  const auto attempts = linkspy::attempts();
  bool via = false;
  for (const auto& a : attempts) {
    EXPECT_FALSE(a.config.enabled) << a.call << " with link sharing on";
    EXPECT_FALSE(a.config.fallback) << a.call << " with transport fallback on";
    via = via || a.call == c.via;
  }
  EXPECT_TRUE(via) << "no " << c.via << " among " << attempts.size() << " connection calls";
}

INSTANTIATE_TEST_SUITE_P(
    Usb, NoSharing,
    ::testing::Values(
        FlowCase{"DirectDiscovery",
                 [](Updater& u) {
                   const auto rows = u.Discover_Devices(LINK_USB);
                   return rows.size() == 1 && rows[0].error == 0;
                 },
                 "connect"},
        FlowCase{"RouterScan",
                 [](Updater& u) {
                   const auto rows = u.Discover_JVNetwork_Devices(kRouter, LINK_USB);
                   return rows.size() == 1 && rows[0].spec.serialNumber == kSub;
                 },
                 "connectThroughLinkModule"},
        FlowCase{"Update",
                 [](Updater& u) {
                   return u.Download_Firmware(kRouter, "", false, false) != 0 &&
                          u.Update_Firmware(kRouter, 0, "", 0, 0, false);
                 },
                 "discoverAndConnect"},
        FlowCase{"UpdateBehindTheRouter",
                 [](Updater& u) {
                   return u.Download_Firmware(kSub, "", false, false) != 0 &&
                          u.Update_Firmware(kSub, 0, "", 0, kRouter, false);
                 },
                 "connectThroughLinkModule"}),
    [](const ::testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });

}  // namespace
