// The updater program against simulated network modules in the peer
// namespace of scripts/netns: discovery, the router scan, updates directly
// and through the router, and what each loader fault does to an update.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PeerFlows.h"
#include "SimDark.h"

namespace {

using namespace flows;
using namespace std::chrono_literals;

const std::string kResponder = std::string(JV_BINARY_DIR) + "/sim/udpresponder/udpresponder";

constexpr uint32_t kModule = 0x40F5849A;
constexpr uint32_t kRouter = 0xD272031D;
constexpr uint32_t kSubA = 0x2181F0EE;
constexpr uint32_t kSubB = 0x2181F0EF;
constexpr uint8_t kModelLormet = 17;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How long after the module was back from its reboot the updater exited
// (printed for the record); an hour when it never came back.
std::chrono::milliseconds exitedAfterReturn(const SimulatedModule& m, std::chrono::steady_clock::time_point exited,
                                            const char* name) {
  const auto back = m.loader->backAt();
  EXPECT_TRUE(back.has_value()) << name;
  if (!back) return std::chrono::hours(1);
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(exited - *back);
  std::printf("%s: updater exited %lld ms after the module was back\n", name, static_cast<long long>(after.count()));
  return after;
}

class NetworkFlows : public PeerFlows {
 protected:
  void SetUp() override {
    PeerFlows::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    firmware_.serial = kModule;
    subFirmware_.serial = kSubA;
    subFirmware_.build = 99528600;
    server_.setConfig(serverConfig({firmware_, subFirmware_}));
    ASSERT_TRUE(server_.start());

    module_ = peerModule(peers_[0], kModule, 6, "Net module", firmware_.build);
    router_ = peerModule(peers_[1], kRouter, 2, "Router", 0);
    router_.addSub(0x0A, kSubA, 0x13, subFirmware_.build);
    router_.addSub(0x0C, kSubB, kModelLormet, 0);
    modules_ = {&module_, &router_};
  }

  // Starts the modules and the discovery responder that announces them.
  void start() {
    startInPeer({&module_, &router_});
    responder_ = std::make_unique<netns::PeerProcess>(std::vector<std::string>{
        kResponder, "--listen", peers_[0], "--lifetime", "120", "--module", discoveryEntry(module_, peers_[0]),
        "--module", discoveryEntry(router_, peers_[1])});
    ASSERT_TRUE(responder_->waitFor("ready"));
  }

  fs::path settingsFile() const { return root_ / "updater" / hex8(kModule) / ".settings"; }

  ProcessResult updater(const std::vector<std::string>& args) {
    return runUpdater(UPDATER_BIN, {}, server_.url(), root_, args);
  }

  Firmware firmware_;
  Firmware subFirmware_;
  SimulatedModule module_;
  SimulatedModule router_;
};

TEST_F(NetworkFlows, DiscoveryListsTheNetworkModulesWithTheirTableLines) {
  start();
  ProcessResult r = updater({"-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Discovered Devices: (TCPIP)")) << r.out;
  EXPECT_TRUE(contains(r.out, "    40F5849A  06       06      Norquil        2.15.3 (     61000)        [" + peers_[0] +
                                  "]       Net module"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "    D272031D  02       02      Norquil        2.15.3 (     61000)        [" + peers_[1] +
                                  "]       Router"))
      << r.out;
}

// A module on the network that names itself with control sequences (clear
// the screen, set the clipboard) is listed with them shown as escapes.
TEST_F(NetworkFlows, ModuleNameIsShownAsText) {
  module_ = peerModule(peers_[0], kModule, 6, "\x1b[2J\x1b]52;c;aGk=\x07", firmware_.build);
  start();
  ProcessResult r = updater({"-D", "-t", "TCPIP"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "    40F5849A  06       06      Norquil        2.15.3 (     61000)        [" + peers_[0] +
                                  "]       \\x1b[2J\\x1b]52;c;aGk=\\x07\n"))
      << r.out;
  for (char control : {'\x1b', '\x07'}) EXPECT_FALSE(contains(r.out + r.err, std::string(1, control))) << r.out;
}

TEST_F(NetworkFlows, RouterScanListsTheModulesBehindTheRouterOnly) {
  start();
  ProcessResult r = updater({"-D", "-r", "D272031D"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Discovered Devices: (Unknown)")) << r.out;
  const std::string address = "[" + peers_[1] + "]";
  EXPECT_TRUE(contains(r.out, "    2181F0EE  0A       02      Norquil        2.15.3 (     61000)        " + address))
      << r.out;
  EXPECT_TRUE(contains(r.out, "    2181F0EF  0C       02      Lormet         2.15.3 (     61000)        " + address))
      << r.out;
  EXPECT_FALSE(contains(r.out, "    D272031D")) << r.out;
  // Routing is handed back once the scan is over.
  EXPECT_EQ(router_.commands->get(jvsim::kOptRouteToMe), 0u);
}

TEST_F(NetworkFlows, RouterThatRefusesRoutingListsNothing) {
  jvsim::CommandFaults& f = router_.commands->faults();
  f.command = jvsim::kCmdSystem;
  f.option = jvsim::kOptRouteToMe;
  f.errorCode = jvsim::code::kIO;
  f.errorReplies = -1;
  start();
  ProcessResult r = updater({"-D", "-r", "D272031D"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "Error 6 on route to me")) << r.err;
  EXPECT_TRUE(contains(r.out, "    No devices found.")) << r.out;
}

TEST_F(NetworkFlows, GetAndUpdateInstallsThePatchedImageAndRecordsIt) {
  start();
  ProcessResult r = updater({"-G", "-U", "-d", "40F5849A"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
  EXPECT_EQ(module_.loader->stats().reboots, 1u);
  auto settings = settingsOf(root_, kModule);
  EXPECT_EQ(settings["LATEST_TRANSFER"], "99528558.bird");
  EXPECT_FALSE(settings["LAST_TRANSFER_DATE"].empty());

  ProcessResult after = updater({"-D", "-t", "TCPIP"});
  EXPECT_TRUE(contains(after.out, "2.15.3 (  99528558)")) << after.out;
}

TEST_F(NetworkFlows, UpdateThroughTheRouterReachesTheModuleBehindIt) {
  start();
  ProcessResult r = updater({"-G", "-U", "-d", "2181F0EE", "-r", "D272031D"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
  const auto& loader = router_.subLoaders.at(0x0A);
  EXPECT_EQ(loader->firmwareBytes(kImageAddress, subFirmware_.imageSize), subFirmware_.patchedImage(kSubA));
  EXPECT_EQ(loader->stats().reboots, 1u);
  // Neither the router nor the other module took any of it.
  EXPECT_EQ(router_.loader->stats().inits, 0u);
  EXPECT_EQ(router_.subLoaders.at(0x0C)->stats().inits, 0u);
  EXPECT_EQ(settingsOf(root_, kSubA)["LATEST_TRANSFER"], "99528600.bird");
  // Routing is handed back once the update is over.
  EXPECT_EQ(router_.commands->get(jvsim::kOptRouteToMe), 0u);
}

// A router update needs the module on the router's bus, and the router.
TEST_F(NetworkFlows, RouterUpdateRefusesWhatTheScanDoesNotFind) {
  start();
  const fs::path file = root_ / "given.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), firmware_.file(), &why)) << why;
  struct Case {
    std::string module, router, message;
  };
  for (const Case& c : {Case{"12345678", "D272031D",
                             "Module address required for indirect firmware update, could not find serial number "
                             "[0x12345678] on network"},
                        Case{"2181F0EE", "0BADCAFE", "Unable to find modules on Network"}}) {
    SCOPED_TRACE(c.module + " behind " + c.router);
    ProcessResult r = updater({"-U", "-d", c.module, "-r", c.router, "-f", file.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
  }
}

TEST_F(NetworkFlows, UpdateFromAFileRecordsThePathAsGivenWithoutAskingTheServer) {
  start();
  const fs::path file = root_ / "given.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), firmware_.file(), &why)) << why;
  server_.clearRequests();
  ProcessResult r = updater({"-U", "-d", "40F5849A", "-f", file.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
  EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], file.string());
  EXPECT_TRUE(server_.targets().empty());
}

// -m says whether firmware pieces go as one UEI byte block each; the loader
// always goes as DATA packets.
class NetworkUei : public NetworkFlows, public ::testing::WithParamInterface<bool> {};

TEST_P(NetworkUei, SwitchChoosesHowFirmwarePiecesTravel) {
  const bool uei = GetParam();
  start();
  const uint32_t loaderPackets = static_cast<uint32_t>((firmware_.loaderSize + 25) / 26);
  // Pieces of the loader's 512-byte block size, each in packets of 26 bytes.
  uint32_t pieces = 0;
  uint32_t imagePackets = 0;
  for (size_t left = firmware_.imageSize; left > 0; left -= std::min<size_t>(left, 512)) {
    ++pieces;
    imagePackets += static_cast<uint32_t>((std::min<size_t>(left, 512) + 25) / 26);
  }
  ProcessResult r = updater({"-G", "-U", "-d", "40F5849A", "-m", uei ? "1" : "0"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(module_.loader->stats().ueiPieces, uei ? pieces : 0);
  EXPECT_EQ(module_.loader->stats().dataPackets, loaderPackets + (uei ? 0 : imagePackets));
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
}

INSTANTIATE_TEST_SUITE_P(M, NetworkUei, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "UeiBlocks" : "DataPackets");
                         });

// However the module restarts after REBOOT (its stack resets the link,
// closes it in order, or the chip resets under it without a word) and
// however soon it is back, the update sees the restart, succeeds within
// seconds of the module's return and records the transfer.
struct RebootCase {
  const char* name;
  jvsim::Restart how;
  int backMs;
};

void PrintTo(const RebootCase& c, std::ostream* os) { *os << c.name; }

class NetworkReboot : public NetworkFlows, public ::testing::WithParamInterface<RebootCase> {};

TEST_P(NetworkReboot, UpdateSeesTheRestartAndRecordsIt) {
  const RebootCase& c = GetParam();
  module_.loader->faults().rebootRestart = c.how;
  module_.loader->faults().rebootBackMs = c.backMs;
  start();
  ASSERT_EQ(updater({"-G", "-d", "40F5849A"}).status, 0);

  ProcessResult r = updater({"-U", "-d", "40F5849A"});
  const auto exited = std::chrono::steady_clock::now();
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
  EXPECT_EQ(module_.loader->stats().reboots, 1u);
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
  EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], "99528558.bird");

  // The updater may well be done before a module that refuses connections
  // while it reboots is back: the refusal already shows the restart.
  if (c.backMs > 0) {
    ASSERT_TRUE(module_.sim->transcript().waitForEvent("online", 1, std::chrono::milliseconds(c.backMs) + 20s));
  }
  EXPECT_LT(exitedAfterReturn(module_, exited, c.name), 5s);
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, NetworkReboot,
    ::testing::Values(RebootCase{"ResetBackAtOnce", jvsim::Restart::Reset, 0},
                      RebootCase{"ResetBackAfter300ms", jvsim::Restart::Reset, 300},
                      RebootCase{"ResetBackAfter10s", jvsim::Restart::Reset, 10000},
                      RebootCase{"OrderlyCloseBackAtOnce", jvsim::Restart::Close, 0},
                      RebootCase{"OrderlyCloseBackAfter300ms", jvsim::Restart::Close, 300},
                      RebootCase{"OrderlyCloseBackAfter10s", jvsim::Restart::Close, 10000},
                      RebootCase{"SilentResetBackAtOnce", jvsim::Restart::Silent, 0},
                      RebootCase{"SilentResetBackAfter300ms", jvsim::Restart::Silent, 300},
                      RebootCase{"SilentResetBackAfter10s", jvsim::Restart::Silent, 10000}),
    [](const ::testing::TestParamInfo<RebootCase>& info) { return std::string(info.param.name); });

struct FaultCase {
  const char* name;
  std::function<void(SimulatedModule&)> fault;
  std::vector<std::string> extraArgs;
  int status;
  std::vector<std::string> shown;     // in standard output or standard error
  std::vector<std::string> notShown;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class NetworkFaults : public NetworkFlows, public ::testing::WithParamInterface<FaultCase> {};

// Each loader or module fault: what the update says, whether it claims
// success, and that a failed update leaves the module's .settings exactly
// as it was.
TEST_P(NetworkFaults, UpdateReportsTheFaultAndTellsTheTruth) {
  const FaultCase& c = GetParam();
  start();
  ASSERT_EQ(updater({"-G", "-d", "40F5849A"}).status, 0);
  const fs::path settingsPath = settingsFile();
  const std::string before = readFile(settingsPath);
  c.fault(module_);

  std::vector<std::string> args{"-U", "-d", "40F5849A", "-X", "0x501"};
  args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
  ProcessResult r = updater(args);
  const std::string all = r.out + r.err;
  EXPECT_EQ(r.status, c.status) << all;
  for (const auto& s : c.shown) EXPECT_TRUE(contains(all, s)) << "missing: " << s << "\n" << all;
  for (const auto& s : c.notShown) EXPECT_FALSE(contains(all, s)) << "unexpected: " << s << "\n" << all;
  if (c.status == 0) {
    EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
    EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], "99528558.bird");
  } else {
    EXPECT_EQ(readFile(settingsPath), before);
    EXPECT_FALSE(contains(r.out, "Update time: "));
  }
}

using jvsim::SimLoader;
auto loaderFault(std::function<void(jvsim::LoaderFaults&)> set) {
  return [set](SimulatedModule& m) { set(m.loader->faults()); };
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NetworkFaults,
    ::testing::Values(
        FaultCase{"DataCountWrongOnce", loaderFault([](auto& f) { f.wrongDataCount = 1; }), {"-m", "0"}, 0,
                  {"Invalid upgrade transfer response"}, {"  Retry 1"}},
        FaultCase{"SumMismatchFourTimes", loaderFault([](auto& f) { f.sumMismatch = 4; }), {}, 0,
                  {"  Retry 1", "  Retry 2", "  Retry 3", "  Retry 4"}, {"  Retry 5"}},
        FaultCase{"SumMismatchEveryTime", loaderFault([](auto& f) { f.sumMismatch = -1; }), {}, 1,
                  {"  Retry 4", "Error firmware transfer block failed."}, {"  Retry 5"}},
        FaultCase{"PrepareErrorIsNotRetried", loaderFault([](auto& f) { f.prepareError = 1; }), {}, 1,
                  {"Error firmware transfer init",
                   "Firmware block 1 of 1 failed after 1 try: the module answered error"},
                  {"  Retry 1"}},
        FaultCase{"BlockSizeZeroIsRefused", loaderFault([](auto& f) { f.blockSizeZero = -1; }), {}, 1,
                  {"Error firmware transfer"}, {}},
        FaultCase{"ShortInitReply",
                  loaderFault([](auto& f) {
                    f.phase = jvsim::kPhaseAny;
                    f.shortInit = 1;
                  }),
                  {}, 1, {"Error starting loader"}, {"Transferring loader to device"}},
        FaultCase{"ShortWriteReplyOnce", loaderFault([](auto& f) { f.shortWrite = 1; }), {}, 0,
                  {"invalid or error reply when loader writing firmware", "  Retry 1"}, {"  Retry 2"}},
        FaultCase{"NoLoadEchoReconnects", loaderFault([](auto& f) { f.noLoadEcho = true; }), {}, 0,
                  {"Loader validated start (Reconnect)"}, {}},
        FaultCase{"UeiRefusedFallsBackToDataPackets", [](SimulatedModule& m) { m.loader->setUeiData(false); },
                  {"-m", "1"}, 0, {}, {"UPGRADE_DATA_UEI"}},
        FaultCase{"SerialMismatch", [](SimulatedModule& m) { m.commands->set(jvsim::kOptSerialNumber, 0x11112222); },
                  {}, 1, {"Bird serial number and connected device don't match", "Birdfile failed validation"},
                  {"Transferring loader to device"}},
        FaultCase{"ModelMismatch", [](SimulatedModule& m) { m.commands->set(jvsim::kOptModel, kModelLormet); }, {}, 1,
                  {"Connected device model and Bird file model do not match [Lormet]", "Birdfile failed validation"},
                  {"Transferring loader to device"}},
        FaultCase{"ModelMismatchWithOverride",
                  [](SimulatedModule& m) { m.commands->set(jvsim::kOptModel, kModelLormet); }, {"-OVERRIDE"}, 0, {},
                  {"Birdfile failed validation"}},
        FaultCase{"SilenceMidTransfer", loaderFault([](auto& f) { f.silenceAfterData = 30; }), {"-m", "0"}, 1,
                  {"Error firmware transfer block failed.", "  Retry 4",
                   "Firmware block 1 of 1 failed after 5 tries: the module did not answer in time"},
                  {"  Retry 5", "Firmware block 1 of 1 failed after 1 try"}},
        // The pause eats the piece under way and the first prepares after it.
        FaultCase{"QuietSpellIsRetried",
                  loaderFault([](auto& f) {
                    f.quietAtBlock = 1;
                    f.quietForMs = 2000;
                  }),
                  {"-m", "0"}, 0, {"Error firmware transfer init", "  Retry 2"}, {"failed after"}},
        FaultCase{"LinkNeverComesBack", loaderFault([](auto& f) { f.neverComesBack = true; }), {}, 1,
                  {"Failed _transfer_firmware()"}, {}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// A module that restarts or pauses its link during the firmware phase: the
// update carries on where the module is found again and records the
// transfer, within a bound of the run's own.
struct LinkFaultCase {
  const char* name;
  std::function<void(jvsim::LoaderFaults&)> fault;
  size_t imageSize;
  const char* uei;  // -m: pieces as UEI byte blocks ("1") or DATA packets
  std::vector<std::string> shown;
  std::chrono::seconds bound;
};

void PrintTo(const LinkFaultCase& c, std::ostream* os) { *os << c.name; }

class NetworkLinkFaults : public NetworkFlows, public ::testing::WithParamInterface<LinkFaultCase> {};

TEST_P(NetworkLinkFaults, UpdateOutlastsTheFaultAndRecordsIt) {
  const LinkFaultCase& c = GetParam();
  Firmware big = firmware_;
  big.imageSize = c.imageSize;
  const fs::path file = root_ / "big.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), big.file(), &why)) << why;
  c.fault(module_.loader->faults());
  start();

  const auto began = std::chrono::steady_clock::now();
  ProcessResult r = updater({"-U", "-d", "40F5849A", "-f", file.string(), "-m", c.uei});
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  std::printf("%s: verdict after %lld ms\n", c.name, static_cast<long long>(took.count()));
  const std::string all = r.out + r.err;
  ASSERT_EQ(r.status, 0) << all;
  for (const auto& s : c.shown) EXPECT_TRUE(contains(all, s)) << "missing: " << s << "\n" << all;
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, big.imageSize), big.patchedImage(kModule));
  EXPECT_EQ(module_.loader->stats().loads, 1u);
  EXPECT_EQ(module_.loader->stats().reboots, 1u);
  EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], file.string());
  EXPECT_LT(took, c.bound);
}

constexpr size_t kMiB = 1 << 20;

// The loader's link ends 50 ms after its LOAD echo, in the middle of the
// firmware's first pieces.
LinkFaultCase dropAfterLoadEcho(const char* name, jvsim::Restart how) {
  return {name,
          [how](auto& f) {
            f.dropAfterLoadMs = 50;
            f.dropAfterLoadHow = how;
          },
          kMiB, "1", {"The link to the module was lost; finding it again (1 of 3)"}, 60s};
}

INSTANTIATE_TEST_SUITE_P(
    LinkFaults, NetworkLinkFaults,
    ::testing::Values(dropAfterLoadEcho("LinkResetSoonAfterLoadEcho", jvsim::Restart::Reset),
                      dropAfterLoadEcho("LinkClosedSoonAfterLoadEcho", jvsim::Restart::Close),
                      LinkFaultCase{"QuietForTwoSecondsMidTransfer",
                                    [](auto& f) {
                                      f.quietAtBlock = 1;
                                      f.quietForMs = 2000;
                                    },
                                    kMiB / 16, "0",
                                    {"  Retry 2"},
                                    60s}),
    [](const ::testing::TestParamInfo<LinkFaultCase>& info) { return std::string(info.param.name); });

// An update interrupted on a terminal while the module's loader holds half
// the firmware: the run ends at once with the signal's status (however
// long the module would keep it waiting), the progress bar's line is ended
// and the store is as it was; the next run finds the module in its loader
// and finishes the update.
struct InterruptCase {
  const char* name;
  int signal;
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

class NetworkInterrupt : public NetworkFlows, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(NetworkInterrupt, NextRunFinishesTheUpdate) {
  const InterruptCase& c = GetParam();
  const std::string silenced = "[06] loader fault silence from here on";
  start();
  ASSERT_EQ(updater({"-G", "-d", "40F5849A"}).status, 0);
  const fs::path device = root_ / "updater" / "40F5849A";
  jvsim::Transcript& transcript = module_.sim->transcript();
  constexpr int kRounds = 10;
  std::chrono::milliseconds slowest{0};  // from the signal to the run's end
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string settingsBefore = readFile(device / ".settings");
    // Half of the second piece goes in, then the loader answers nothing.
    module_.loader->faults().silenceAfterData = 30;
    const size_t silencedBefore = transcript.countEvents(silenced);
    TerminalRun run({UPDATER_BIN, "-u", server_.url(), "-i", root_.string(), "-U", "-d", "40F5849A", "-m", "0"});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(transcript.waitForEvent(silenced, silencedBefore + 1, 60s));
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(run.pid(), c.signal), 0);
    const ProcessResult r = run.finish();
    slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - signalled));
    EXPECT_EQ(r.status, 128 + c.signal) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "\r[===")) << r.out;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n') << r.out;
    EXPECT_EQ(readFile(device / ".settings"), settingsBefore);
    for (const auto& entry : fs::directory_iterator(device)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == ".settings" || name == "99528558.bird") << name;
    }

    module_.loader->endSilence(*module_.sim);
    const size_t onlineBefore = transcript.countEvents("online");
    ProcessResult next = updater({"-U", "-d", "40F5849A", "-m", "0"});
    ASSERT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
    EXPECT_EQ(module_.loader->stats().reboots, static_cast<uint32_t>(round + 1));
    EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], "99528558.bird");
    module_.loader->clearFirmwareImage();
    // The module takes connections again once it is back from its reboot.
    ASSERT_TRUE(transcript.waitForEvent("online", onlineBefore + 1, 30s));
  }
  std::printf("%s mid-transfer: the run ended at most %lld ms after the signal\n", c.name,
              static_cast<long long>(slowest.count()));
}

INSTANTIATE_TEST_SUITE_P(Signals, NetworkInterrupt,
                         ::testing::Values(InterruptCase{"Sigint", SIGINT}, InterruptCase{"Sigterm", SIGTERM}),
                         [](const ::testing::TestParamInfo<InterruptCase>& info) {
                           return std::string(info.param.name);
                         });


// An update server that trickles its answer at 100 bytes a second: -B and
// -G each give up on it at the low-speed floor (1024 bytes a second for
// 10 s), naming that bound, leave the store as it was, and end with
// status 1: a list the server never finished sending is no answer.
struct TrickleCase {
  const char* name;
  updatesim::Op op;
  std::vector<std::string> args;
  int status;
};

void PrintTo(const TrickleCase& c, std::ostream* os) { *os << c.name; }

class NetworkTrickle : public NetworkFlows, public ::testing::WithParamInterface<TrickleCase> {};

TEST_P(NetworkTrickle, GivesUpAtTheFloorNamingIt) {
  const TrickleCase& c = GetParam();
  server_.setFault(c.op, updatesim::Fault::Trickle, 100);
  const auto began = std::chrono::steady_clock::now();
  ProcessResult r = updater(c.args);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  std::printf("%s: verdict after %lld ms\n", c.name, static_cast<long long>(took.count()));
  const std::string all = r.out + r.err;
  EXPECT_EQ(r.status, c.status) << all;
  EXPECT_TRUE(contains(all, "The update server sent less than 1024 bytes a second for 10 seconds")) << all;
  EXPECT_FALSE(fs::exists(root_ / "updater" / hex8(kModule) / (std::to_string(firmware_.build) + ".bird")));
  EXPECT_EQ(settingsOf(root_, kModule)["LATEST_DOWNLOAD"], "");
  EXPECT_GE(took, 10s);
  EXPECT_LT(took, 40s);  // catches a hang, no more
}

INSTANTIATE_TEST_SUITE_P(
    Trickles, NetworkTrickle,
    ::testing::Values(TrickleCase{"BuildList", updatesim::Op::Builds, {"-B", "-d", "40F5849A"}, 1},
                      TrickleCase{"Download", updatesim::Op::Bird, {"-G", "-d", "40F5849A"}, 1}),
    [](const ::testing::TestParamInfo<TrickleCase>& info) { return std::string(info.param.name); });

// A module whose network goes dark around its REBOOT: nothing of it is
// heard (no reset, no refusal) until it is back, if ever. The update's
// verdict comes as soon as what was seen allows it: a module that reset its
// connection before the dark fell has restarted, and the run ends right
// after recording it; one that went silent is looked for afresh and seen
// within a pass or two of its return; one that never returns is told apart
// from one that kept its link, at the reboot wait's bound.
struct DarkRebootCase {
  const char* name;
  bool resetFirst;  // its stack resets the connection, then the dark falls
  int darkForMs;    // jvsim::kDarkForever: it never comes back
  int status;
  std::vector<std::string> shown;
  std::vector<std::string> notShown;
  std::chrono::seconds atLeast, below;  // start to verdict
};

void PrintTo(const DarkRebootCase& c, std::ostream* os) { *os << c.name; }

class NetworkDarkReboot : public NetworkFlows, public ::testing::WithParamInterface<DarkRebootCase> {};

TEST_P(NetworkDarkReboot, VerdictComesAsSoonAsWhatWasSeenAllows) {
  const DarkRebootCase& c = GetParam();
  start();
  ASSERT_EQ(updater({"-G", "-d", "40F5849A"}).status, 0);
  const fs::path settingsPath = settingsFile();
  const std::string before = readFile(settingsPath);

  std::unique_ptr<jvsim::DarkSwitch> dark;
  std::thread darkener;
  if (c.resetFirst) {
    // The reset goes out first; the stream's reconnect, 10 ms after it
    // meets the reset, is then sent into the dark.
    dark = inPeerNamespace([] { return std::make_unique<jvsim::DarkSwitch>(); });
    module_.loader->faults().rebootRestart = jvsim::Restart::Reset;
    module_.loader->faults().rebootBackMs = 3600000;
    darkener = std::thread([&] {
      if (!module_.sim->transcript().waitForEvent("disconnect (offline)", 1, 120s)) return;
      std::string why;
      if (!dark->goDark(peers_[0], &why)) ADD_FAILURE() << "cannot go dark: " << why;
    });
  } else {
    module_.loader->faults().darkAt = jvsim::DarkAt::Reboot;
    module_.loader->faults().darkForMs = c.darkForMs;
  }

  const auto began = std::chrono::steady_clock::now();
  ProcessResult r = updater({"-U", "-d", "40F5849A"});
  const auto exited = std::chrono::steady_clock::now();
  if (darkener.joinable()) darkener.join();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(exited - began);
  std::printf("%s: verdict after %lld ms\n", c.name, static_cast<long long>(took.count()));
  const std::string all = r.out + r.err;
  EXPECT_EQ(r.status, c.status) << all;
  for (const auto& s : c.shown) EXPECT_TRUE(contains(all, s)) << "missing: " << s << "\n" << all;
  for (const auto& s : c.notShown) EXPECT_FALSE(contains(all, s)) << "unexpected: " << s << "\n" << all;
  // The whole image went in before the reboot, whatever followed it.
  EXPECT_EQ(module_.loader->stats().reboots, 1u);
  EXPECT_EQ(module_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kModule));
  if (c.status == 0) {
    EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], "99528558.bird");
  } else {
    EXPECT_EQ(readFile(settingsPath), before);
  }
  EXPECT_GE(took, c.atLeast);
  EXPECT_LT(took, c.below);
  if (c.status == 0 && !c.resetFirst) {
    // Seen within a pass or two of its return, not at TCP's next try.
    EXPECT_LT(exitedAfterReturn(module_, exited, c.name), 3s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dark, NetworkDarkReboot,
    ::testing::Values(
        DarkRebootCase{"ResetThenDarkForGood", true, jvsim::kDarkForever, 0, {"Update time: "}, {}, 0s, 15s},
        DarkRebootCase{"SilentThenDarkForGood",
                       false,
                       jvsim::kDarkForever,
                       1,
                       {"The module stopped answering ", " ms after the reboot request and did not come back within "
                                                         "60000 ms."},
                       {"kept its link", "Update time: "},
                       60s,
                       80s},
        DarkRebootCase{"SilentThenBackAfter30s", false, 30000, 0, {"Update time: "}, {}, 30s, 45s}),
    [](const ::testing::TestParamInfo<DarkRebootCase>& info) { return std::string(info.param.name); });

}  // namespace
