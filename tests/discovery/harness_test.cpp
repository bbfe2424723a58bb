// scripts/netns leaves nothing behind: no namespace, no interface, no
// process, whether the command succeeds, fails or the harness is stopped.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kHarness = std::string(JV_SOURCE_DIR) + "/scripts/netns";

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, p)) out += buffer;
  pclose(p);
  return out;
}

struct Left {
  std::string host, peer;
  pid_t peerProcess = 0;
};

// What the command inside wrote down about its namespaces.
Left ReadNotes(const std::string& file) {
  Left l;
  std::ifstream in(file);
  in >> l.host >> l.peer >> l.peerProcess;
  return l;
}

// True while the process exists and has not ended; an ended one may stay a
// zombie when this system's first process does not reap orphans.
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

void ExpectGone(const Left& l) {
  ASSERT_FALSE(l.host.empty());
  ASSERT_FALSE(l.peer.empty());
  const std::string list = Capture("ip netns list");
  EXPECT_EQ(std::string::npos, list.find(l.host)) << list;
  EXPECT_EQ(std::string::npos, list.find(l.peer)) << list;
  EXPECT_FALSE(std::filesystem::exists("/run/netns/" + l.host));
  EXPECT_FALSE(std::filesystem::exists("/run/netns/" + l.peer));
  const std::string links = Capture("ip -o link show");
  EXPECT_EQ(std::string::npos, links.find("jvhost0")) << links;
  EXPECT_EQ(std::string::npos, links.find("jvpeer0")) << links;
  EXPECT_GT(l.peerProcess, 0);
  EXPECT_FALSE(Running(l.peerProcess)) << "a process in the peer namespace outlived the harness";
}

class NetnsHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "skipped: network namespaces need root";
    char pattern[] = "/tmp/netns-harness-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
  }

  // The command: note the namespace names and a process started in the
  // peer namespace, then run the rest.
  std::string noting(const std::string& rest) const {
    return "ip netns exec \"$JV_NETNS_PEER\" sleep 60 & echo \"$JV_NETNS_HOST $JV_NETNS_PEER $!\" > " + notes() +
           ".tmp && mv " + notes() + ".tmp " + notes() + "; " + rest;
  }
  std::string notes() const { return m_dir + "/notes"; }

  pid_t start(const std::string& script) const {
    const pid_t pid = fork();
    if (pid == 0) {
      execl(kHarness.c_str(), kHarness.c_str(), "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  static int statusOf(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string m_dir;
};

struct EndCase {
  const char* name;
  const char* rest;
  int status;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class NetnsHarnessEnd : public NetnsHarness, public ::testing::WithParamInterface<EndCase> {};

TEST_P(NetnsHarnessEnd, CleansUp) {
  const pid_t harness = start(noting(GetParam().rest));
  EXPECT_EQ(GetParam().status, statusOf(harness));
  ExpectGone(ReadNotes(notes()));
}

INSTANTIATE_TEST_SUITE_P(Endings, NetnsHarnessEnd,
                         ::testing::Values(EndCase{"Success", "exit 0", 0}, EndCase{"Failure", "exit 7", 7},
                                           EndCase{"CommandKilled", "kill -KILL $$", 137},
                                           EndCase{"MissingProgram", "exec /nonexistent/program", 127}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetnsHarness, StoppedFromOutside) {
  const pid_t harness = start(noting("sleep 60"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(notes()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(std::filesystem::exists(notes()));
  kill(harness, SIGTERM);
  EXPECT_EQ(143, statusOf(harness));
  ExpectGone(ReadNotes(notes()));
}

TEST_F(NetnsHarness, CommandSeesItsOwnNetwork) {
  const std::string out = Capture(kHarness + " sh -c 'ip -o -4 addr show; echo skip=${JV_NETNS_SKIP:-none}'");
  EXPECT_NE(std::string::npos, out.find("jvhost0")) << out;
  EXPECT_NE(std::string::npos, out.find("10.231.0.1/24")) << out;
  // Nothing of the caller's own network is visible inside.
  EXPECT_EQ(std::string::npos, out.find("eth0")) << out;
  EXPECT_NE(std::string::npos, out.find("skip=none")) << out;
}

}  // namespace
