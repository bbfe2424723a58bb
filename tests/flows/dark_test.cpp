// The updater against a network module that goes dark, the way one whose
// network stack reboots does: what it sends is dropped without a word (no
// reset, no ICMP, no ARP failure), so a connect hangs rather than fails.
// Each case runs in a namespace pair of its own (scripts/netns), so they run
// side by side; each prints how long the run took to its verdict.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "PeerFlows.h"

namespace {

using namespace flows;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kResponder = std::string(JV_BINARY_DIR) + "/sim/udpresponder/udpresponder";

constexpr uint32_t kDark = 0x40F5849A;     // the module that goes dark
constexpr uint32_t kHealthy = 0x40F5849B;  // one beside it that stays

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class Dark : public PeerFlows {
 protected:
  void SetUp() override {
    PeerFlows::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    firmware_.serial = kDark;
    server_.setConfig(serverConfig({firmware_}));
    ASSERT_TRUE(server_.start());
    dark_ = peerModule(peers_[0], kDark, 6, "Dark module", firmware_.build);
    healthy_ = peerModule(peers_[1], kHealthy, 8, "Healthy module", firmware_.build);
    modules_ = {&dark_, &healthy_};
  }

  // Starts both modules and the responder that answers discovery for them;
  // `darkAfterAnswer` (udpresponder's dark=) darkens the first one's address
  // right after its first answer.
  void start(const std::string& darkAfterAnswer = "") {
    startInPeer({&dark_, &healthy_});
    std::string darkEntry = discoveryEntry(dark_, peers_[0]);
    if (!darkAfterAnswer.empty()) darkEntry += ",dark=" + darkAfterAnswer;
    responder_ = std::make_unique<netns::PeerProcess>(std::vector<std::string>{
        kResponder, "--listen", peers_[0], "--lifetime", "600", "--module", darkEntry, "--module",
        discoveryEntry(healthy_, peers_[1])});
    ASSERT_TRUE(responder_->waitFor("ready"));
  }

  std::vector<std::string> updaterArgs(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{UPDATER_BIN, "-u", server_.url(), "-i", root_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  Firmware firmware_;
  SimulatedModule dark_;
  SimulatedModule healthy_;
};

// What the host sees of a dark module: nothing at all. A connect made while
// it is dark neither fails nor completes until it is back (a reset, an ICMP
// error or a failed ARP would end it at once), while the module beside it
// answers throughout.
TEST_F(Dark, ConnectHangsUntilTheModuleIsBackWhileOthersAnswer) {
  start();
  std::string why;
  ASSERT_TRUE(dark_.sim->transport().goDark(1500, &why)) << why;

  auto connectTo = [](const std::string& address, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
  };
  // Completion of a non-blocking connect, and its error (0: connected).
  auto outcome = [](int fd, int waitMs) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, waitMs) != 1) return -1;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
  };

  const int toDark = connectTo(peers_[0], dark_.sim->tcp()->port());
  const int toHealthy = connectTo(peers_[1], healthy_.sim->tcp()->port());
  EXPECT_EQ(outcome(toHealthy, 5000), 0) << "the module beside the dark one answers";
  // SYNs are retried at 1 s and 3 s: the one after the module's return gets through.
  const auto began = Clock::now();
  EXPECT_EQ(outcome(toDark, 10000), 0) << "the connect ended without the module";
  std::printf("connect to the dark module completed after %lld ms\n", msSince(began));
  EXPECT_TRUE(dark_.sim->transcript().waitForEvent("online", 1, 0ms)) << "the connect got through in the dark";
  ::close(toDark);
  ::close(toHealthy);
}

// An update whose module goes dark as its loader starts, or in the middle
// of the firmware: back in its loader after a while, or never.
struct UpdateCase {
  const char* name;
  jvsim::DarkAt at;
  int piece;   // for DarkAt::Piece: the firmware piece (of 512 bytes)
  int darkMs;  // jvsim::kDarkForever: for good
  int status;
  std::chrono::seconds bound;  // catches a hang only
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class DarkUpdate : public Dark, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(DarkUpdate, VerdictTellsTheTruthInTime) {
  const UpdateCase& c = GetParam();
  start();
  const fs::path file = root_ / "given.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), firmware_.file(), &why)) << why;
  const std::string settingsPath = (root_ / "updater" / hex8(kDark) / ".settings").string();
  goDarkAt(dark_, c.at, c.darkMs, c.piece);

  const auto began = Clock::now();
  ProcessResult r = runProcess(updaterArgs({"-U", "-d", hex8(kDark), "-f", file.string()}));
  const long long took = msSince(began);
  std::printf("%s: verdict %d after %lld ms\n", c.name, r.status, took);
  const std::string all = r.out + r.err;
  EXPECT_EQ(r.status, c.status) << all;
  EXPECT_TRUE(wentDark(dark_, 0ms)) << "the module never went dark";
  if (c.status == 0) {
    EXPECT_EQ(dark_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kDark));
    EXPECT_EQ(dark_.loader->stats().reboots, 1u);
    EXPECT_EQ(settingsOf(root_, kDark)["LATEST_TRANSFER"], file.string());
  } else {
    EXPECT_NE(dark_.loader->firmwareBytes(kImageAddress, firmware_.imageSize), firmware_.patchedImage(kDark));
    EXPECT_EQ(dark_.loader->stats().reboots, 0u);
    EXPECT_EQ(settingsOf(root_, kDark).count("LATEST_TRANSFER"), 0u) << readFile(settingsPath);
    EXPECT_FALSE(contains(r.out, "Update time: ")) << r.out;
  }
  EXPECT_LT(took, std::chrono::duration_cast<std::chrono::milliseconds>(c.bound).count()) << all;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, DarkUpdate,
    ::testing::Values(UpdateCase{"DarkForGoodAfterLoad", jvsim::DarkAt::Load, 1, jvsim::kDarkForever, 1, 240s},
                      UpdateCase{"DarkThreeSecondsAfterLoad", jvsim::DarkAt::Load, 1, 3000, 0, 120s},
                      UpdateCase{"DarkTwentySecondsAfterLoad", jvsim::DarkAt::Load, 1, 20000, 0, 120s},
                      UpdateCase{"DarkForGoodAfterLoadEcho", jvsim::DarkAt::Echo, 1, jvsim::kDarkForever, 1, 240s},
                      UpdateCase{"DarkThreeSecondsAfterLoadEcho", jvsim::DarkAt::Echo, 1, 3000, 0, 120s},
                      UpdateCase{"DarkForGoodMidTransfer", jvsim::DarkAt::Piece, 3, jvsim::kDarkForever, 1, 240s},
                      UpdateCase{"DarkThreeSecondsMidTransfer", jvsim::DarkAt::Piece, 3, 3000, 0, 120s}),
    [](const ::testing::TestParamInfo<UpdateCase>& info) { return std::string(info.param.name); });

// A module that answered discovery and then went dark costs the listing its
// own bounded connect, not the kernel's SYN retries: the healthy module's
// row and the end of the run follow within seconds.
TEST_F(Dark, DiscoveryListsTheHealthyModuleSoonBesideOneThatWentDark) {
  start("forever");
  const auto began = Clock::now();
  const std::vector<std::string> argv = updaterArgs({"-D", "-t", "TCPIP"});
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);

  // Reads the output as it comes, bounded so that a hang fails the case.
  const auto deadline = began + 90s;
  std::string text, line;
  long long healthyRowAt = -1;
  const std::string healthyRow = "    " + hex8(kHealthy) + "  ";
  for (char c;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) break;
    if (::read(out[0], &c, 1) != 1) break;
    text += c;
    line += c;
    if (c != '\n') continue;
    if (healthyRowAt < 0 && contains(line, healthyRow)) healthyRowAt = msSince(began);
    line.clear();
  }
  const long long endedAt = msSince(began);
  ::kill(pid, SIGKILL);  // only when the bound ran out; an exited program is left as it is
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  std::printf("discovery beside a dark module: healthy row after %lld ms, output ended after %lld ms\n", healthyRowAt,
              endedAt);

  EXPECT_TRUE(responder_->waitFor("dark " + peers_[0])) << "the module never went dark";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  ASSERT_GE(healthyRowAt, 0) << text;
  EXPECT_TRUE(contains(text, "[" + peers_[1] + "]       Healthy module")) << text;
  EXPECT_LT(healthyRowAt, 15000) << text;
  EXPECT_LT(endedAt, 20000) << text;
}

}  // namespace
