// The live loader is reached over the updater's own USB link: the
// fingerprint and the recovery ask their Links to connect with link sharing
// and transport fallback off (watched through the linker, LinkConnectSpy.h).
#include <gtest/gtest.h>

#include <string>

#include "LinkConnectSpy.h"
#include "RecoverFixture.h"
#include "Updater.h"
#include "test_support.h"

namespace {

using namespace recover;

class ImxNoSharing : public ::testing::Test {
 protected:
  void SetUp() override {
    updatesim::Config config;
    addDevice(config, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, LoaderImage{}.file());
    RecoveryImage image;
    addDevice(config, kModule, image.build, image.file());
    const uint32_t words[4] = {kChipId[3], kChipId[2], kChipId[1], kChipId[0]};
    config.recovery[fingerprintKey(words)] = {hex8(kModule), std::to_string(image.build)};
    server_.setConfig(config);
    ASSERT_TRUE(server_.start());
    linkspy::clear();
  }
  void TearDown() override { server_.stop(); }

  // Every connection call so far had sharing and fallback off; there were
  // at least `calls` of them.
  void expectUnshared(size_t calls) const {
    const auto attempts = linkspy::attempts();
    EXPECT_GE(attempts.size(), calls);
    for (const auto& a : attempts) {
      EXPECT_FALSE(a.config.enabled) << a.call << " with link sharing on";
      EXPECT_FALSE(a.config.fallback) << a.call << " with transport fallback on";
    }
  }

  TempDir dir_;
  updatesim::UpdateServer server_;
  RecordingDisplay display_;
};

TEST_F(ImxNoSharing, FingerprintThroughTheLiveLoader) {
  ImxBench bench;
  bench.liveLoaderComesUp(true);
  Updater updater(server_.url().c_str(), (dir_.path() + "/store").c_str(), display_);
  Fingerprint fingerprint;
  ASSERT_TRUE(updater.Get_Fingerprint(fingerprint, bench.port(false), DEFAULT_SERIAL_NUMBER, "", 115200, true));
  expectUnshared(1);
}

TEST_F(ImxNoSharing, RecoveryThroughTheLiveLoader) {
  ImxBench bench;
  bench.liveLoaderComesUp(true);
  Updater updater(server_.url().c_str(), (dir_.path() + "/store").c_str(), display_);
  ASSERT_TRUE(updater.Recover_Firmware(bench.port(false), 0, 115200, 0, "", false));
  // The fingerprint's connection, then the recovery's own.
  expectUnshared(2);
}

}  // namespace
