// Module: connecting with automatic addressing, the echo test and the
// module-information queries against the simulated module.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <type_traits>

#include "Module.h"
#include "SystemClass.h"
#include "device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

static_assert(!std::is_copy_constructible_v<Module> && !std::is_copy_assignable_v<Module>);

class ModuleTest : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override { rig_ = makeRig(GetParam()); }
  std::unique_ptr<Rig> rig_;
};

TEST_P(ModuleTest, AutomaticAddressingAdoptsTheModulesAddress) {
  struct Case {
    const char* name;
    bool networking;
    uint8_t expected;
  } cases[] = {{"On", true, 4}, {"Off", false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Module module(2, c.networking, 0);
    ASSERT_EQ(module.connectFromSpec(rig_->spec), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), c.expected);
    EXPECT_EQ(module.connectFromSpec(rig_->spec), aErrBusy);
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    module.setModuleAddress(2);
    ASSERT_EQ(module.reconnect(), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), c.expected);
  }
}

TEST_P(ModuleTest, SilentModuleConnectsButReportsNotReady) {
  rig_->sim->faults().silent = true;
  Module module(2, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module.connectFromSpec(rig_->spec), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 3900ms);  // four waits of 1000 ms
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 2);
}

TEST_P(ModuleTest, ConnectNeedsASerialNumber) {
  Module module(4, 0);
  EXPECT_EQ(module.connect(LINK_TCPIP, 0), aErrParam);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), 8u);
}

TEST_P(ModuleTest, EchoTest) {
  Module module(4, false, 0);
  const uint8_t data[28] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
  EXPECT_EQ(module.debug(data, 3), aErrConnection);
  ASSERT_EQ(module.connectFromSpec(rig_->spec), aErrNone);
  EXPECT_EQ(module.debug(data, 28), aErrParam);
  EXPECT_EQ(module.debug(data, 27), aErrNone);
  EXPECT_EQ(rig_->requests(4, Bytes{0x17, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                    22, 23, 24, 25, 26, 27}),
            1u);
  EXPECT_EQ(module.debug(nullptr, 0), aErrNone);

  // An echo one byte longer, and one with a byte changed.
  rig_->cmds->faults().command = 0x17;
  rig_->cmds->faults().wrongLength = 1;
  EXPECT_EQ(module.debug(data, 3), aErrIO);
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data.size() == 4 && p.data[0] == 0x17) {
      m.send({p.address, {0x17, p.data[1], static_cast<uint8_t>(p.data[2] ^ 0xFF), p.data[3]}});
      return true;
    }
    return false;
  });
  EXPECT_EQ(module.debug(data, 3), aErrIO);
  rig_->sim->faults().silent = true;
  EXPECT_EQ(module.debug(data, 2), aErrTimeout);
}

TEST_P(ModuleTest, ModuleInformation) {
  Module module(4, false, 0);
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  ASSERT_EQ(module.connectFromSpec(rig_->spec), aErrNone);
  rig_->cmds->setValue(0x03, 0, jvsim::kOptBuild, 100000);

  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  ASSERT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 100000u);
  EXPECT_EQ(rig_->requests(4, {0x49, 0xFF}), 1u);
  EXPECT_EQ(rig_->replies(4, {0x49, 0xFF, 0x00, 0x01, 0x86, 0xA0}), 1u);

  struct HasCase {
    uint8_t command, option, index, flags;
    aErr expected;
  } has[] = {
      {0x03, jvsim::kOptModel, 0, 0x40, aErrNone},
      {0x03, jvsim::kOptModel, 0, 0xC0, aErrParam},
      {0x03, jvsim::kOptModel, 0, 0x01, aErrParam},
  };
  for (const HasCase& c : has) {
    SCOPED_TRACE(static_cast<int>(c.flags));
    EXPECT_EQ(module.hasUEI(c.command, c.option, c.index, c.flags), c.expected);
  }
  EXPECT_NE(module.hasUEI(0x03, jvsim::kOptModel, 0, 0x80), aErrNone);  // model cannot be set
  EXPECT_EQ(rig_->requests(4, {0x49, 0x01, 0x03, 0x08, 0x00, 0x40}), 1u);

  uint8_t quantity = 9;
  EXPECT_EQ(module.classQuantity(0x03, &quantity), aErrNone);
  EXPECT_EQ(quantity, 1);
  EXPECT_EQ(module.subClassQuantity(0x03, 0, &quantity), aErrNone);
  uint8_t group = 9;
  EXPECT_EQ(module.entityGroup(0x03, 0, &group), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x49, 0x04, 0x03}), 1u);
  EXPECT_EQ(rig_->requests(4, {0x49, 0x05, 0x03, 0x00}), 1u);
  EXPECT_EQ(rig_->requests(4, {0x49, 0x06, 0x03, 0x00}), 1u);
}

TEST_P(ModuleTest, ModuleInformationMalformedReplies) {
  Module module(4, false, 0);
  ASSERT_EQ(module.connectFromSpec(rig_->spec), aErrNone);
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data.empty() || p.data[0] != 0x49) return false;
    if (p.data[1] == 0xFF) m.send({p.address, {0x49, 0xFF, 0x00, 0x01, 0x86}});      // one byte short
    if (p.data[1] == 0x04) m.send({p.address, {0x49, 0x04, static_cast<uint8_t>(p.data[2] + 1), 7}});  // wrong echo
    if (p.data[1] == 0x06) m.send({p.address, {0x49, 0x06, p.data[2], p.data[3], 1, 1}});  // too long
    return true;
  });
  uint32_t build = 5;
  EXPECT_EQ(module.getBuild(&build), aErrSize);
  EXPECT_EQ(build, 5u);
  uint8_t value = 9;
  EXPECT_EQ(module.classQuantity(0x03, &value), aErrUnknown);
  EXPECT_EQ(value, 0);
  value = 9;
  EXPECT_EQ(module.entityGroup(0x03, 0, &value), aErrUnknown);
  EXPECT_EQ(value, 0);

  rig_->hook->set(nullptr);
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 61000u);
}

TEST_P(ModuleTest, SystemIdentity) {
  Module module(2, 0);
  ASSERT_EQ(module.connectFromSpec(rig_->spec), aErrNone);
  SystemClass sys;
  sys.init(&module, 0);
  uint8_t address = 0;
  uint32_t build = 0;
  EXPECT_EQ(sys.getModule(&address), aErrNone);
  EXPECT_EQ(address, module.getModuleAddress());
  EXPECT_EQ(sys.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 61000u);
  uint32_t features = 0;
  EXPECT_EQ(sys.getProtocolFeatures(&features), aErrNone);
  EXPECT_EQ(features & 0x80000000u, 0x80000000u);
}

INSTANTIATE_TEST_SUITE_P(Via, ModuleTest, ::testing::Values(Via::Tcp, Via::Pty),
                         [](const auto& info) { return std::string(viaName(info.param)); });

}  // namespace
