// Runs of the real program that share one store: a download and an update of
// one module whose saves cross keep both records, and while an update (or a
// recovery) of a module runs, a second one of the same module is refused at
// once while downloads and listings go on. The simulated update server holds
// a chosen request until the test lets it go, so the runs overlap exactly
// where they must, whatever the machine's load.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "FlowsFixture.h"

namespace {

using namespace flows;
using updatesim::Fault;
using updatesim::Op;

constexpr uint32_t kModule = 0x40F5849A;
constexpr uint32_t kOtherModule = 0x2181F0EE;
constexpr int kRounds = 10;
constexpr auto kEventDeadline = std::chrono::seconds(30);

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> updaterRun(const std::string& url, const fs::path& root, std::vector<std::string> args) {
  std::vector<std::string> argv{std::string(JV_BINARY_DIR) + "/updater", "-u", url, "-i", root.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The program with the module on its simulated USB bus.
std::vector<std::string> usbRun(uint32_t serial, const std::string& url, const fs::path& root,
                                std::vector<std::string> args) {
  std::vector<std::string> argv{USBSIM_BIN, "--serial", hex8(serial), "--address", "6", "--",
                                "-u",       url,        "-i",         root.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

class SharedStore : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = freshRoot(std::string("shared-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    firmware_.serial = kModule;
    other_.serial = kOtherModule;
    other_.build = 99528600;
    server_.setConfig(serverConfig({firmware_, other_}));
    ASSERT_TRUE(server_.start());
    // Both builds are in the store already: an update needs no download.
    for (const Firmware* f : {&firmware_, &other_}) {
      fs::create_directories(entry(f->serial));
      writeBird(entry(f->serial) / buildFile(*f), *f);
    }
  }
  void TearDown() override {
    server_.stop();
    if (!root_.empty()) fs::remove_all(root_);
  }

  fs::path entry(uint32_t serial) const { return root_ / "updater" / hex8(serial); }
  static std::string buildFile(const Firmware& f) { return std::to_string(f.build) + ".bird"; }
  static void writeBird(const fs::path& path, const Firmware& f) {
    const birdsim::Bytes bird = f.file();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bird.data()), static_cast<std::streamsize>(bird.size()));
  }
  // A round starts from settings that hold neither run's record.
  void startRound(int round) {
    std::ofstream(entry(kModule) / ".settings", std::ios::trunc) << "ROUND=" << round << "\n";
    server_.clearFaults();
    server_.clearRequests();
  }

  fs::path root_;
  Firmware firmware_, other_;
  updatesim::UpdateServer server_;
};

// ---------------------------------------------------------------------------
// Crossing saves.

struct CrossCase {
  const char* name;
  // The run that is held at the server after it read the module's settings,
  // and ends last.
  bool heldIsDownload;
  Op heldAt;
  int heldCount;  // requests of that kind held (0: all)
};

class CrossingSaves : public SharedStore, public ::testing::WithParamInterface<CrossCase> {};

TEST_P(CrossingSaves, BothRunsAreRecorded) {
  const CrossCase& c = GetParam();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    startRound(round);
    // The update names its file by a path of its own per round, which is
    // what it records.
    const fs::path file = root_ / ("round-" + std::to_string(round) + ".bird");
    writeBird(file, firmware_);
    const auto download = updaterRun(server_.url(), root_, {"-G", "-d", hex8(kModule)});
    const auto update = c.heldIsDownload
                            ? usbRun(kModule, server_.url(), root_, {"-U", "-d", hex8(kModule), "-f", file.string()})
                            : usbRun(kModule, server_.url(), root_, {"-U", "-d", hex8(kModule)});

    server_.setFault(c.heldAt, Fault::Hold, c.heldCount);
    Background held = startBackground(c.heldIsDownload ? download : update);
    ASSERT_GT(held.pid, 0);
    ASSERT_TRUE(server_.waitForTarget(std::string("op=") + updatesim::opName(c.heldAt), 1, kEventDeadline));
    const ProcessResult first = runProcess(c.heldIsDownload ? update : download);
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    server_.clearFaults();
    const ProcessResult last = finishBackground(held);
    EXPECT_EQ(last.status, 0) << last.out;

    auto settings = settingsOf(root_, kModule);
    EXPECT_EQ(settings["ROUND"], std::to_string(round));
    EXPECT_EQ(settings["LATEST_DOWNLOAD"], buildFile(firmware_));
    EXPECT_FALSE(settings["LAST_DOWNLOAD_DATE"].empty());
    EXPECT_EQ(settings["LATEST_TRANSFER"], c.heldIsDownload ? file.string() : buildFile(firmware_));
    EXPECT_FALSE(settings["LAST_TRANSFER_DATE"].empty());
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, CrossingSaves,
    ::testing::Values(
        // The download read the settings before the update saved, and saves after it.
        CrossCase{"downloadEndsAfterUpdate", true, Op::Bird, 0},
        // The update read the settings before the download saved, and saves after it.
        CrossCase{"updateEndsAfterDownload", false, Op::Query, 1}),
    [](const ::testing::TestParamInfo<CrossCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// One installing run per module.

struct SecondRun {
  const char* name;
  std::function<std::vector<std::string>(const std::string& url, const fs::path& root)> argv;
  bool refused;
};

class OneInstallingRun : public SharedStore {
 protected:
  std::string refusal(long pid) const {
    return "Another run (process " + std::to_string(pid) + ") is updating module [" + hex8(kModule) +
           "]; try again when it ends.";
  }
};

TEST_F(OneInstallingRun, SecondUpdateOrRecoveryOfTheModuleIsRefusedWhileDownloadsGoOn) {
  const fs::path file = root_ / "given.bird";
  writeBird(file, firmware_);
  const std::vector<SecondRun> seconds = {
      {"update", [&](const std::string& url, const fs::path& root) {
         return usbRun(kModule, url, root, {"-U", "-d", hex8(kModule), "-b", std::to_string(firmware_.build)});
       }, true},
      {"updateFromFile", [&](const std::string& url, const fs::path& root) {
         return usbRun(kModule, url, root, {"-U", "-d", hex8(kModule), "-f", file.string()});
       }, true},
      {"recovery", [&](const std::string& url, const fs::path& root) {
         return updaterRun(url, root, {"-U", "-t", "RECOVER", "-s", (root / "no-such-port").string(), "-d", hex8(kModule)});
       }, true},
      {"download", [&](const std::string& url, const fs::path& root) {
         return updaterRun(url, root, {"-G", "-d", hex8(kModule)});
       }, false},
      {"localList", [&](const std::string& url, const fs::path& root) {
         return updaterRun(url, root, {"-L", "-d", hex8(kModule)});
       }, false},
      {"otherModule", [&](const std::string& url, const fs::path& root) {
         return usbRun(kOtherModule, url, root, {"-U", "-d", hex8(kOtherModule), "-b", std::to_string(other_.build)});
       }, false},
  };

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    startRound(round);
    // The first update holds the module from before it asks the server for
    // the latest build, where it waits.
    server_.setFault(Op::Query, Fault::Hold, 1);
    Background first = startBackground(usbRun(kModule, server_.url(), root_, {"-U", "-d", hex8(kModule)}));
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(server_.waitForTarget("op=qu", 1, kEventDeadline));

    for (const SecondRun& s : seconds) {
      const ProcessResult r = runProcess(s.argv(server_.url(), root_));
      if (s.refused) {
        EXPECT_EQ(r.status, 1) << s.name << "\n" << r.out << r.err;
        EXPECT_TRUE(contains(r.err, refusal(first.pid))) << s.name << "\n" << r.err;
        EXPECT_FALSE(contains(r.out, "Transferring")) << s.name << " reached the module\n" << r.out;
      } else {
        EXPECT_EQ(r.status, 0) << s.name << "\n" << r.out << r.err;
        EXPECT_FALSE(contains(r.err, "Another run")) << s.name << "\n" << r.err;
      }
    }

    server_.clearFaults();
    const ProcessResult done = finishBackground(first);
    EXPECT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], buildFile(firmware_));
    EXPECT_FALSE(fs::exists(entry(kModule) / ".update.lock")) << "a finished update leaves the store as it was";

    // Once it has ended, the module is free again.
    const ProcessResult after =
        runProcess(usbRun(kModule, server_.url(), root_, {"-U", "-d", hex8(kModule), "-b", std::to_string(firmware_.build)}));
    EXPECT_EQ(after.status, 0) << after.out << after.err;
    if (HasFailure()) return;
  }
}

}  // namespace
