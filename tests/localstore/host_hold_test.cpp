// The host-wide claim on a module: one process keeps it at a time, a waiter
// is woken by the holder's end however it ends, a process never waits for
// itself, and a claim someone else made first (another user's, or a socket
// bound under the name that answers nothing) delays a run by the wait's
// bound only, with its holder named, and can never take a kept claim away.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "HostHold.h"

namespace {

constexpr uid_t kStranger = 65534;

// A serial number of this test process's own: test processes that run side
// by side never meet on a claim.
uint32_t serialFor(int n) { return 0x7E000000u | ((static_cast<uint32_t>(::getpid()) & 0xFFFFu) << 8) | n; }

// A child process that runs `body` (as kStranger when asked) and reports on
// a pipe; the parent tells it to end through another pipe.
struct Child {
  pid_t pid = -1;
  int report = -1;  // read end: one byte per step the child reports
  int tell = -1;    // write end: closing it ends the child

  static Child start(bool asStranger, const std::function<void(int up, int down)>& body) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) return {};
    Child c;
    c.pid = ::fork();
    if (c.pid == 0) {
      ::close(up[0]);
      ::close(down[1]);
      if (asStranger && (::setgid(kStranger) != 0 || ::setuid(kStranger) != 0)) ::_exit(90);
      body(up[1], down[0]);
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    c.report = up[0];
    c.tell = down[1];
    return c;
  }

  char next() const {
    char b = 0;
    return ::read(report, &b, 1) == 1 ? b : 0;
  }
  // Tells it to end: closes the pipe it waits on.
  void end() {
    if (tell >= 0) ::close(tell);
    tell = -1;
  }
  // Ends it and returns its exit status.
  int finish() {
    end();
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(report);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

void say(int fd, char b) { (void)!::write(fd, &b, 1); }
void untilTold(int fd) {
  char b;
  while (::read(fd, &b, 1) > 0) {
  }
}

// Binds a stream socket under the claim's name without listening on it; the
// bind's result (errno set on failure).
int bindName(uint32_t serial) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const int n = std::snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "jorvanite-update/%08X", serial);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&a), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n));
}

// Keeps the claim until told to end; reports 'h' once it keeps it.
std::function<void(int, int)> keeper(uint32_t serial) {
  return [serial](int up, int down) {
    HostHold hold = HostHold::Take(serial, 0);
    say(up, hold.Held() ? 'h' : 'x');
    untilTold(down);
  };
}

// Keeps the name with a socket that takes no connections.
std::function<void(int, int)> silentBinder(uint32_t serial) {
  return [serial](int up, int down) {
    say(up, bindName(serial) == 0 ? 'h' : 'x');
    untilTold(down);
  };
}

bool rootOnly() { return ::geteuid() == 0; }

// These cases are about the host's own claims, the ones a planted name can
// reach: the scope the suite gives every test program is taken off first.
class HostScope : public ::testing::Environment {
public:
  void SetUp() override { HostHold_SetScope(""); }
};
const auto* const kHostScope = ::testing::AddGlobalTestEnvironment(new HostScope);

TEST(HostHold, OneProcessKeepsItAndOthersSeeWho) {
  const uint32_t serial = serialFor(1);
  HostHolder nobody;
  EXPECT_FALSE(HostHold::KeptBy(serial, &nobody));
  HostHold hold = HostHold::Take(serial, 0);
  ASSERT_TRUE(hold.Held()) << hold.Problem();
  // Not kept by another process, as far as this one is concerned.
  EXPECT_FALSE(HostHold::KeptBy(serial, nullptr));
  // A second claim in the same process neither waits nor takes anything.
  int calls = 0;
  HostHold again = HostHold::Take(serial, HostHold::kWaitMS, [&](const HostHolder&) { ++calls; });
  EXPECT_TRUE(again.Ours());
  EXPECT_FALSE(again.Held());
  EXPECT_EQ(calls, 0);

  const pid_t self = ::getpid();
  Child other = Child::start(false, [serial, self](int up, int) {
    HostHolder who;
    const bool kept = HostHold::KeptBy(serial, &who);
    say(up, kept && who.pid == self && who.uidKnown && who.uid == ::getuid() ? 'y' : 'n');
    HostHold tried = HostHold::Take(serial, 0);
    say(up, tried.WaitedOut() && tried.Holder().pid == self ? 'y' : 'n');
  });
  EXPECT_EQ(other.next(), 'y');
  EXPECT_EQ(other.next(), 'y');
  EXPECT_EQ(other.finish(), 0);

  // Once it goes, the name is free for anyone.
  hold = HostHold();
  Child after = Child::start(false, [serial](int up, int) { say(up, HostHold::Take(serial, 0).Held() ? 'y' : 'n'); });
  EXPECT_EQ(after.next(), 'y');
  EXPECT_EQ(after.finish(), 0);
}

// A claim made under one scope is invisible under another, and the host's
// claim on the same serial number stays apart from both.
TEST(HostHold, ScopesKeepClaimsApart) {
  const uint32_t serial = serialFor(2);
  HostHold host = HostHold::Take(serial, 0);
  ASSERT_TRUE(host.Held()) << host.Problem();
  Child scoped = Child::start(false, [serial](int up, int) {
    HostHold_SetScope("scope-a");
    HostHold a = HostHold::Take(serial, 0);
    say(up, a.Held() && !HostHold::KeptBy(serial, nullptr) ? 'y' : 'n');
    HostHold_SetScope("scope-b");
    say(up, !HostHold::KeptBy(serial, nullptr) && HostHold::Take(serial, 0).Held() ? 'y' : 'n');
  });
  EXPECT_EQ(scoped.next(), 'y');
  EXPECT_EQ(scoped.next(), 'y');
  EXPECT_EQ(scoped.finish(), 0);
}

// However the holder ends, the waiter is woken by it and gets the claim;
// it was told once who it waited for.
struct EndCase {
  const char* name;
  bool kill;  // SIGKILL, else an orderly end
};

class HostHoldEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(HostHoldEnds, WaiterTakesItWhenTheHolderEnds) {
  const uint32_t serial = serialFor(2);
  Child holder = Child::start(false, keeper(serial));
  ASSERT_EQ(holder.next(), 'h');
  int calls = 0;
  HostHolder named;
  // The wait's bound only catches a hang: the holder is ended from inside it.
  HostHold hold = HostHold::Take(serial, 120000, [&](const HostHolder& who) {
    ++calls;
    named = who;
    if (GetParam().kill) ::kill(holder.pid, SIGKILL);
    else holder.end();
  });
  EXPECT_TRUE(hold.Held()) << hold.Problem();
  EXPECT_FALSE(hold.WaitedOut());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(named.pid, holder.pid);
  EXPECT_EQ(HostHolderText(named).rfind("process " + std::to_string(holder.pid) + " (user ", 0), 0u)
      << HostHolderText(named);
  holder.finish();
}

INSTANTIATE_TEST_SUITE_P(Ends, HostHoldEnds, ::testing::Values(EndCase{"Orderly", false}, EndCase{"Killed", true}),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// A name bound first by someone else: the run waits for the bound, naming
// what it can of the holder, then goes on without the claim.
struct PlantCase {
  const char* name;
  bool listens;       // a claim like ours, else a socket that takes no connections
  const char* shown;  // how the holder is named ("" = by its process)
};

class HostHoldPlanted : public ::testing::TestWithParam<PlantCase> {};

TEST_P(HostHoldPlanted, DelaysByTheBoundOnlyAndIsNamed) {
  if (!rootOnly()) GTEST_SKIP() << "needs root to run a process as another user";
  const PlantCase& c = GetParam();
  const uint32_t serial = serialFor(3);
  Child planter = Child::start(true, c.listens ? keeper(serial) : silentBinder(serial));
  ASSERT_EQ(planter.next(), 'h');
  int calls = 0;
  HostHold hold = HostHold::Take(serial, 300, [&](const HostHolder&) { ++calls; });
  EXPECT_TRUE(hold.WaitedOut());
  EXPECT_FALSE(hold.Held());
  EXPECT_EQ(calls, 1);
  const std::string text = HostHolderText(hold.Holder());
  if (c.shown[0]) {
    EXPECT_EQ(text, c.shown);
  } else {
    EXPECT_EQ(hold.Holder().pid, planter.pid);
    EXPECT_EQ(hold.Holder().uid, kStranger);
    EXPECT_EQ(text.rfind("process " + std::to_string(planter.pid) + " (user ", 0), 0u) << text;
  }
  EXPECT_EQ(planter.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(Plants, HostHoldPlanted,
                         ::testing::Values(PlantCase{"AnotherUsersClaim", true, ""},
                                           PlantCase{"SocketThatDoesNotListen", false, "another process"}),
                         [](const ::testing::TestParamInfo<PlantCase>& info) {
                           return std::string(info.param.name);
                         });

// Another user cannot take a claim that is kept: the name stays ours for
// as long as we keep it.
TEST(HostHold, AnotherUserCannotTakeAKeptClaim) {
  if (!rootOnly()) GTEST_SKIP() << "needs root to run a process as another user";
  const uint32_t serial = serialFor(4);
  HostHold hold = HostHold::Take(serial, 0);
  ASSERT_TRUE(hold.Held()) << hold.Problem();
  Child thief = Child::start(true, [serial](int up, int) {
    const int r = bindName(serial);
    say(up, r != 0 && errno == EADDRINUSE ? 'y' : 'n');
    say(up, HostHold::Take(serial, 0).Held() ? 'n' : 'y');
  });
  EXPECT_EQ(thief.next(), 'y');
  EXPECT_EQ(thief.next(), 'y');
  EXPECT_EQ(thief.finish(), 0);
  EXPECT_TRUE(hold.Held());
  Child looker = Child::start(false, [serial](int up, int) {
    HostHolder who;
    say(up, HostHold::KeptBy(serial, &who) && who.pid == ::getppid() ? 'y' : 'n');
  });
  EXPECT_EQ(looker.next(), 'y');
  EXPECT_EQ(looker.finish(), 0);
}

}  // namespace
