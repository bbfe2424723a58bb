// aLink_CreateServer's own steps on a USB link (driver node) to the
// simulated module: a create whose server-details step fails leaves nothing
// behind, also when another user holds the plain USB link, and the
// interface it hands back is the one its server listens on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "../device/device_fixture.h"
#include "../link/link_fixture.h"
#include "SimCommands.h"
#include "aLinkInternal.h"
#include "aLinkTableInternal.h"
#include "aServer.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"

namespace {

using jvsim::Bytes;
using jvsim::SimModule;
using linktest::ipv4;

constexpr uint32_t kSerial = 0x0012ABCD;
const Bytes kModelQuery{0x03, 0x48, 0x20};  // system entity, model, get

std::string nodeFormat() {
  return (std::filesystem::temp_directory_path() / ("jvsrvcreate-" + std::to_string(getpid()) + "-%08X")).string();
}

class ServerCreateStepsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(jvusb_set_node_path_format(nodeFormat().c_str()), aErrNone);
    char path[512];
    std::snprintf(path, sizeof path, nodeFormat().c_str(), kSerial);
    sim_ = SimModule::overPty(path);
    sim_->addHandler(hook_);  // ahead of the command layer
    jvsim::SimCommands::install(*sim_);
    sim_->start();
  }
  void TearDown() override {
    sim_.reset();
    jvusb_set_node_path_format(nullptr);
  }
  // The module reads the model query and never answers it.
  void swallowModelQuery(bool on) {
    hook_->set(on ? devicetest::Interposer::Hook([](SimModule&, const jvsim::Packet& p) { return p.data == kModelQuery; })
                  : devicetest::Interposer::Hook());
  }
  // The id the next entry made will get: ids grow by one per entry.
  static aLinkRef nextId() {
    aLinkRef probe = aLink_CreateClient(ipv4("127.0.0.1"), 1, 0);
    const aLinkRef next = probe + 1;
    aLink_Destroy(&probe);
    return next;
  }

  std::unique_ptr<SimModule> sim_;
  std::shared_ptr<devicetest::Interposer> hook_ = std::make_shared<devicetest::Interposer>();
};

enum class Fault { Silent, NoModel };
struct DetailsCase {
  const char* name;
  bool plainHolder;  // another user holds the plain USB link throughout
  Fault fault;
};

void PrintTo(const DetailsCase& c, std::ostream* os) { *os << c.name; }

class FailedServerDetails : public ServerCreateStepsTest, public ::testing::WithParamInterface<DetailsCase> {};

TEST_P(FailedServerDetails, LeaveNothingBehind) {
  const DetailsCase& c = GetParam();
  aLinkRef plain = 0;
  if (c.plainHolder) {
    plain = aLink_CreateUSB(kSerial);
    ASSERT_NE(plain, 0u) << sim_->transcript().text();
  }
  if (c.fault == Fault::Silent) sim_->faults().silent = true;
  if (c.fault == Fault::NoModel) swallowModelQuery(true);

  const aLinkRef firstMade = nextId();
  uint16_t port = 0;
  uint32_t iface = ipv4("127.0.0.1");
  EXPECT_EQ(aLink_CreateServer(kSerial, &port, &iface, true), 0u);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(iface, ipv4("127.0.0.1"));
  // Every entry the create made is gone: its client link, and its USB link
  // unless another user holds that.
  const aLinkRef after = nextId();
  for (aLinkRef id = firstMade; id + 1 < after; ++id) EXPECT_EQ(aLink_LookupEntry(id), nullptr) << id;
  sim_->faults().silent = false;
  swallowModelQuery(false);

  if (c.plainHolder) {
    // The holder's link runs on, unshared: no server in it, its filter slot
    // free, and the next plain open shares it again.
    linkItem* entry = aLink_LookupEntry(plain);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->server, nullptr);
    EXPECT_EQ(entry->userCount, 1);
    EXPECT_EQ(entry->link->userFilter, nullptr);
    aLinkRef again = aLink_CreateUSB(kSerial);
    EXPECT_EQ(again, plain);
    aLink_Destroy(&again);
    EXPECT_EQ(linktest::echo(plain, {0x51}, 5000), (Bytes{0x17, 0x51}));
    aLink_Destroy(&plain);
    ASSERT_TRUE(sim_->transcript().waitFor(jvsim::Dir::In, {0xAF, 0x01, 0x00}, 1, std::chrono::seconds(2)));
  }
  // Nothing of the failed create stands in the way of a new server.
  aLinkRef client = aLink_CreateServer(kSerial, &port, &iface, true);
  ASSERT_NE(client, 0u) << sim_->transcript().text();
  EXPECT_EQ(linktest::echo(client, {0x52}, 5000), (Bytes{0x17, 0x52}));
  aLink_Destroy(&client);
}

INSTANTIATE_TEST_SUITE_P(ServerCreate, FailedServerDetails,
                         ::testing::Values(DetailsCase{"AddressUnansweredWhileHeld", true, Fault::Silent},
                                           DetailsCase{"ModelUnansweredWhileHeld", true, Fault::NoModel},
                                           DetailsCase{"ModelUnansweredAlone", false, Fault::NoModel}),
                         [](const ::testing::TestParamInfo<DetailsCase>& info) { return info.param.name; });

// A local-only server listens on loopback whatever interface it is given;
// the create connects its own client, and the caller's, where it listens.
TEST_F(ServerCreateStepsTest, LocalOnlyServerReportsLoopback) {
  for (const char* given : {"0.0.0.0", "127.0.0.1", "127.0.0.2", "192.0.2.1"}) {
    SCOPED_TRACE(given);
    uint16_t port = 0;
    uint32_t iface = ipv4(given);
    aLinkRef client = aLink_CreateServer(kSerial, &port, &iface, true);
    ASSERT_NE(client, 0u) << sim_->transcript().text();
    EXPECT_EQ(iface, ipv4("127.0.0.1"));
    EXPECT_NE(port, 0);
    aLinkRef other = aLink_CreateClient(iface, port, 0);
    ASSERT_NE(other, 0u);
    EXPECT_EQ(linktest::echo(other, {0x61}, 5000), (Bytes{0x17, 0x61}));
    aLink_Destroy(&other);
    aLink_Destroy(&client);
  }
}

}  // namespace
