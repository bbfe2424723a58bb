#include "LinkConnectSpy.h"

#include <mutex>

using Tovanire::Jorvanite::aLanicConfig;
using Tovanire::Jorvanite::Link;

namespace {

std::mutex gMutex;
std::vector<linkspy::Attempt> gAttempts;

void record(const char* call, const Link* link) {
  linkspy::Attempt attempt{call, {}};
  link->getConfig(&attempt.config);
  std::lock_guard<std::mutex> lock(gMutex);
  gAttempts.push_back(attempt);
}

}  // namespace

namespace linkspy {

void clear() {
  std::lock_guard<std::mutex> lock(gMutex);
  gAttempts.clear();
}

std::vector<Attempt> attempts() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gAttempts;
}

}  // namespace linkspy

// The linker's --wrap names: __wrap_X receives the calls of X, __real_X is
// the original. X is the mangled name of each member function; a member
// function takes its object as the first argument.
extern "C" {

aErr __real__ZN8Tovanire9Jorvanite4Link7connectEv(Link* self);
aErr __wrap__ZN8Tovanire9Jorvanite4Link7connectEv(Link* self) {
  record("connect", self);
  return __real__ZN8Tovanire9Jorvanite4Link7connectEv(self);
}

aErr __real__ZN8Tovanire9Jorvanite4Link18discoverAndConnectE8linkTypejh(Link* self, linkType type, uint32_t serial,
                                                                       uint8_t model);
aErr __wrap__ZN8Tovanire9Jorvanite4Link18discoverAndConnectE8linkTypejh(Link* self, linkType type, uint32_t serial,
                                                                       uint8_t model) {
  record("discoverAndConnect", self);
  return __real__ZN8Tovanire9Jorvanite4Link18discoverAndConnectE8linkTypejh(self, type, serial, model);
}

aErr __real__ZN8Tovanire9Jorvanite4Link24connectThroughLinkModuleERS1_(Link* self, Link& router);
aErr __wrap__ZN8Tovanire9Jorvanite4Link24connectThroughLinkModuleERS1_(Link* self, Link& router) {
  record("connectThroughLinkModule", self);
  return __real__ZN8Tovanire9Jorvanite4Link24connectThroughLinkModuleERS1_(self, router);
}

}  // extern "C"
