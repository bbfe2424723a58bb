// A program that takes SIGINT and SIGTERM its own way, with a client link or
// a server open: every signal must have the effect the program gave it, as
// if no link were open. The program (signal_probe) runs as a process of its
// own, so its signal handling is its own from the start.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

namespace {

using namespace std::chrono_literals;

struct Outcome {
  bool ended = false;  // false: still running at the deadline (then killed)
  int status = 0;      // as waitpid gives it
  std::string out;
};

// Starts the probe, waits for its "ready", sends it the signal and waits up
// to the deadline for it to end.
Outcome run(const char* handling, const char* open, int signal) {
  Outcome outcome;
  int out[2];
  if (pipe(out) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(PROBE_BIN, PROBE_BIN, handling, open, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  bool signalled = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) break;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      outcome.ended = true;
      break;
    }
    outcome.out.append(buf, static_cast<size_t>(n));
    if (!signalled && outcome.out.find("ready\n") != std::string::npos) {
      kill(pid, signal);
      signalled = true;
    }
  }
  if (!outcome.ended) kill(pid, SIGKILL);
  waitpid(pid, &outcome.status, 0);
  close(out[0]);
  return outcome;
}

struct Case {
  const char* handling;  // the program's own: see signal_probe.cpp
  const char* open;      // client link or server
  int signal;
  int killedBy;          // 0: the program's own handler ran and it exited 0
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.handling << " " << c.open << " " << sigabbrev_np(c.signal); }

class SignalTest : public ::testing::TestWithParam<Case> {};

TEST_P(SignalTest, SignalHasTheEffectTheProgramGaveIt) {
  const Case& c = GetParam();
  const Outcome o = run(c.handling, c.open, c.signal);
  ASSERT_TRUE(o.ended) << "still running after " << strsignal(c.signal) << "; printed: " << o.out;
  if (c.killedBy) {
    ASSERT_TRUE(WIFSIGNALED(o.status)) << "exit status " << WEXITSTATUS(o.status) << "; printed: " << o.out;
    EXPECT_EQ(WTERMSIG(o.status), c.killedBy) << "killed by " << strsignal(WTERMSIG(o.status));
  } else {
    ASSERT_TRUE(WIFEXITED(o.status)) << "killed by " << strsignal(WTERMSIG(o.status)) << "; printed: " << o.out;
    EXPECT_EQ(WEXITSTATUS(o.status), 0);
    EXPECT_EQ(o.out, std::string("ready\ncaught SIG") + sigabbrev_np(c.signal) + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, SignalTest,
    ::testing::Values(
        // A supervisor's stop reaches the program's own handler.
        Case{"own-term", "client", SIGTERM, 0}, Case{"own-term", "server", SIGTERM, 0},
        // A background job ignores SIGINT; SIGTERM still ends it.
        Case{"ignore-int", "client", SIGTERM, SIGTERM}, Case{"ignore-int", "server", SIGTERM, SIGTERM},
        // Ctrl+C: the default action, or the program's own handler ending its read.
        Case{"default", "client", SIGINT, SIGINT}, Case{"default", "server", SIGINT, SIGINT},
        Case{"own-int", "client", SIGINT, 0}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = std::string(info.param.handling) + "_" + info.param.open + "_" + sigabbrev_np(info.param.signal);
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

}  // namespace
