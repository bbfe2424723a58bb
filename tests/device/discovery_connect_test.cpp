// Finding a module before connecting, and the one fallback between USB and
// a link-sharing client, over a scripted USB bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../link/link_fixture.h"
#include "SimCommands.h"
#include "Module.h"
#include "SystemClass.h"

using namespace Tovanire::Jorvanite;

namespace {

aLanicConfig config(bool sharing, bool fallback) {
  aLanicConfig c;
  c.enabled = sharing;
  c.fallback = fallback;
  return c;
}

TEST(DiscoverAndConnect, FirstModuleOfTheModelOrAny) {
  struct Case {
    const char* name;
    uint8_t model;
    uint32_t serial;  // 0: by model
    uint32_t expected;
  } cases[] = {
      {"ByModel", 0x11, 0, 0x00000022},
      {"AnyModel", 0, 0, 0x00000011},
      {"BySerialNumber", 0, 0x00000022, 0x00000022},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    jvsim::SimConfig first, second;
    first.serial = 0x11;
    second.serial = 0x22;
    second.model = 0x11;
    auto simA = jvsim::SimModule::overPipe(first);
    auto simB = jvsim::SimModule::overPipe(second);
    jvsim::SimCommands::install(*simA);
    jvsim::SimCommands::install(*simB);
    simA->start();
    simB->start();
    aUSBScriptDevice a = aUSBScriptDevice::Module("00000011");
    aUSBScriptDevice b = aUSBScriptDevice::Module("00000022");
    b.productId = 0x0111;
    aUSBScript script({a, b});
    {
      linktest::UsbBridge bridgeA(script, 0, simA->pipeTransport()->pipe());
      linktest::UsbBridge bridgeB(script, 1, simB->pipeTransport()->pipe());
      Module module(2, c.model);
      ASSERT_EQ(module.setConfig(config(false, false)), aErrNone);
      ASSERT_EQ(c.serial ? module.connect(LINK_USB, c.serial) : module.discoverAndConnect(LINK_USB, 0), aErrNone);
      EXPECT_EQ(module.getModuleAddress(), 4);  // adopted from the module
      SystemClass sys;
      sys.init(&module, 0);
      uint32_t serial = 0;
      EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
      EXPECT_EQ(serial, c.expected);
      linkSpec spec;
      ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
      EXPECT_EQ(spec.type, LINK_USB);
      EXPECT_EQ(spec.serialNumber, c.expected);
    }
  }
}

TEST(DiscoverAndConnect, FallbackOnceFromUsb) {
  // A module that enumerates but never answers the handshake: the USB link
  // cannot be made, and with fallback the client transport is tried once
  // (it finds no sharing server).
  struct Case {
    const char* name;
    bool sharing;
    bool fallback;
    uint32_t serial;
    aErr expected;
  } cases[] = {
      {"FallbackAfterFailedLink", false, true, 0x33, aErrNotFound},
      {"NoFallbackAfterFailedLink", false, false, 0x33, aErrConnection},
      {"NoSuchModuleWithFallback", false, true, 0x44, aErrNotFound},
      {"NoSuchModuleWithoutFallback", false, false, 0x44, aErrNotFound},
      {"SharingServerUnavailable", true, false, 0x33, aErrConnection},
      {"SharingServerUnavailableFallback", true, true, 0x33, aErrNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    aUSBScript script({aUSBScriptDevice::Module("00000033")});
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(config(c.sharing, c.fallback)), aErrNone);
    EXPECT_EQ(module.connect(LINK_USB, c.serial), c.expected);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getLink()->getLinkRef(), 0u);
  }
}

TEST(DiscoverAndConnect, ClientFallsBackToUsbOnce) {
  aUSBScript script({aUSBScriptDevice::Module("00000033")});
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(config(false, true)), aErrNone);
  // No sharing server is found; the USB module is, but its link never comes up.
  EXPECT_EQ(module.discoverAndConnect(LINK_ALANIC, 0x33), aErrConnection);
  EXPECT_EQ(module.getLink()->getLinkRef(), 0u);
  ASSERT_EQ(module.setConfig(config(false, false)), aErrNone);
  EXPECT_EQ(module.discoverAndConnect(LINK_ALANIC, 0x33), aErrNotFound);
}

}  // namespace
