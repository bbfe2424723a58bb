// Where the shipped updater keeps its store when no -i names one: in
// ".tovanire/updater" under the user's home directory. The run is made as a
// user the user database does not know, so the home directory is the one
// HOME names, a fresh directory of the test's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "BirdFixture.h"
#include "UpdateServerSim.h"
#include "run_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kUnknownUser = 54321;  // no entry in the user database
constexpr const char* kSetpriv = "/usr/bin/setpriv";

// Everything under root, as paths relative to it.
std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) out.push_back(fs::relative(entry.path(), root));
  std::sort(out.begin(), out.end());
  return out;
}

TEST(HomeStore, DownloadLandsInTovanireUpdaterUnderHome) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a user-database entry";
  if (!fs::exists(kSetpriv)) GTEST_SKIP() << "no " << kSetpriv;
  ReachableUpdater updater;
  if (!updater.whyNot().empty()) GTEST_SKIP() << updater.whyNot();

  birdsim::Image image;
  image.blocks.push_back(birdsim::firmware(0x1000, noise(600, 4242)));
  image.blocks.push_back(birdsim::descriptor(4242, "2.11.5", 0x40F5849A, "JV-HUB8"));
  const birdsim::Bytes bird = birdsim::file(image);
  updatesim::Config config;
  updatesim::Device& device = config.devices["40F5849A"];
  device.latestBuild = "4242";
  device.firmwareId = "FW";
  device.builds = {{"4242", "2.11.5"}};
  device.birdFiles["4242"] = bird;
  updatesim::UpdateServer server(config);
  ASSERT_TRUE(server.start());

  TempDir home;
  ASSERT_EQ(chown(home.path().c_str(), kUnknownUser, kUnknownUser), 0);
  const std::string user = std::to_string(kUnknownUser);
  const ProcessResult r = runProcess({kSetpriv, "--reuid=" + user, "--regid=" + user, "--clear-groups", "/usr/bin/env",
                                      "HOME=" + home.path(), updater.path(), "-G", "-d",
                                      "40F5849A", "-u", server.url()});
  server.stop();
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const std::vector<std::string> want = {".tovanire", ".tovanire/updater", ".tovanire/updater/40F5849A",
                                         ".tovanire/updater/40F5849A/.settings",
                                         ".tovanire/updater/40F5849A/4242.bird"};
  EXPECT_EQ(tree(home.path()), want) << r.out << r.err;
  const fs::path stored = fs::path(home.path()) / ".tovanire/updater/40F5849A";
  EXPECT_TRUE(readFile(stored / "4242.bird") == std::string(bird.begin(), bird.end())) << "the stored file differs";
  EXPECT_NE(readFile(stored / ".settings").find("LATEST_DOWNLOAD=4242.bird"), std::string::npos);
}

}  // namespace
