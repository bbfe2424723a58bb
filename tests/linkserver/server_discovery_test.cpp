// A shared USB link is found by the network-link discovery: a local-only
// server answers the multicast search on 127.0.0.1, a server on the network
// answers the beacon search on the interface it chose. Runs in a network
// namespace of its own (scripts/netns), so the fixed discovery ports are
// its alone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "SimCommands.h"
#include "SimModule.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aServer.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

std::string nodeFormat() {
  return (std::filesystem::temp_directory_path() / ("jvsrvdisc-" + std::to_string(getpid()) + "-%08X")).string();
}

bool collect(const linkSpec* spec, bool* success, void* ref) {
  static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
  *success = true;
  return true;
}

class ServerDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* skip = std::getenv("JV_NETNS_SKIP")) GTEST_SKIP() << skip;
    if (!std::getenv("JV_NETNS_HOST_ADDR")) GTEST_SKIP() << "not run through scripts/netns";
    ASSERT_EQ(jvusb_set_node_path_format(nodeFormat().c_str()), aErrNone);
    char path[512];
    std::snprintf(path, sizeof path, nodeFormat().c_str(), kSerial);
    sim_ = jvsim::SimModule::overPty(path);
    jvsim::SimCommands::install(*sim_);
    sim_->start();
  }
  void TearDown() override {
    if (client_) aLink_Destroy(&client_);
    sim_.reset();
    jvusb_set_node_path_format(nullptr);
  }
  std::vector<linkSpec> search(uint32_t networkInterface) {
    std::vector<linkSpec> found;
    aDiscovery_EnumerateModules(LINK_ALANIC, collect, &found, networkInterface);
    return found;
  }

  std::unique_ptr<jvsim::SimModule> sim_;
  aLinkRef client_ = 0;
};

TEST_F(ServerDiscoveryTest, LocalOnlyServerAnswersTheMulticastSearch) {
  uint16_t port = 0;
  uint32_t iface = ipv4("127.0.0.1");
  client_ = aLink_CreateServer(kSerial, &port, &iface, true);
  ASSERT_NE(client_, 0u) << sim_->transcript().text();
  std::vector<linkSpec> found = search(ipv4("127.0.0.1"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].type, static_cast<uint32_t>(LINK_ALANIC));
  EXPECT_EQ(found[0].serialNumber, kSerial);
  EXPECT_EQ(found[0].model, 0x13u);
  EXPECT_EQ(found[0].address, ipv4("127.0.0.1"));
  EXPECT_EQ(found[0].port, port);
  // What discovery names is a working client link.
  aLinkRef other = aLink_CreateClient(found[0].address, static_cast<uint16_t>(found[0].port), 0);
  ASSERT_NE(other, 0u);
  const uint8_t echo[] = {0x17, 0x3C};
  aPacket* p = aPacket_CreateWithData(4, sizeof echo, echo);
  ASSERT_EQ(aLink_PutPacket(other, p), aErrNone);
  aPacket_Destroy(&p);
  aPacket* reply = aLink_AwaitPacket(other, 3000);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->length, 2);
  EXPECT_EQ(reply->data[1], 0x3C);
  aPacket_Destroy(&reply);
  aLink_Destroy(&other);
}

TEST_F(ServerDiscoveryTest, NetworkServerTakesTheFirstInterfaceAndAnswersTheBeacon) {
  const uint32_t host = ipv4(std::getenv("JV_NETNS_HOST_ADDR"));
  uint16_t port = 0;
  uint32_t iface = 0;
  client_ = aLink_CreateServer(kSerial, &port, &iface, false);
  ASSERT_NE(client_, 0u) << sim_->transcript().text();
  EXPECT_EQ(iface, host);
  std::vector<linkSpec> found = search(host);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].serialNumber, kSerial);
  EXPECT_EQ(found[0].address, host);
  EXPECT_EQ(found[0].port, port);
}

}  // namespace
