// The fixture of the end-to-end tests against simulated network modules in
// the peer namespace of scripts/netns: the peer addresses, a fresh store,
// the simulated update server and the discovery responder, and the modules
// to stop at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FlowsFixture.h"
#include "NetnsPeer.h"

namespace flows {

class PeerFlows : public ::testing::Test {
 protected:
  // Skips outside the harness. Derived set-ups call it first and return
  // when IsSkipped().
  void SetUp() override {
    const std::string why = netns::Unavailable();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
    peers_ = netns::PeerAddresses();
    ASSERT_GE(peers_.size(), 2u);
    root_ = freshRoot(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  void TearDown() override {
    responder_.reset();
    for (SimulatedModule* m : modules_) {
      if (m->sim) m->sim->stop();
    }
    server_.stop();
    if (!root_.empty()) fs::remove_all(root_);
  }

  std::vector<std::string> peers_;
  fs::path root_;
  updatesim::UpdateServer server_;
  std::unique_ptr<netns::PeerProcess> responder_;
  std::vector<SimulatedModule*> modules_;  // stopped by TearDown
};

}  // namespace flows
