// The I2C entity, and modules reached through a router that shares its link.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

class I2CTest : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override {
    rig_ = makeRig(GetParam());
    Bytes memory(256);
    for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<uint8_t>(0xA0 ^ i);
    rig_->cmds->addI2CDevice(0x50, memory);
    ASSERT_EQ(module_.connectFromSpec(rig_->spec), aErrNone);
    i2c_.init(&module_, 0);
  }
  std::unique_ptr<Rig> rig_;
  Module module_{4, false, 0};
  I2CClass i2c_;
};

TEST_P(I2CTest, WritesAndReads) {
  ASSERT_EQ(i2c_.setSpeed(2), aErrNone);
  const uint8_t pointer[] = {0x10};
  const uint8_t write[] = {0x10, 0x11, 0x22};
  EXPECT_EQ(i2c_.write(0x50, sizeof write, write), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x08, 0x00, 0x50, 0x03, 0x02, 0x10, 0x11, 0x22}), 1u);
  EXPECT_EQ(rig_->replies(4, {0x08, 0x00, 0x50, 0x00, 0x00}), 1u);
  EXPECT_EQ(rig_->cmds->i2cMemory(0x50)[0x10], 0x11);

  EXPECT_EQ(i2c_.write(0x50, sizeof pointer, pointer), aErrNone);
  uint8_t buffer[23];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(i2c_.read(0x50, 2, buffer), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x08, 0x00, 0x51, 0x02, 0x02}), 1u);
  EXPECT_EQ(buffer[0], 0x11);
  EXPECT_EQ(buffer[1], 0x22);
  EXPECT_EQ(buffer[2], 0xEE);

  ASSERT_EQ(i2c_.setSpeed(0), aErrNone);
  EXPECT_EQ(i2c_.read(0x50, 23, buffer), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x08, 0x00, 0x51, 23, 0x00}), 1u);

  EXPECT_EQ(i2c_.setPullup(true), aErrNone);
  EXPECT_TRUE(rig_->cmds->pullup());
}

TEST_P(I2CTest, Refusals) {
  uint8_t buffer[24] = {};
  struct Case {
    const char* name;
    std::function<aErr()> run;
    aErr expected;
  } cases[] = {
      {"Read24", [&] { return i2c_.read(0x50, 24, buffer); }, aErrSize},
      {"Write24", [&] { return i2c_.write(0x50, 24, buffer); }, aErrSize},
      {"AbsentDevice", [&] { return i2c_.read(0x52, 1, buffer); }, aErrIO},  // status 0x86
      {"AbsentDeviceWrite", [&] { return i2c_.write(0x52, 1, buffer); }, aErrIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.run(), c.expected);
  }
  EXPECT_EQ(rig_->requests(4, {0x08, 0x00, 0x51, 24, 0x00}), 0u);  // nothing sent for 24

  uint8_t speed = 9;
  ASSERT_EQ(i2c_.setSpeed(3), aErrNone);
  EXPECT_EQ(i2c_.setSpeed(4), aErrParam);
  EXPECT_EQ(i2c_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 3);
  i2c_.init(&module_, 0);
  EXPECT_EQ(i2c_.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
}

TEST_P(I2CTest, MalformedReplies) {
  struct Case {
    const char* name;
    Bytes reply;  // to a read of 2 bytes at 0x50
    aErr expected;
    Bytes delivered;
  } cases[] = {
      {"FourBytes", {0x08, 0x00, 0x51, 0x02}, aErrPacket, {0xEE, 0xEE, 0xEE}},
      {"StatusWithoutCode", {0x08, 0x00, 0x51, 0x00, 0x80}, aErrUnknown, {0xEE, 0xEE, 0xEE}},
      {"CountBeyondReply", {0x08, 0x00, 0x51, 0x09, 0x00, 1, 2, 3}, aErrPacket, {0xEE, 0xEE, 0xEE}},
      {"MoreThanAsked", {0x08, 0x00, 0x51, 0x05, 0x00, 1, 2, 3, 4, 5}, aErrNone, {1, 2, 0xEE}},
      {"FewerThanAsked", {0x08, 0x00, 0x51, 0x01, 0x00, 7}, aErrNone, {7, 0xEE, 0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig_->hook->set([reply = c.reply](jvsim::SimModule& m, const jvsim::Packet& p) {
      if (p.data.size() < 3 || p.data[0] != 0x08 || p.data[2] != 0x51) return false;
      m.send({p.address, reply});
      return true;
    });
    uint8_t buffer[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(i2c_.read(0x50, 2, buffer), c.expected);
    EXPECT_EQ(Bytes(buffer, buffer + 3), c.delivered);
  }
}

INSTANTIATE_TEST_SUITE_P(Via, I2CTest, ::testing::Values(Via::Tcp, Via::Pty),
                         [](const auto& info) { return std::string(viaName(info.param)); });

class RouterTest : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override {
    rig_ = makeRig(GetParam(), {}, true);
    rig_->router->addSubModule(0x0A, 0x00A0000A);
    rig_->router->addSubModule(0x0C, 0x00A0000C, 0x11);
    router_ = std::make_unique<Module>(4, 0);
    ASSERT_EQ(router_->connectFromSpec(rig_->spec), aErrNone);
    SystemClass sys;
    sys.init(router_.get(), 0);
    ASSERT_EQ(sys.routeToMe(1), aErrNone);
  }
  std::unique_ptr<Rig> rig_;
  std::unique_ptr<Module> router_;
};

TEST_P(RouterTest, ScanFindsBothSubModules) {
  I2CClass bus;
  bus.init(router_.get(), 0);
  std::vector<uint8_t> found;
  for (unsigned address = 2; address < 0x20; address += 2) {
    if (address == router_->getModuleAddress()) continue;
    uint8_t probe[1];
    const aErr err = bus.read(static_cast<uint8_t>(address), 1, probe);
    if (err == aErrNone) {
      found.push_back(static_cast<uint8_t>(address));
    } else {
      EXPECT_EQ(err, aErrIO) << address;
    }
  }
  EXPECT_EQ(found, (std::vector<uint8_t>{0x0A, 0x0C}));
}

TEST_P(RouterTest, ModulesBehindShareTheRoutersLink) {
  struct Sub {
    uint8_t address;
    uint32_t serial;
    uint8_t model;
  } subs[] = {{0x0A, 0x00A0000A, 0x13}, {0x0C, 0x00A0000C, 0x11}};
  for (const Sub& s : subs) {
    SCOPED_TRACE(static_cast<int>(s.address));
    auto behind = std::make_unique<Module>(s.address, 0);
    ASSERT_EQ(behind->connectThroughLinkModule(router_.get()), aErrNone);
    EXPECT_EQ(behind->getLink()->getLinkRef(), router_->getLink()->getLinkRef());
    EXPECT_EQ(behind->getModuleAddress(), s.address);

    SystemClass sys;
    sys.init(behind.get(), 0);
    uint32_t serial = 0;
    uint8_t model = 0, router = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, s.serial);
    EXPECT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, s.model);
    EXPECT_EQ(sys.getRouter(&router), aErrNone);
    EXPECT_EQ(router, 4);
    uint32_t build = 0;
    EXPECT_EQ(behind->getBuild(&build), aErrNone);

    // Already connected: nothing changes.
    EXPECT_EQ(behind->connectThroughLinkModule(router_.get()), aErrNone);
    behind.reset();
    EXPECT_TRUE(router_->isConnected());
    SystemClass routerSys;
    routerSys.init(router_.get(), 0);
    EXPECT_EQ(routerSys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0012ABCDu);
  }
}

TEST_P(RouterTest, ModulesBehindUsedFromTwoThreads) {
  struct Worker {
    uint8_t address;
    uint32_t serial;
    int good = 0;
  } workers[] = {{0x0A, 0x00A0000A}, {0x0C, 0x00A0000C}};
  std::vector<std::thread> threads;
  for (Worker& w : workers) {
    threads.emplace_back([this, &w] {
      Module behind(w.address, 0);
      if (behind.connectThroughLinkModule(router_.get()) != aErrNone) return;
      SystemClass sys;
      sys.init(&behind, 0);
      for (int i = 0; i < 50; ++i) {
        uint32_t serial = 0;
        uint32_t build = 0;
        if (sys.getSerialNumber(&serial) == aErrNone && serial == w.serial && behind.getBuild(&build) == aErrNone) {
          ++w.good;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const Worker& w : workers) EXPECT_EQ(w.good, 50) << static_cast<int>(w.address);
  EXPECT_TRUE(router_->isConnected());
}

TEST_P(RouterTest, UnconnectedRouterIsRefused) {
  Module idle(4, 0);
  Module behind(0x0A, 0);
  EXPECT_EQ(behind.connectThroughLinkModule(&idle), aErrNotFound);  // no specifier at all
  linkSpec spec = rig_->spec;
  Module unopened(4, 0);
  ASSERT_EQ(unopened.getLink()->setLinkSpecifier(spec), aErrNone);
  EXPECT_EQ(behind.connectThroughLinkModule(&unopened), aErrInitialization);
  EXPECT_FALSE(behind.isConnected());
}

INSTANTIATE_TEST_SUITE_P(Via, RouterTest, ::testing::Values(Via::Tcp, Via::Pty),
                         [](const auto& info) { return std::string(viaName(info.param)); });

}  // namespace
