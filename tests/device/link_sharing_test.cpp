// Link sharing as the object layer uses it by default: a USB module opened
// with the default configuration is served by a link-sharing server, which
// another Link finds by local multicast and a module behind the router
// reaches through the server's client link. Over a scripted USB bus. Run
// through scripts/netns: the discovery ports are fixed, so the search runs
// in a namespace pair of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "../link/link_fixture.h"
#include "Link.h"
#include "Module.h"
#include "SimCommands.h"
#include "SimRouter.h"
#include "SystemClass.h"
#include "aLinkTableInternal.h"
#include "aServer.h"

using namespace Tovanire::Jorvanite;

namespace {

using linktest::ipv4;

constexpr uint32_t kSerial = 0x00000066;
constexpr uint8_t kBehind = 0x0A;
constexpr uint32_t kBehindSerial = 0x00A0000A;

linkSpec usbSpec() {
  linkSpec spec{};
  spec.type = LINK_USB;
  spec.serialNumber = kSerial;
  return spec;
}

// The server that serves a client link made by aLink_CreateServer, or null.
aServer* serverOf(aLinkRef client) {
  linkItem* entry = aLink_LookupEntry(client);
  linkItem* usb = entry ? aLink_LookupEntry(entry->dependentRef) : nullptr;
  return usb ? usb->server : nullptr;
}

uint32_t serialOf(Module& module) {
  SystemClass sys;
  sys.init(&module, 0);
  uint32_t serial = 0;
  EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
  return serial;
}

// A router module on the scripted USB bus, with one module behind it.
class LinkSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jvsim::SimConfig identity;
    identity.serial = kSerial;
    sim_ = jvsim::SimModule::overPipe(identity);
    auto commands = jvsim::SimCommands::install(*sim_);
    jvsim::SimRouter::install(*sim_, commands)->addSubModule(kBehind, kBehindSerial);
    sim_->start();
    bridge_ = std::make_unique<linktest::UsbBridge>(script_, 0, sim_->pipeTransport()->pipe());
  }
  void TearDown() override {
    bridge_.reset();
    sim_.reset();
  }

  aUSBScript script_{{aUSBScriptDevice::Module("00000066")}};
  std::unique_ptr<jvsim::SimModule> sim_;
  std::unique_ptr<linktest::UsbBridge> bridge_;
};

TEST_F(LinkSharingTest, UsbLinkIsServedAndTheConfigurationTellsWhere) {
  struct Case {
    const char* name;
    uint32_t networkInterface;  // asked for; the default configuration's is 127.0.0.1
  } cases[] = {
      {"DefaultConfiguration", 0},
      {"LocalOnlyGivenAnotherInterface", ipv4("127.0.0.2")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Link link(usbSpec(), "Link");
    aLanicConfig config;
    ASSERT_TRUE(config.enabled && config.localOnly);
    ASSERT_EQ(config.networkInterface, ipv4("127.0.0.1"));
    if (c.networkInterface) {
      config.networkInterface = c.networkInterface;
      ASSERT_EQ(link.setConfig(config), aErrNone);
    }
    ASSERT_EQ(link.connect(), aErrNone) << sim_->transcript().text();
    // The Link holds a client link of the server that runs on the USB link.
    linkItem* entry = aLink_LookupEntry(link.getLinkRef());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->type, static_cast<uint32_t>(LINK_ALANIC));
    aServer* server = serverOf(link.getLinkRef());
    ASSERT_NE(server, nullptr);
    uint16_t port = 0;
    ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
    ASSERT_NE(port, 0);
    aLanicConfig now;
    ASSERT_EQ(link.getConfig(&now), aErrNone);
    EXPECT_EQ(now.port, port);
    EXPECT_EQ(now.networkInterface, ipv4("127.0.0.1"));
    // The module is reached only through its server.
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
    EXPECT_EQ(linktest::echo(link.getLinkRef(), {0x71}, 5000), (jvsim::Bytes{0x17, 0x71}));
  }
}

TEST_F(LinkSharingTest, SecondLinkFindsTheSharedModuleByMulticast) {
  if (const char* skip = std::getenv("JV_NETNS_SKIP")) GTEST_SKIP() << skip;
  if (!std::getenv("JV_NETNS_HOST_ADDR")) GTEST_SKIP() << "not run through scripts/netns";
  Link owner(usbSpec(), "Link");
  ASSERT_EQ(owner.connect(), aErrNone) << sim_->transcript().text();
  aLanicConfig served;
  ASSERT_EQ(owner.getConfig(&served), aErrNone);

  Module second(2, 0);
  ASSERT_EQ(second.discoverAndConnect(LINK_ALANIC, kSerial), aErrNone) << sim_->transcript().text();
  linkSpec found;
  ASSERT_EQ(second.getLinkSpecifier(&found), aErrNone);
  EXPECT_EQ(found.type, static_cast<uint32_t>(LINK_ALANIC));
  EXPECT_EQ(found.address, ipv4("127.0.0.1"));
  EXPECT_EQ(found.port, served.port);
  // A client link of its own to the same server.
  const aLinkRef client = second.getLink()->getLinkRef();
  ASSERT_NE(client, 0u);
  EXPECT_NE(client, owner.getLinkRef());
  EXPECT_EQ(aLink_LookupEntry(client)->type, static_cast<uint32_t>(LINK_ALANIC));
  EXPECT_EQ(second.getModuleAddress(), 4);
  EXPECT_EQ(serialOf(second), kSerial);
}

TEST_F(LinkSharingTest, ModuleBehindTheRouterSharesTheServersClientLink) {
  Module router(2, 0);
  ASSERT_EQ(router.connect(LINK_USB, kSerial), aErrNone) << sim_->transcript().text();
  ASSERT_NE(serverOf(router.getLink()->getLinkRef()), nullptr);
  SystemClass sys;
  sys.init(&router, 0);
  ASSERT_EQ(sys.routeToMe(1), aErrNone);

  Module behind(kBehind, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone) << sim_->transcript().text();
  EXPECT_EQ(behind.getLink()->getLinkRef(), router.getLink()->getLinkRef());
  EXPECT_EQ(serialOf(behind), kBehindSerial) << sim_->transcript().text();
  EXPECT_EQ(serialOf(router), kSerial);
}

}  // namespace
