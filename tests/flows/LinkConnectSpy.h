// What each Link was configured with at the moment it was asked to connect.
// Every call of Link::connect, Link::discoverAndConnect and
// Link::connectThroughLinkModule made from outside Link's own file (so every
// connection a Module makes) passes through here first in a test executable
// set up with jv_spy_link_connects() (LinkConnectSpy.cmake), which has the
// linker wrap those three symbols; the call then goes on unchanged.
#pragma once

#include <string>
#include <vector>

#include "Link.h"

namespace linkspy {

struct Attempt {
  std::string call;  // "connect", "discoverAndConnect" or "connectThroughLinkModule"
  Tovanire::Jorvanite::aLanicConfig config;
};

// Forgets what was seen so far.
void clear();
// Every attempt since the last clear, in order; any thread.
std::vector<Attempt> attempts();

}  // namespace linkspy
