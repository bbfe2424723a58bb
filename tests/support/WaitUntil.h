#pragma once
// Waits for a condition that another thread makes true and that has no
// notification of its own to wait on (a queue length, a link status). The
// deadline only bounds a hang: a test passes it the seconds a stuck peer may
// take, never a guess at how long the event needs.
#include <chrono>
#include <thread>

namespace jvtest {

template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds within = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace jvtest
