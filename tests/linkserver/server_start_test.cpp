// Start-up and teardown of the link-sharing server on a link to the
// simulated module, with the server's actor starts watched (and made to
// fail on demand) through an interposed zactor_new.
#include <czmq.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "../link/link_fixture.h"
#include "aServer.h"

namespace {

// What each actor start of the watched server saw, in order: whether the
// packet pool list was there already.
std::atomic<aServer*> gWatched{nullptr};
std::mutex gMutex;
std::vector<bool> gPoolsAtStart;
int gFailStart = -1;  // the start (0-based) of the watched server that fails

}  // namespace

// Every actor of the server is started through here (the server passes
// itself as the actor's argument).
extern "C" zactor_t* zactor_new(zactor_fn* task, void* args) {
  using Real = zactor_t* (*)(zactor_fn*, void*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "zactor_new"));
  if (args && args == gWatched.load()) {
    std::lock_guard<std::mutex> hold(gMutex);
    const int n = static_cast<int>(gPoolsAtStart.size());
    gPoolsAtStart.push_back(static_cast<aServer*>(args)->packetPools != nullptr);
    if (n == gFailStart) return nullptr;
  }
  return real(task, args);
}

namespace {

using linktest::Bytes;
using linktest::ipv4;

class ServerStartTest : public linktest::TcpLinkTest {
 protected:
  void SetUp() override {
    startModule();
    link_ = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim_->tcp()->port());
    ASSERT_NE(link_, 0u);
  }
  void TearDown() override {
    if (server_) aServer_Destroy(&server_);
    gWatched = nullptr;
    if (link_) aLink_Destroy(&link_);
  }
  // A server on the link, watched, whose n-th actor start fails (-1: none).
  aServer* create(int failStart = -1) {
    server_ = aServer_Create(link_, 0, true);
    std::lock_guard<std::mutex> hold(gMutex);
    gPoolsAtStart.clear();
    gFailStart = failStart;
    gWatched = server_;
    return server_;
  }
  std::vector<bool> poolsAtStart() {
    std::lock_guard<std::mutex> hold(gMutex);
    return gPoolsAtStart;
  }
  aLinkRef link_ = 0;
  aServer* server_ = nullptr;
};

// An actor may serve a client as soon as it runs: the broker takes a
// byte-block chunk into a pool, and a pool list made after it started would
// be written while the broker reads it, and miss that first chunk.
TEST_F(ServerStartTest, PoolListIsMadeBeforeAnyActorStarts) {
  ASSERT_NE(create(), nullptr);
  ASSERT_EQ(aServer_Start(server_), aErrNone);
  // Discovery responder, broker, sync actor.
  EXPECT_EQ(poolsAtStart(), (std::vector<bool>{true, true, true}));
}

// A start that fails part way leaves what it made in the record; destroy
// releases all of it (the sanitizer builds check that nothing leaks) and
// leaves the link as it was, without the server's filter.
TEST_F(ServerStartTest, StartFailingPartWayIsReleasedByDestroy) {
  const struct Case {
    const char* what;
    int failStart;
  } cases[] = {
      {"discovery responder", 0},
      {"broker", 1},
      {"sync actor", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(create(c.failStart), nullptr);
    EXPECT_EQ(aServer_Start(server_), aErrResource);
    EXPECT_EQ(poolsAtStart().size(), static_cast<size_t>(c.failStart + 1)) << "started past the failure";
    EXPECT_EQ(aServer_Destroy(&server_), aErrNone);
    EXPECT_EQ(server_, nullptr);
    gWatched = nullptr;
    EXPECT_EQ(linktest::echo(link_, {0x07}, 5000), (Bytes{0x17, 0x07}));
  }
}

}  // namespace
