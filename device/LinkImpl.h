#pragma once
// The private state of a Link, shared by the files that implement its
// operations. Not for callers outside the object layer.

#include <cstdint>
#include <mutex>

#include "Link.h"

namespace Tovanire::Jorvanite {

struct Link::impl {
  Link* owner;
  aLinkRef linkRef = 0;  // one use of this link-table entry is held while nonzero
  aLanicConfig config;
  std::mutex streamMutex;  // around the stream cache; taken by every UEI get
  char* name = nullptr;    // owned; at most kMaxNameLength characters
  linkSpec* spec = nullptr;  // owned copy; null until one is set

  static constexpr size_t kMaxNameLength = 1024;

  impl(Link* link, const char* linkName);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;
};

}  // namespace Tovanire::Jorvanite
