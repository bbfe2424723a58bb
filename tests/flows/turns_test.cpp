// Runs of the updater program that meet on one module at once, against
// simulated network modules in the peer namespace of scripts/netns: updates
// of several modules behind one router, started together (from one store or
// from several), and listings of the network while a module is updated. A
// module carries one host connection at a time, so each run must leave
// another's connection alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PeerFlows.h"

namespace {

using namespace flows;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kResponder = std::string(JV_BINARY_DIR) + "/sim/udpresponder/udpresponder";

constexpr uint32_t kModule = 0x40F5849A;
constexpr uint32_t kRouter = 0xD272031D;
constexpr uint32_t kFirstSub = 0x2181F0E0;
constexpr int kSubs = 8;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class Turns : public PeerFlows {
 protected:
  void SetUp() override {
    PeerFlows::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(server_.start());
    module_ = peerModule(peers_[0], kModule, 6, "Net module", firmware_.build);
    router_ = peerModule(peers_[1], kRouter, 2, "Router", 0);
    for (int i = 0; i < kSubs; ++i) router_.addSub(subAddress(i), kFirstSub + i, 0x13, firmware_.build);
    modules_ = {&module_, &router_};
    startInPeer({&module_, &router_});
    responder_ = std::make_unique<netns::PeerProcess>(std::vector<std::string>{
        kResponder, "--listen", peers_[0], "--lifetime", "600", "--module", discoveryEntry(module_, peers_[0]),
        "--module", discoveryEntry(router_, peers_[1])});
    ASSERT_TRUE(responder_->waitFor("ready"));
  }

  static uint8_t subAddress(int i) { return static_cast<uint8_t>(0x0A + 2 * i); }

  // A BIRD file of `imageSize` bytes of firmware for any of the modules
  // (the updater patches each one's serial number in).
  fs::path birdFile(size_t imageSize) {
    Firmware f = firmware_;
    f.imageSize = imageSize;
    const fs::path file = root_ / ("image-" + std::to_string(imageSize) + ".bird");
    std::string why;
    EXPECT_TRUE(birdsim::writeFile(file.string(), f.file(), &why)) << why;
    return file;
  }

  std::vector<std::string> updaterArgs(const fs::path& store, std::vector<std::string> args) const {
    std::vector<std::string> argv{UPDATER_BIN, "-u", server_.url(), "-i", store.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  Firmware firmware_;
  SimulatedModule module_;
  SimulatedModule router_;
};

// Updates of `runs` modules behind the router, all started at once, from
// one store or from a store each: every one installs its module (the runs
// take turns on the router), each run that waited said so once and named
// a run of the same round, and the router is handed back.
struct TurnCase {
  const char* name;
  int runs;
  bool storeEach;
  int rounds;
};

void PrintTo(const TurnCase& c, std::ostream* os) { *os << c.name; }

class RouterTurns : public Turns, public ::testing::WithParamInterface<TurnCase> {};

TEST_P(RouterTurns, EveryUpdateThroughTheRouterSucceeds) {
  const TurnCase& c = GetParam();
  const fs::path file = birdFile(firmware_.imageSize);
  const std::string waitText = "Router [" + hex8(kRouter) + "] is in use by process ";
  for (int round = 0; round < c.rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto began = Clock::now();
    std::vector<std::unique_ptr<TerminalRun>> runs;
    std::vector<long> pids;  // finish() forgets them
    for (int i = 0; i < c.runs; ++i) {
      const fs::path store = c.storeEach ? root_ / ("store" + std::to_string(i)) : root_;
      runs.push_back(std::make_unique<TerminalRun>(
          updaterArgs(store, {"-U", "-d", hex8(kFirstSub + i), "-r", hex8(kRouter), "-f", file.string()})));
      ASSERT_GT(runs.back()->pid(), 0);
      pids.push_back(runs.back()->pid());
    }
    std::vector<ProcessResult> results;
    for (auto& run : runs) results.push_back(run->finish());
    const long long took = msSince(began);
    int waited = 0;
    std::string statuses;
    for (int i = 0; i < c.runs; ++i) {
      SCOPED_TRACE("run " + std::to_string(i));
      const ProcessResult& r = results[i];
      const std::string all = r.out + r.err;
      EXPECT_EQ(r.status, 0) << all;
      statuses += " " + std::to_string(r.status);
      const auto& loader = router_.subLoaders.at(subAddress(i));
      EXPECT_TRUE(loader->firmwareBytes(kImageAddress, firmware_.imageSize) == firmware_.patchedImage(kFirstSub + i));
      EXPECT_EQ(loader->stats().reboots, static_cast<uint32_t>(round + 1));
      EXPECT_LE(count(all, waitText), 1u) << all;
      const size_t at = all.find(waitText);
      if (at == std::string::npos) continue;
      ++waited;
      const long named = std::stol(all.substr(at + waitText.size()));
      bool ofThisRound = false;
      for (int j = 0; j < c.runs; ++j) ofThisRound |= j != i && pids[j] == named;
      EXPECT_TRUE(ofThisRound) << "named process " << named << "\n" << all;
    }
    std::printf("%s round %d: %d runs done in %lld ms, exit statuses%s, %d waited for the router\n", c.name, round,
                c.runs, took, statuses.c_str(), waited);
    // Routing is handed back once the last run is over.
    EXPECT_EQ(router_.commands->get(jvsim::kOptRouteToMe), 0u);
    for (int i = 0; i < c.runs; ++i) router_.subLoaders.at(subAddress(i))->clearFirmwareImage();
  }
}

INSTANTIATE_TEST_SUITE_P(Together, RouterTurns,
                         ::testing::Values(TurnCase{"TwoRunsOneStore", 2, false, 3},
                                           TurnCase{"TwoRunsTwoStores", 2, true, 3},
                                           TurnCase{"EightRunsOneStore", kSubs, false, 1}),
                         [](const ::testing::TestParamInfo<TurnCase>& info) { return std::string(info.param.name); });

// A scan of the router's network while an update through the router is
// under way: the scan waits for the update, naming it, and then lists every
// module behind the router; the update keeps its link and succeeds. The
// module's loader falls silent mid-transfer until the scan says it waits.
TEST_F(Turns, RouterScanWaitsForAnUpdateThroughTheRouter) {
  const uint8_t bus = subAddress(0);
  jvsim::SimLoader& loader = *router_.subLoaders.at(bus);
  loader.faults().silenceAfterData = 30;
  const fs::path file = birdFile(firmware_.imageSize);
  TerminalRun update(
      updaterArgs(root_, {"-U", "-d", hex8(kFirstSub), "-r", hex8(kRouter), "-f", file.string(), "-m", "0"}));
  const long updating = update.pid();
  ASSERT_GT(updating, 0);
  char silenced[64];
  std::snprintf(silenced, sizeof silenced, "[%02X] loader fault silence from here on", bus);
  ASSERT_TRUE(router_.sim->transcript().waitForEvent(silenced, 1, 120s));

  const auto began = Clock::now();
  TerminalRun scan(updaterArgs(root_, {"-D", "-r", hex8(kRouter)}));
  const std::string waitText = "Router [" + hex8(kRouter) + "] is in use by process " + std::to_string(updating) + " (user ";
  EXPECT_TRUE(scan.waitForOutput(waitText, 60s));
  loader.endSilence(*router_.sim);
  const ProcessResult u = update.finish();
  const ProcessResult r = scan.finish();
  std::printf("router scan beside an update: scan exited %d after %lld ms, update exited %d\n", r.status,
              msSince(began), u.status);

  EXPECT_EQ(u.status, 0) << u.out << u.err;
  EXPECT_FALSE(contains(u.out + u.err, "link to the module was lost")) << u.out << u.err;
  EXPECT_TRUE(loader.firmwareBytes(kImageAddress, firmware_.imageSize) == firmware_.patchedImage(kFirstSub));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count(r.out + r.err, waitText), 1u) << r.out << r.err;
  for (int i = 0; i < kSubs; ++i) EXPECT_TRUE(contains(r.out, "    " + hex8(kFirstSub + i) + "  ")) << r.out;
  EXPECT_EQ(router_.commands->get(jvsim::kOptRouteToMe), 0u);
}

// Listings of the network, one after another for as long as a 1 MiB update
// of a module runs: the update keeps its link and succeeds, and every
// listing made while it ran shows the module from its discovery answer,
// marked with the updating process, without connecting to it. The update
// server holds the update's question for the latest build (the module is
// held from before it) until a listing has run in full, so at least one
// surely meets the update.
TEST_F(Turns, ListingsLeaveAnUpdateItsLink) {
  Firmware big = firmware_;
  big.serial = kModule;
  big.imageSize = 1 << 20;
  server_.setConfig(serverConfig({big}));
  ASSERT_EQ(runUpdater(UPDATER_BIN, {}, server_.url(), root_, {"-G", "-d", hex8(kModule)}).status, 0);
  jvsim::Transcript& transcript = module_.sim->transcript();
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const size_t onlineBefore = transcript.countEvents("online");
    server_.clearRequests();
    server_.setFault(updatesim::Op::Query, updatesim::Fault::Hold, 1);
    const auto began = Clock::now();
    TerminalRun update(updaterArgs(root_, {"-U", "-d", hex8(kModule)}));
    const long updating = update.pid();
    ASSERT_GT(updating, 0);
    ASSERT_TRUE(server_.waitForTarget("op=qu", 1, 60s));
    const auto held = Clock::now();

    struct Listing {
      Clock::time_point start, end;
      ProcessResult result;
    };
    std::vector<Listing> listings;
    std::mutex mutex;
    std::condition_variable listed;
    bool over = false;
    std::thread lister([&] {
      std::unique_lock<std::mutex> lock(mutex);
      while (!over) {
        lock.unlock();
        Listing l;
        l.start = Clock::now();
        l.result = runUpdater(UPDATER_BIN, {}, server_.url(), root_, {"-D", "-t", "TCPIP"});
        l.end = Clock::now();
        lock.lock();
        listings.push_back(l);
        listed.notify_all();
      }
    });
    {
      std::unique_lock<std::mutex> lock(mutex);
      EXPECT_TRUE(listed.wait_for(lock, 60s, [&] { return !listings.empty(); }));
    }
    server_.clearFaults();
    const ProcessResult r = update.finish();
    const auto ended = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex);
      over = true;
    }
    lister.join();
    const long long took = msSince(began);

    const std::string all = r.out + r.err;
    EXPECT_EQ(r.status, 0) << all;
    EXPECT_FALSE(contains(all, "link to the module was lost")) << all;
    EXPECT_TRUE(module_.loader->firmwareBytes(kImageAddress, big.imageSize) == big.patchedImage(kModule));
    EXPECT_EQ(module_.loader->stats().reboots, static_cast<uint32_t>(round + 1));

    const std::string marked = "    " + hex8(kModule) + "  06       06      Norquil      [Being updated by process " +
                               std::to_string(updating) + "]  [" + peers_[0] + "]";
    int during = 0;
    for (const Listing& l : listings) {
      EXPECT_EQ(l.result.status, 0) << l.result.out << l.result.err;
      EXPECT_TRUE(contains(l.result.out, "    " + hex8(kRouter))) << l.result.out;
      if (l.start < held || l.end > ended) continue;
      ++during;
      EXPECT_TRUE(contains(l.result.out, marked)) << l.result.out;
    }
    EXPECT_GE(during, 1) << "no listing ran while the update did";
    std::printf("round %d: update exited %d after %lld ms; %zu listings, %d while it held the module\n", round,
                r.status, took, listings.size(), during);
    module_.loader->clearFirmwareImage();
    // The module takes connections again once it is back from its reboot.
    ASSERT_TRUE(transcript.waitForEvent("online", onlineBefore + 1, 60s));
  }
}

}  // namespace
