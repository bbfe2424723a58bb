// The simulated module's own link layer, driven with raw bytes over each of
// its transports, so that the link engine's tests can trust what it does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "SimModule.h"

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::Dir;
using jvsim::SimModule;

namespace {

// The host's end of one transport.
class HostEnd {
 public:
  virtual ~HostEnd() = default;
  virtual bool write(const Bytes& b) = 0;
  // Up to `max` bytes that arrive within the wait; empty on time-out.
  virtual Bytes readSome(size_t max, std::chrono::milliseconds wait) = 0;

  // Exactly n bytes, or fewer when they do not come in time.
  Bytes read(size_t n, std::chrono::milliseconds wait = 2000ms) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) break;
      Bytes b = readSome(n - out.size(), left);
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  }
};

class FdEnd : public HostEnd {
 public:
  FdEnd(int fd, bool socket) : fd_(fd), socket_(socket) {}
  ~FdEnd() override {
    if (fd_ >= 0) close(fd_);
  }
  bool write(const Bytes& b) override {
    return (socket_ ? ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) : ::write(fd_, b.data(), b.size())) ==
           static_cast<ssize_t>(b.size());
  }
  Bytes readSome(size_t max, std::chrono::milliseconds wait) override {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    Bytes b(max);
    ssize_t n = ::read(fd_, b.data(), max);
    eof_ = n <= 0;
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }
  bool eof() const { return eof_; }

 private:
  int fd_;
  bool socket_;
  bool eof_ = false;
};

class PipeEnd : public HostEnd {
 public:
  explicit PipeEnd(std::shared_ptr<jvsim::BytePipe> p) : pipe_(std::move(p)) {}
  bool write(const Bytes& b) override { return pipe_->hostWrite(b.data(), b.size()); }
  Bytes readSome(size_t max, std::chrono::milliseconds wait) override {
    Bytes b(max);
    long n = pipe_->hostRead(b.data(), max, static_cast<int>(wait.count()));
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }

 private:
  std::shared_ptr<jvsim::BytePipe> pipe_;
};

std::unique_ptr<FdEnd> connectTcp(uint16_t port, const char* host = "127.0.0.2") {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host, &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<FdEnd>(fd, true);
}

std::unique_ptr<FdEnd> openTerminal(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return nullptr;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return std::make_unique<FdEnd>(fd, false);
}

struct Rig {
  std::unique_ptr<SimModule> sim;
  std::unique_ptr<HostEnd> host;
};

struct TransportCase {
  const char* name;
  std::function<Rig(jvsim::SimConfig)> make;
};

std::string nodePath() {
  return (std::filesystem::temp_directory_path() / ("jvsim-node-" + std::to_string(getpid()))).string();
}

const TransportCase kTransports[] = {
    {"tcp",
     [](jvsim::SimConfig c) {
       Rig r{SimModule::overTcp("127.0.0.2", 0, c), nullptr};
       r.sim->start();
       r.host = connectTcp(r.sim->tcp()->port());
       // The accept is seen by the service thread; wait so nothing sent races it.
       r.sim->transcript().waitForEvent("connect", 1, 2s);
       return r;
     }},
    {"pty",
     [](jvsim::SimConfig c) {
       Rig r{SimModule::overPty({}, c), nullptr};
       r.sim->start();
       r.host = openTerminal(r.sim->pty()->path());
       return r;
     }},
    {"node",
     [](jvsim::SimConfig c) {
       Rig r{SimModule::overPty(nodePath(), c), nullptr};
       r.sim->start();
       r.host = openTerminal(nodePath());
       return r;
     }},
    {"pipe",
     [](jvsim::SimConfig c) {
       Rig r{SimModule::overPipe(c), nullptr};
       r.sim->start();
       r.host = std::make_unique<PipeEnd>(r.sim->pipeTransport()->pipe());
       return r;
     }},
};

class SimTransportTest : public ::testing::TestWithParam<TransportCase> {
 protected:
  void SetUp() override {
    rig_ = GetParam().make(config_);
    ASSERT_NE(rig_.host, nullptr);
  }
  jvsim::SimConfig config_;
  Rig rig_;
};

TEST_P(SimTransportTest, AnswersLinkControlAndEcho) {
  auto& host = *rig_.host;
  auto& sim = *rig_.sim;
  // A sync query, a force route and an echo in one write, as a pooled host would send them.
  ASSERT_TRUE(host.write({0xAD, 0x00, 0xAF, 0x01, 0x01, 0x04, 0x03, 0x17, 0xAA, 0x55}));
  EXPECT_EQ(host.read(7), (Bytes{0x04, 0x00, 0x04, 0x03, 0x17, 0xAA, 0x55}));
  EXPECT_TRUE(sim.transcript().waitFor(Dir::In, {0xAF, 0x01, 0x01}, 1, 1s));
  EXPECT_EQ(sim.forceRoutes(), (std::vector<uint8_t>{1}));
  EXPECT_EQ(sim.transcript().count(Dir::In, {0xAD, 0x00}), 1u);
  EXPECT_EQ(sim.transcript().count(Dir::Out, {0x04, 0x00}), 1u);
}

TEST_P(SimTransportTest, SkipsBytesThatFrameNoPacket) {
  auto& host = *rig_.host;
  // An odd address, a zero address, then a length above 28; framing resumes after each.
  ASSERT_TRUE(host.write({0x03, 0x00, 0x04, 0x1D, 0xAD, 0x00}));
  EXPECT_EQ(host.read(2), (Bytes{0x04, 0x00}));
  EXPECT_EQ(rig_.sim->stats().junkBytes, 3u);
}

TEST_P(SimTransportTest, ChecksHeartbeatAnswers) {
  auto& host = *rig_.host;
  auto& sim = *rig_.sim;
  struct {
    uint8_t value;
    Bytes answer;  // empty: none
    const char* event;
  } cases[] = {
      {0x00, {0x04, 0x02, 0x00, 0x02}, "heartbeat answered 02"},
      {0xFF, {0x04, 0x02, 0x00, 0x01}, "heartbeat answered 01"},
      {0x01, {0x04, 0x02, 0x00, 0x01}, "heartbeat answer wrong 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    sim.sendHeartbeat(c.value);
    EXPECT_EQ(host.read(4), (Bytes{0x04, 0x02, 0x00, c.value}));
    host.write(c.answer);
    EXPECT_TRUE(sim.transcript().waitForEvent(c.event, 1, 2s)) << sim.transcript().text();
  }
  // The heartbeat of value 1 had a wrong answer and so is missed in the end.
  EXPECT_TRUE(sim.transcript().waitForEvent("heartbeat missed (expected 03)", 1, 3s));
  EXPECT_EQ(sim.stats().heartbeatsAnswered, 2u);
}

INSTANTIATE_TEST_SUITE_P(Transports, SimTransportTest, ::testing::ValuesIn(kTransports),
                         [](const auto& info) { return std::string(info.param.name); });

// Fault switches, over TCP.
class SimFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = SimModule::overTcp("127.0.0.2", 0);
    sim_->start();
    host_ = connectTcp(sim_->tcp()->port());
    ASSERT_NE(host_, nullptr);
    ASSERT_TRUE(sim_->transcript().waitForEvent("connect", 1, 2s));
  }
  std::unique_ptr<SimModule> sim_;
  std::unique_ptr<FdEnd> host_;
};

TEST_F(SimFaultTest, AnswerFaults) {
  struct Case {
    const char* name;
    std::function<void(jvsim::Faults&)> set;
    Bytes expected;  // what one sync query brings back
    std::chrono::milliseconds atLeast;
  } cases[] = {
      {"plain", [](jvsim::Faults&) {}, {0x04, 0x00}, 0ms},
      {"silent", [](jvsim::Faults& f) { f.silent = true; }, {}, 0ms},
      {"late", [](jvsim::Faults& f) { f.lateMs = 300; }, {0x04, 0x00}, 290ms},
      {"stray byte", [](jvsim::Faults& f) { f.strayByte = true; }, {0x03, 0x04, 0x00}, 0ms},
      {"broken handshake", [](jvsim::Faults& f) { f.brokenHandshake = 1; }, {0x04, 0x00, 0x06}, 0ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto& f = sim_->faults();
    f.silent = false;
    f.lateMs = 0;
    c.set(f);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(host_->write({0xAD, 0x00}));
    Bytes got = host_->read(c.expected.size() + 1, c.expected.empty() ? 300ms : 600ms);
    EXPECT_EQ(got, c.expected);
    if (!c.expected.empty()) {
      EXPECT_GE(std::chrono::steady_clock::now() - t0, c.atLeast);
    }
  }
}

TEST_F(SimFaultTest, DroppedConnectionAcceptsTheNextHost) {
  sim_->faults().dropAfterPackets = 2;
  host_->write({0xAD, 0x00, 0xAD, 0x00});
  host_->read(4);
  Bytes rest = host_->read(1, 2s);  // the reset ends the stream
  EXPECT_TRUE(rest.empty());
  EXPECT_TRUE(host_->eof());
  ASSERT_TRUE(sim_->transcript().waitForEvent("disconnect (dropped)", 1, 2s));

  auto again = connectTcp(sim_->tcp()->port());
  ASSERT_NE(again, nullptr);
  again->write({0xAD, 0x00});
  EXPECT_EQ(again->read(2), (Bytes{0x04, 0x00}));
  EXPECT_EQ(sim_->stats().connections, 2u);
}

TEST_F(SimFaultTest, FloodsAfterForceRoute) {
  sim_->faults().floodOnForceRoute = 1001;
  host_->write({0xAF, 0x01, 0x01});
  Bytes all = host_->read(1001 * 5, 5s);
  ASSERT_EQ(all.size(), 1001u * 5);
  // The last packet carries its number, 1000.
  EXPECT_EQ(Bytes(all.end() - 5, all.end()), (Bytes{0x04, 0x03, 0x17, 0x03, 0xE8}));
  // Only once.
  host_->write({0xAF, 0x01, 0x01});
  EXPECT_TRUE(host_->read(1, 300ms).empty());
}

TEST(SimNodeTest, DropMakesANewTerminalBehindTheSameNode) {
  const std::string node = nodePath() + "-drop";
  auto sim = SimModule::overPty(node);
  sim->start();
  std::string first = sim->pty()->terminalPath();
  EXPECT_EQ(std::filesystem::read_symlink(node).string(), first);
  sim->dropConnection();
  ASSERT_TRUE(sim->transcript().waitForEvent("disconnect (dropped)", 1, 2s));
  EXPECT_NE(sim->pty()->terminalPath(), first);
  EXPECT_EQ(std::filesystem::read_symlink(node).string(), sim->pty()->terminalPath());
  auto host = openTerminal(node);
  ASSERT_NE(host, nullptr);
  host->write({0xAD, 0x00});
  EXPECT_EQ(host->read(2), (Bytes{0x04, 0x00}));
  sim.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(node)));
}

TEST(SimPipeTest, DropClosesThePipeTheHostHolds) {
  auto sim = SimModule::overPipe();
  sim->start();
  auto before = sim->pipeTransport()->pipe();
  sim->dropConnection();
  uint8_t b;
  EXPECT_EQ(before->hostRead(&b, 1, 2000), -1);
  EXPECT_FALSE(before->hostWrite(&b, 1));
  PipeEnd after(sim->pipeTransport()->pipe());
  after.write({0xAD, 0x00});
  EXPECT_EQ(after.read(2), (Bytes{0x04, 0x00}));
}

TEST(SimStandaloneTest, PrintsWhereItListensAndAnswers) {
  const std::string exe = std::string(JV_BINARY_DIR) + "/sim/module/sim";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  const char* argv[] = {exe.c_str(), "--tcp", "127.0.0.2:0", "--heartbeat", "100", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  FILE* text = fdopen(out[0], "r");
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, text), nullptr);
  unsigned port = 0;
  EXPECT_EQ(sscanf(line, "tcp 127.0.0.2:%u", &port), 1) << line;
  auto host = connectTcp(static_cast<uint16_t>(port));
  ASSERT_NE(host, nullptr);
  host->write({0xAD, 0x00});
  // Its heartbeats come on their own, every 100 ms, so one may come before
  // the answer on a busy machine; the answer and a heartbeat both come.
  auto frame = [&] {
    Bytes f = host->read(2);
    if (f.size() == 2 && f[1] > 0) {
      const Bytes data = host->read(f[1]);
      f.insert(f.end(), data.begin(), data.end());
    }
    return f;
  };
  const Bytes heartbeat{0x04, 0x02, 0x00, 0x00};
  bool answered = false, beat = false;
  for (int i = 0; i < 50 && !(answered && beat); ++i) {
    const Bytes f = frame();
    if (f == Bytes{0x04, 0x00}) answered = true;
    else if (f == heartbeat) beat = true;
    else ADD_FAILURE() << "unexpected frame of " << f.size() << " bytes";
    if (f.size() < 2) break;
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(beat);
  // The transcript shows the traffic.
  bool sawQuery = false;
  while (!sawQuery && fgets(line, sizeof line, text)) sawQuery = std::strstr(line, "in  AD 00") != nullptr;
  EXPECT_TRUE(sawQuery);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  fclose(text);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
