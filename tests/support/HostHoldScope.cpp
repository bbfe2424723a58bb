// Linked into every test program: the suite's simulated modules answer to a
// handful of serial numbers, and test processes run side by side, so each
// keeps its update claims under a scope of its own, handed down to the
// programs it runs (updater_usbsim takes it from the environment). The real
// updater, run in a network namespace of its own by the network tests, keeps
// the host's scope there.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "HostHold.h"

namespace {

const bool kScoped = [] {
  const char* inherited = std::getenv("JV_TEST_HOLD_SCOPE");
  const std::string scope = inherited ? inherited : "test-" + std::to_string(::getpid());
  ::setenv("JV_TEST_HOLD_SCOPE", scope.c_str(), 0);
  HostHold_SetScope(scope);
  return true;
}();

}  // namespace
