// A download or an update that cannot record itself in the module's
// .settings says so and does not end as a success. The file is made
// irreplaceable as it is for root too: bound onto itself in a mount
// namespace of the run's own, so the save's rename over it fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FlowsFixture.h"

namespace {

using namespace flows;

constexpr uint32_t kModule = 0x40F5849A;
constexpr const char* kKept = "NOTE=kept\n";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class SettingsRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    root_ = freshRoot(std::string("record-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    firmware_.serial = kModule;
    server_.setConfig(serverConfig({firmware_}));
    ASSERT_TRUE(server_.start());
    fs::create_directories(device());
    std::ofstream(settings()) << kKept;
  }
  void TearDown() override {
    server_.stop();
    if (!root_.empty()) fs::remove_all(root_);
  }

  fs::path device() const { return root_ / "updater" / hex8(kModule); }
  fs::path settings() const { return device() / ".settings"; }

  // The program run with the module's .settings a mount point: it reads as
  // before, but nothing can be renamed over it.
  ProcessResult runPinned(const std::string& program, const std::vector<std::string>& simArgs,
                          const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                  "mount --bind \"$0\" \"$0\" && exec \"$@\"", settings().string(), program};
    if (!simArgs.empty()) {
      argv.insert(argv.end(), simArgs.begin(), simArgs.end());
      argv.push_back("--");
    }
    argv.insert(argv.end(), {"-u", server_.url(), "-i", root_.string()});
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
  }

  // The settings are as they were, and no temporary of a save is left.
  void expectSettingsKept() const {
    EXPECT_EQ(readFile(settings()), kKept);
    for (const auto& entry : fs::directory_iterator(device())) {
      EXPECT_EQ(entry.path().extension(), entry.path().filename() == ".settings" ? "" : ".bird")
          << "left behind: " << entry.path();
    }
  }

  fs::path root_;
  Firmware firmware_;
  updatesim::UpdateServer server_;
};

TEST_F(SettingsRecord, DownloadThatCannotBeRecordedFails) {
  const ProcessResult r = runPinned(std::string(JV_BINARY_DIR) + "/updater", {}, {"-G", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Failed to record the download in " + device().string() + "/.settings")) << r.err;
  expectSettingsKept();
}

TEST_F(SettingsRecord, UpdateThatCannotBeRecordedFails) {
  // The build is in the store already, so the update starts without a download.
  const birdsim::Bytes bird = firmware_.file();
  std::ofstream(device() / (std::to_string(firmware_.build) + ".bird"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bird.data()), static_cast<std::streamsize>(bird.size()));
  const ProcessResult r = runPinned(USBSIM_BIN, {"--serial", hex8(kModule), "--address", "6"}, {"-U", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Could not record the transfer in " + settings().string())) << r.err;
  expectSettingsKept();
}

}  // namespace
