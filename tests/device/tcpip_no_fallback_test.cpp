// Over TCPIP a discovery that finds nothing never falls back to another
// transport, even with fallback on and a link-sharing server of that very
// module at hand, which a client search would find. Runs in a network
// namespace of its own (scripts/netns): the discovery ports are fixed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../link/link_fixture.h"
#include "Link.h"
#include "SimCommands.h"

using namespace Tovanire::Jorvanite;

namespace {

constexpr uint32_t kSerial = 0x00000055;

TEST(TcpipDiscovery, NeverTriesAnotherTransport) {
  if (const char* skip = std::getenv("JV_NETNS_SKIP")) GTEST_SKIP() << skip;
  if (!std::getenv("JV_NETNS_HOST_ADDR")) GTEST_SKIP() << "not run through scripts/netns";
  jvsim::SimConfig identity;
  identity.serial = kSerial;
  auto sim = jvsim::SimModule::overPipe(identity);
  jvsim::SimCommands::install(*sim);
  sim->start();
  aUSBScript script({aUSBScriptDevice::Module("00000055")});
  linktest::UsbBridge bridge(script, 0, sim->pipeTransport()->pipe());

  // The module's USB link, shared through a local server that a client search finds.
  linkSpec usb{};
  usb.type = LINK_USB;
  usb.serialNumber = kSerial;
  Link owner(usb, "Link");
  ASSERT_EQ(owner.connect(), aErrNone) << sim->transcript().text();
  {
    Link client("Link");
    ASSERT_EQ(client.discoverAndConnect(LINK_ALANIC, kSerial, 0), aErrNone) << "no server to fall back to";
  }

  Link link("Link");
  aLanicConfig config;
  ASSERT_TRUE(config.enabled && config.fallback);
  ASSERT_EQ(link.setConfig(config), aErrNone);
  EXPECT_EQ(link.discoverAndConnect(LINK_TCPIP, kSerial, 0), aErrNotFound);
  EXPECT_EQ(link.getLinkRef(), 0u);
  linkSpec stored;
  EXPECT_EQ(link.getLinkSpecifier(&stored), aErrNotFound);
}

}  // namespace
