// The updater binary interrupted by SIGINT or SIGTERM while it downloads: the
// conventional exit status, the terminal line it was drawing on ended, and
// none of the run's temporary files left in the store, whichever of them it
// was writing; what the store held before stays whole.
#include "BirdFixture.h"
#include "UpdateServerSim.h"
#include "run_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using updatesim::Fault;
using updatesim::Op;
using namespace std::chrono_literals;

namespace {

const std::string kSerial = "40F5849A";
const std::string kEarlier = "99500000";
const std::string kLatest = "99528558";
constexpr int kRounds = 10;

updatesim::Bytes birdFor(uint32_t build, const std::string& version, size_t size)
{
  birdsim::Image image;
  image.blocks.push_back(birdsim::loader(0x20000000, birdsim::Bytes(64, 0xA5)));
  image.blocks.push_back(birdsim::firmware(0x1000, noise(size, build)));
  image.blocks.push_back(birdsim::descriptor(build, version, 0x40F5849A, "JV-HUB8"));
  return birdsim::file(image);
}

std::string asText(const updatesim::Bytes& b)
{
  return std::string(b.begin(), b.end());
}

bool startsWith(const std::string& s, const std::string& prefix)
{
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Names in the device's directory that only a run in progress may hold.
std::vector<std::string> temporaries(const fs::path& dir)
{
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const bool tmp = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    if (tmp || startsWith(name, ".download-"))
      found.push_back(name);
  }
  return found;
}

std::map<std::string, std::string> settingsIn(const fs::path& dir)
{
  std::map<std::string, std::string> pairs;
  std::ifstream in(dir / ".settings");
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos)
      pairs[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return pairs;
}

class InterruptedDownload : public ::testing::Test {
protected:
  void SetUp() override
  {
    root_ = fs::temp_directory_path() / ("interrupt-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    updatesim::Config c;
    updatesim::Device& d = c.devices[kSerial];
    d.latestBuild = kLatest;
    d.firmwareId = "FW-7";
    d.builds = {{kEarlier, "2.10.4"}, {kLatest, "2.10.12"}};
    d.birdFiles[kEarlier] = birdFor(99500000, "2.10.4", 3000);
    // Large enough that writing it is a step of its own, as a real build's is.
    d.birdFiles[kLatest] = birdFor(99528558, "2.10.12", 400000);
    server_.setConfig(c);
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override
  {
    server_.stop();
    fs::remove_all(root_);
  }

  std::vector<std::string> argv(const std::vector<std::string>& args) const
  {
    std::vector<std::string> all{UPDATER_BIN, "-u", server_.url(), "-i", root_.string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  fs::path device() const { return root_ / "updater" / kSerial; }

  fs::path root_;
  updatesim::UpdateServer server_;
};

struct TerminalCase {
  const char* name;
  int signal;
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

class InterruptedOnTerminal : public InterruptedDownload, public ::testing::WithParamInterface<TerminalCase> {};

// The spinner turns on the terminal's line while the server trickles its
// answer; after the signal the prompt must find a line of its own.
TEST_P(InterruptedOnTerminal, EndsTheSpinnerLine)
{
  const TerminalCase& c = GetParam();
  server_.setFault(Op::Bird, Fault::Trickle, 2000);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TerminalRun run(argv({"-G", "-d", kSerial}));
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.waitForOutput("\r (Downloading) ", 20s));
    ASSERT_EQ(0, ::kill(run.pid(), c.signal));
    const ProcessResult r = run.finish();
    EXPECT_EQ(128 + c.signal, r.status) << r.out << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ('\n', r.out.back()) << r.out;
    EXPECT_TRUE(temporaries(device()).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedOnTerminal,
                         ::testing::Values(TerminalCase{"Sigint", SIGINT}, TerminalCase{"Sigterm", SIGTERM}),
                         [](const ::testing::TestParamInfo<TerminalCase>& info) {
                           return std::string(info.param.name);
                         });

// Holds every open of a file in one directory until the test answers it
// (fanotify permission events), so a run can be caught with exactly the
// file wanted in the store.
class OpenGate {
public:
  explicit OpenGate(const fs::path& dir)
  {
    // Non-blocking: a permission event of a run that ended (its _exit met
    // the thread held in open()) is taken back from the queue, so an event
    // poll saw may be gone by the time it is read.
    fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_LARGEFILE);
    if (fd_ < 0) {
      why_ = std::string("fanotify_init: ") + std::strerror(errno);
      return;
    }
    if (::fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, dir.c_str()) != 0) {
      why_ = std::string("fanotify_mark: ") + std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~OpenGate()
  {
    if (fd_ >= 0)
      ::close(fd_);
  }
  const std::string& whyNot() const { return why_; }
  int fd() const { return fd_; }

  // Answers every open waiting now; calls caught(name) for each before
  // letting it go on.
  template <class Caught>
  void serve(Caught caught)
  {
    alignas(fanotify_event_metadata) char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0)
      return;
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buf);
    for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->fd < 0)
        continue;
      char link[64], path[4096] = {0};
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", event->fd);
      const ssize_t len = ::readlink(link, path, sizeof path - 1);
      if (len > 0)
        caught(fs::path(std::string(path, static_cast<size_t>(len))).filename().string());
      const fanotify_response allow{event->fd, FAN_ALLOW};
      // A program already gone has nothing waiting: the answer may fail.
      if (::write(fd_, &allow, sizeof allow) < 0) {
      }
      ::close(event->fd);
    }
  }

private:
  int fd_ = -1;
  std::string why_;
};

struct StoreCase {
  const char* name;
  std::string prefix;  // of the file whose open the signal meets
  std::string suffix;
};

void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.name; }

// How one run caught in the store ended.
struct Caught {
  std::string whyNot;  // the gate cannot be had: nothing ran
  bool sent = false;   // the wanted file was opened and the signal sent
  int wstatus = 0;
  std::string output;
};

// Runs the updater with its opens in the device's directory held, sends the
// signal as it opens the case's file and answers every open until it ends.
// The gate is closed again when this returns, so the test may look.
Caught runCaught(const std::vector<std::string>& words, const StoreCase& c, int signal, const fs::path& dir,
                 const std::string& outPath)
{
  Caught result;
  OpenGate gate(dir);
  if (!gate.whyNot().empty()) {
    result.whyNot = "no fanotify permission events: " + gate.whyNot();
    return result;
  }
  std::vector<char*> cargs;
  for (const auto& w : words)
    cargs.push_back(const_cast<char*>(w.c_str()));
  cargs.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.whyNot = "fork failed";
    return result;
  }
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(cargs[0], cargs.data());
    _exit(127);
  }
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  struct pollfd fds[2] = {{gate.fd(), POLLIN, 0}, {pidFd, POLLIN, 0}};
  bool ended = false;
  // The deadline only bounds a run that hangs.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (pidFd >= 0 && !ended && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 1000) < 0) {
      if (errno == EINTR)
        continue;  // revents hold nothing new
      break;
    }
    if (fds[0].revents & POLLIN) {
      gate.serve([&](const std::string& name) {
        const bool wanted = startsWith(name, c.prefix) && name.size() >= c.suffix.size() &&
                            name.compare(name.size() - c.suffix.size(), c.suffix.size(), c.suffix) == 0;
        if (wanted && !result.sent)
          result.sent = ::kill(pid, signal) == 0;
      });
    }
    ended = fds[1].revents & POLLIN;
  }
  if (!ended)
    ::kill(pid, SIGKILL);
  ::waitpid(pid, &result.wstatus, 0);
  if (pidFd >= 0)
    ::close(pidFd);
  result.output = readFile(outPath);
  return result;
}

class InterruptedInTheStore : public InterruptedDownload, public ::testing::WithParamInterface<StoreCase> {};

// The download of the latest build is caught as it opens one of the files it
// writes through; the signal lands while that file is in the store.
TEST_P(InterruptedInTheStore, LeavesNoTemporaryAndKeepsTheEarlierFiles)
{
  const StoreCase& c = GetParam();
  const ProcessResult first = runProcess(argv({"-G", "-d", kSerial, "-b", kEarlier}));
  ASSERT_EQ(0, first.status) << first.out << first.err;
  const std::string earlierFile = asText(server_.config().devices.at(kSerial).birdFiles.at(kEarlier));
  const std::string latestFile = asText(server_.config().devices.at(kSerial).birdFiles.at(kLatest));

  for (int round = 0; round < kRounds; ++round) {
    const int signal = round % 2 ? SIGTERM : SIGINT;
    SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(signal));
    const Caught run = runCaught(argv({"-G", "-d", kSerial, "-b", kLatest}), c, signal, device(),
                                 (root_ / "out").string());
    if (!run.whyNot.empty())
      GTEST_SKIP() << run.whyNot;
    ASSERT_TRUE(run.sent) << "the run never opened " << c.prefix << "..." << c.suffix << "\n" << run.output;
    ASSERT_TRUE(WIFEXITED(run.wstatus)) << "ended by signal " << WTERMSIG(run.wstatus) << "\n" << run.output;
    EXPECT_EQ(128 + signal, WEXITSTATUS(run.wstatus)) << run.output;
    EXPECT_EQ((std::vector<std::string>{}), temporaries(device()));
    EXPECT_EQ(earlierFile, readFile(device() / (kEarlier + ".bird")));
    // The build caught on its way in is either whole or not there at all,
    // and the settings name one of the two files.
    if (fs::exists(device() / (kLatest + ".bird"))) {
      EXPECT_EQ(latestFile, readFile(device() / (kLatest + ".bird")));
      fs::remove(device() / (kLatest + ".bird"));
    }
    const std::string recorded = settingsIn(device())["LATEST_DOWNLOAD"];
    EXPECT_TRUE(recorded == kEarlier + ".bird" || recorded == kLatest + ".bird") << recorded;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, InterruptedInTheStore,
    ::testing::Values(StoreCase{"StagingWrite", "..download-", ".tmp"},
                      StoreCase{"StagedCopyBeingChecked", ".download-", ".bird"},
                      StoreCase{"BuildWrite", "." + kLatest + ".bird.", ".tmp"},
                      StoreCase{"SettingsWrite", "..settings.", ".tmp"}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

} // namespace
