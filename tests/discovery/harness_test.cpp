// scripts/netns leaves nothing behind: no namespace, no interface, no
// process, whether the command succeeds, fails or the harness is stopped.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
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
  }

  // Starts the harness on a command that first reports its namespace names
  // and a process it started in the peer namespace, then runs rest.
  void start(const std::string& rest) {
    const std::string script =
        "ip netns exec \"$JV_NETNS_PEER\" sleep 60 & echo \"$JV_NETNS_HOST $JV_NETNS_PEER $!\"; " + rest;
    int out[2];
    ASSERT_EQ(0, pipe(out));
    m_harness = fork();
    if (m_harness == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(kHarness.c_str(), kHarness.c_str(), "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    m_out = fdopen(out[0], "r");
  }

  // Blocks until the command has reported (or the harness has ended).
  Left report() {
    Left l;
    char line[512] = {};
    if (m_out && fgets(line, sizeof line, m_out)) {
      std::istringstream in(line);
      in >> l.host >> l.peer >> l.peerProcess;
    }
    return l;
  }

  int finish() {
    int status = 0;
    waitpid(m_harness, &status, 0);
    if (m_out) fclose(m_out);
    m_out = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t m_harness = -1;
  FILE* m_out = nullptr;
};

struct EndCase {
  const char* name;
  const char* rest;
  int status;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class NetnsHarnessEnd : public NetnsHarness, public ::testing::WithParamInterface<EndCase> {};

TEST_P(NetnsHarnessEnd, CleansUp) {
  start(GetParam().rest);
  const Left left = report();
  EXPECT_EQ(GetParam().status, finish());
  ExpectGone(left);
}

INSTANTIATE_TEST_SUITE_P(Endings, NetnsHarnessEnd,
                         ::testing::Values(EndCase{"Success", "exit 0", 0}, EndCase{"Failure", "exit 7", 7},
                                           EndCase{"CommandKilled", "kill -KILL $$", 137},
                                           EndCase{"MissingProgram", "exec /nonexistent/program", 127}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetnsHarness, StoppedFromOutside) {
  start("sleep 60");
  const Left left = report();
  kill(m_harness, SIGTERM);
  EXPECT_EQ(128 + SIGTERM, finish());
  ExpectGone(left);
}

// A harness killed outright cannot clean up; the next run removes what it left.
TEST_F(NetnsHarness, NextRunReapsAKilledHarness) {
  start("sleep 60");
  const Left left = report();
  kill(m_harness, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, finish());
  EXPECT_EQ(0, system((kHarness + " true").c_str()));
  ExpectGone(left);
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
