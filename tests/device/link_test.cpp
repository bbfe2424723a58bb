// Link: configuration and specifier rules, connecting over TCP and a
// pseudo-terminal, refusals, reset, the module address query, and sharing
// a router's link.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "Link.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

static_assert(!std::is_copy_constructible_v<Link> && !std::is_copy_assignable_v<Link>);

TEST(LinkConfig, DefaultsAndName) {
  aLanicConfig config;
  EXPECT_TRUE(config.enabled);
  EXPECT_TRUE(config.fallback);
  EXPECT_TRUE(config.localOnly);
  EXPECT_EQ(config.port, 0);
  const uint8_t* iface = reinterpret_cast<const uint8_t*>(&config.networkInterface);
  EXPECT_EQ(Bytes(iface, iface + 4), (Bytes{127, 0, 0, 1}));

  const std::string longName(2000, 'n');
  Link named(longName.c_str());
  EXPECT_EQ(std::string(named.getName()), std::string(1024, 'n'));
  Link unnamed(nullptr);
  EXPECT_EQ(unnamed.getName(), nullptr);
  EXPECT_EQ(unnamed.getStatus(), 8u);
  EXPECT_FALSE(unnamed.isConnected());
  linkSpec spec;
  EXPECT_EQ(unnamed.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(unnamed.getConfig(nullptr), aErrParam);
}

TEST(LinkConnect, RefusedBeforeAnythingIsOpened) {
  struct Case {
    const char* name;
    bool withSpec;
    linkType type;
    bool sharing;
    aErr expected;
  } cases[] = {
      {"NoSpecifier", false, LINK_TCPIP, true, aErrConfiguration},
      {"ClientWithSharingOff", true, LINK_ALANIC, false, aErrConfiguration},
      {"UnknownType", true, static_cast<linkType>(9), true, aErrMode},
      {"TcpNobodyListening", true, LINK_TCPIP, true, aErrConnection},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Link link("Link");
    aLanicConfig config;
    config.enabled = c.sharing;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    if (c.withSpec) {
      linkSpec spec{};
      spec.type = c.type;
      spec.address = ipv4("127.0.0.9");
      spec.port = 1;  // nothing listens there
      ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    }
    EXPECT_EQ(link.connect(), c.expected);
    EXPECT_EQ(link.getLinkRef(), 0u);
  }
}

TEST(LinkConnect, SerialDeviceNameIsBoundedByItsField) {
  linkSpec spec{};
  spec.type = LINK_SERIAL;
  spec.address = 115200;
  std::memset(spec.portName, 'x', sizeof spec.portName);  // no terminator in the field
  Link link(spec, "Link");
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.getLinkRef(), 0u);
}

class LinkTest : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override { rig_ = makeRig(GetParam()); }
  std::unique_ptr<Rig> rig_;
};

TEST_P(LinkTest, ConnectTwiceKeepsTheFirstLink) {
  Link link(rig_->spec, "Link");
  ASSERT_EQ(link.connect(), aErrNone);
  const aLinkRef first = link.getLinkRef();
  EXPECT_NE(first, 0u);
  EXPECT_EQ(link.getStatus(), static_cast<uint32_t>(linkStateRunning));
  EXPECT_EQ(link.connect(), aErrConnection);
  EXPECT_EQ(link.getLinkRef(), first);
  EXPECT_TRUE(link.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 4);
}

TEST_P(LinkTest, ConfigAndSpecifierFixedWhileConnected) {
  Link link(rig_->spec, "Link");
  ASSERT_EQ(link.connect(), aErrNone);
  aLanicConfig changed;
  changed.fallback = false;
  linkSpec other = rig_->spec;
  other.serialNumber = 77;
  EXPECT_EQ(link.setConfig(changed), aErrMode);
  EXPECT_EQ(link.setLinkSpecifier(other), aErrBusy);
  aLanicConfig now;
  linkSpec kept;
  ASSERT_EQ(link.getConfig(&now), aErrNone);
  ASSERT_EQ(link.getLinkSpecifier(&kept), aErrNone);
  EXPECT_TRUE(now.fallback);
  EXPECT_EQ(kept.serialNumber, rig_->spec.serialNumber);

  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.getLinkRef(), 0u);
  EXPECT_EQ(link.setConfig(changed), aErrNone);
  EXPECT_EQ(link.setLinkSpecifier(other), aErrNone);
  ASSERT_EQ(link.getLinkSpecifier(&kept), aErrNone);
  EXPECT_EQ(kept.serialNumber, 77u);
}

TEST_P(LinkTest, ModuleAddressQuery) {
  Link link(rig_->spec, "Link");
  uint8_t address = 9;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  ASSERT_EQ(link.connect(), aErrNone);
  rig_->sim->faults().silent = true;
  address = 9;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  rig_->sim->faults().silent = false;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 4);
}

// A link that fell back to its handshake with a module that never answers
// it: a connect that shares the id waits about 2 s for the link to run, then
// gives up holding its use of the id, which the caller gives back.
TEST_P(LinkTest, ConnectToALinkStuckSyncingGivesUpAndKeepsTheId) {
  Link running(rig_->spec, "Link");
  ASSERT_EQ(running.connect(), aErrNone);
  ASSERT_TRUE(rig_->hostAccepted());
  const Bytes syncQuery = Rig::wire(kSyncQueryAddress, {});
  const size_t queries = rig_->sim->transcript().count(Dir::In, syncQuery);
  rig_->sim->faults().silent = true;  // no handshake is ever answered
  rig_->sim->sendRaw({0x03});         // no packet starts with an odd address: the link resynchronises
  ASSERT_TRUE(rig_->sim->transcript().waitFor(Dir::In, syncQuery, queries + 1, 3s));
  ASSERT_EQ(running.getStatus(), static_cast<uint32_t>(linkStateSyncing));

  Link stuck(rig_->spec, "Link");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stuck.connect(), aErrConnection);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(stuck.getLinkRef(), running.getLinkRef());
  EXPECT_EQ(stuck.getStatus(), static_cast<uint32_t>(linkStateSyncing));
  EXPECT_FALSE(stuck.isConnected());
  EXPECT_EQ(stuck.connect(), aErrConnection);  // held: refused until disconnected
  EXPECT_EQ(stuck.getLinkRef(), running.getLinkRef());
  EXPECT_EQ(stuck.disconnect(), aErrNone);
  EXPECT_EQ(stuck.getLinkRef(), 0u);
  EXPECT_NE(aLink_LookupEntry(running.getLinkRef()), nullptr);  // the other use stays
}

TEST_P(LinkTest, ResetReportsTheLinkTablesResult) {
  Link link(rig_->spec, "Link");
  EXPECT_EQ(link.reset(), aErrConnection);  // nothing held
  ASSERT_EQ(link.connect(), aErrNone);
  const aLinkRef ref = link.getLinkRef();
  if (GetParam() == Via::Tcp) {
    EXPECT_EQ(link.reset(), aErrNone);
    EXPECT_EQ(link.getLinkRef(), ref);
    EXPECT_EQ(link.waitForLink(200), aErrNone);
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
  } else {
    // A serial link's stream cannot be remade in place.
    EXPECT_NE(link.reset(), aErrNone);
    EXPECT_EQ(link.getLinkRef(), ref);
    EXPECT_FALSE(link.isConnected());
  }
}

TEST_P(LinkTest, ExchangeRefusals) {
  Link link(rig_->spec, "Link");
  const uint8_t data[28] = {};
  uint8_t out[28];
  uint8_t length = 1;
  uei request{};
  request.address = 4;
  EXPECT_EQ(link.sendPacket(4, 0x17, 1, data), aErrConnection);
  EXPECT_EQ(link.sendUEI(request), aErrConnection);
  EXPECT_EQ(link.receivePacket(4, data, &length, out), aErrConnection);
  ASSERT_EQ(link.connect(), aErrNone);
  EXPECT_EQ(link.sendPacket(4, 0x17, 28, data), aErrParam);
  EXPECT_EQ(link.sendPacket(0, 0x17, 1, data), aErrPacket);
  EXPECT_EQ(link.sendPacket(3, 0x17, 1, data), aErrPacket);
  request.type = 3;  // no such value type
  EXPECT_EQ(link.sendUEI(request), aErrParam);
  request.address = 0;
  request.type = ueiTypeByte;
  EXPECT_EQ(link.sendUEI(request), aErrPacket);
  EXPECT_EQ(link.receiveUEI(4, 3, 7, 0, nullptr), aErrParam);

  // The raw exchange: the reply is taken by its prefix.
  EXPECT_EQ(link.sendPacket(4, 0x17, 2, data), aErrNone);
  const uint8_t prefix = 0x17;
  length = 1;
  ASSERT_EQ(link.receivePacket(4, &prefix, &length, out), aErrNone);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(rig_->requests(4, {0x17, 0, 0}), 1u);
  length = 1;
  EXPECT_EQ(link.receivePacket(4, &prefix, &length, out), aErrTimeout);
}

TEST_P(LinkTest, LargeBlockAcknowledgementWaitsLonger) {
  Link link(rig_->spec, "Link");
  ASSERT_EQ(link.connect(), aErrNone);
  struct Case {
    uint64_t count;
    std::chrono::milliseconds atLeast, below;
  } cases[] = {{1000, 900ms, 3000ms}, {1001, 3900ms, 6000ms}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    uei reply{};
    reply.type = ueiTypeBytes;
    reply.count = c.count;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.receiveUEI(4, 3, 0xE0, 0, &reply), aErrTimeout);  // nothing was asked
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
}

TEST_P(LinkTest, ConnectThroughLinkModuleSharesTheRoutersId) {
  Link router(rig_->spec, "Link");
  Link behind(rig_->spec, "Link");
  EXPECT_EQ(behind.connectThroughLinkModule(router), aErrInitialization);  // router holds nothing
  ASSERT_EQ(router.connect(), aErrNone);
  ASSERT_EQ(behind.connectThroughLinkModule(router), aErrNone);
  EXPECT_EQ(behind.getLinkRef(), router.getLinkRef());

  // A Link that already holds an id keeps it and takes no second use.
  EXPECT_EQ(behind.connectThroughLinkModule(router), aErrConnection);
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_TRUE(router.isConnected());
  uint8_t address = 0;
  EXPECT_EQ(router.getModuleAddress(&address), aErrNone);
  EXPECT_EQ(router.disconnect(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(behind.getLinkRef()), static_cast<uint32_t>(linkStateNoStream));
}

TEST_P(LinkTest, DestroyGivesTheUseBack) {
  aLinkRef ref = 0;
  {
    Link link(rig_->spec, "Link");
    ASSERT_EQ(link.connect(), aErrNone);
    ref = link.getLinkRef();
  }
  EXPECT_EQ(aLink_LookupEntry(ref), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Via, LinkTest, ::testing::Values(Via::Tcp, Via::Pty),
                         [](const auto& info) { return std::string(viaName(info.param)); });

}  // namespace
