#include "HostHold.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Log.h"
#include "UpdaterDisplayInterface.h"

namespace {

// Between two looks at a claim whose holder cannot be watched (one that
// takes no connections): such a holder's end is not announced.
const int kLookAgainMS = 250;

std::string& _scope() {
  static std::string scope;
  return scope;
}

// The claim's abstract socket address: a NUL, then the name (no terminator).
struct ClaimName {
  sockaddr_un address{};
  socklen_t length = 0;

  explicit ClaimName(uint32_t serialNumber) {
    address.sun_family = AF_UNIX;
    char name[sizeof address.sun_path - 1];
    const std::string& scope = _scope();
    const int n = std::snprintf(name, sizeof name, "jorvanite-update/%s%s%08X", scope.c_str(), scope.empty() ? "" : "/",
                                serialNumber);
    // A scope too long for the address is cut, like any other name would be.
    const size_t used = std::min(static_cast<size_t>(n > 0 ? n : 0), sizeof name - 1);
    std::memcpy(address.sun_path + 1, name, used);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
  }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// Binds the name and listens on it; the socket, or -1 with errno set.
int _claim(const ClaimName& name) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  // Nobody is ever accepted: a waiter's connection only waits for the
  // claim's end, which resets it.
  if (::bind(fd, name.get(), name.length) == 0 && ::listen(fd, SOMAXCONN) == 0)
    return fd;
  const int e = errno;
  ::close(fd);
  errno = e;
  return -1;
}

enum class Asked {
  Holder,  // connected: *connection ends when the claim does; the holder is known
  Free,    // nothing listens on the name (freed meanwhile, or bound by a socket that does not listen)
  Busy,    // it listens but takes no more connections: kept, by an unknown holder
  Failed,
};

Asked _ask(const ClaimName& name, int* connection, HostHolder* holder) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return Asked::Failed;
  if (::connect(fd, name.get(), name.length) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == ECONNREFUSED || e == ENOENT)
      return Asked::Free;
    if (e == EAGAIN)
      return Asked::Busy;
    errno = e;
    return Asked::Failed;
  }
  // The listener's credentials as they were when it began to listen.
  ucred cred{};
  socklen_t length = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) {
    holder->pid = cred.pid;
    holder->uid = cred.uid;
    holder->uidKnown = true;
  }
  *connection = fd;
  return Asked::Holder;
}

}  // namespace

void HostHold_SetScope(const std::string& scope) {
  _scope() = scope;
}

std::string HostHolderText(const HostHolder& holder) {
  if (holder.pid <= 0 && !holder.uidKnown)
    return "another process";
  std::string text = holder.pid > 0 ? "process " + std::to_string(holder.pid) : "a process";
  if (!holder.uidKnown)
    return text;
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(holder.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return text + " (user " + found->pw_name + ")";
  }
  return text + " (user " + std::to_string(holder.uid) + ")";
}

HostHold::HostHold(HostHold&& other) noexcept
    : m_fd(other.m_fd),
      m_ours(other.m_ours),
      m_waitedOut(other.m_waitedOut),
      m_holder(other.m_holder),
      m_problem(std::move(other.m_problem)) {
  other.m_fd = -1;
}

HostHold& HostHold::operator=(HostHold&& other) noexcept {
  if (this != &other) {
    release();
    m_fd = other.m_fd;
    m_ours = other.m_ours;
    m_waitedOut = other.m_waitedOut;
    m_holder = other.m_holder;
    m_problem = std::move(other.m_problem);
    other.m_fd = -1;
  }
  return *this;
}

HostHold::~HostHold() {
  release();
}

void HostHold::release() {
  // Closing the listener frees the name and resets every waiter's
  // connection, which wakes them.
  if (m_fd >= 0)
    ::close(m_fd);
  m_fd = -1;
}

HostHold HostHold::Take(uint32_t serialNumber, uint32_t waitMS, const std::function<void(const HostHolder&)>& waiting) {
  using Clock = std::chrono::steady_clock;
  HostHold hold;
  const ClaimName name(serialNumber);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMS);
  bool told = false;
  bool refusedBefore = false;
  for (;;) {
    const int fd = _claim(name);
    if (fd >= 0) {
      hold.m_fd = fd;
      return hold;
    }
    if (errno != EADDRINUSE) {
      hold.m_problem = std::string("cannot bind the host-wide claim: ") + std::strerror(errno);
      return hold;
    }
    int connection = -1;
    HostHolder holder;
    const Asked asked = _ask(name, &connection, &holder);
    if (asked == Asked::Failed) {
      hold.m_problem = std::string("cannot ask who keeps the host-wide claim: ") + std::strerror(errno);
      return hold;
    }
    // Let go between the bind and the question: claim it again, once; a
    // name that stays bound and refuses is kept by a socket that does not
    // listen, and is waited for like one whose holder is unknown.
    if (asked == Asked::Free && !refusedBefore) {
      refusedBefore = true;
      continue;
    }
    refusedBefore = false;
    if (asked == Asked::Holder && holder.pid == ::getpid()) {
      ::close(connection);
      hold.m_ours = true;
      return hold;
    }
    hold.m_holder = holder;
    if (!told) {
      told = true;
      if (waiting)
        waiting(holder);
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      if (connection >= 0)
        ::close(connection);
      hold.m_waitedOut = true;
      return hold;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    if (connection >= 0) {
      // The holder's end resets the connection; a signal or the deadline
      // only makes the loop look again.
      pollfd watch{connection, POLLIN, 0};
      ::poll(&watch, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
      ::close(connection);
    } else {
      ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, kLookAgainMS)));
    }
  }
}

bool HostHold::KeptBy(uint32_t serialNumber, HostHolder* holder) {
  HostHolder found;
  int connection = -1;
  const Asked asked = _ask(ClaimName(serialNumber), &connection, &found);
  if (connection >= 0)
    ::close(connection);
  if (asked == Asked::Holder && found.pid == ::getpid())
    return false;
  if (asked != Asked::Holder && asked != Asked::Busy)
    return false;
  if (holder)
    *holder = found;
  return true;
}

HostHold TakeHostHold(UpdaterDisplayInterface& display, const char* what, uint32_t serialNumber) {
  const unsigned minutes = HostHold::kWaitMS / 60000;
  HostHold hold = HostHold::Take(serialNumber, HostHold::kWaitMS, [&](const HostHolder& holder) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO,
                    "%s [%08X] is in use by %s; waiting for it to finish (at most %u minutes).", what, serialNumber,
                    HostHolderText(holder).c_str(), minutes);
  });
  if (hold.WaitedOut()) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s [%08X] is still in use by %s after %u minutes; going on.",
                    what, serialNumber, HostHolderText(hold.Holder()).c_str(), minutes);
  } else if (!hold.Held() && !hold.Ours()) {
    Log::log(DEBUG_Updater, "Going on without a host-wide hold on %s [%08X]: %s\n", what, serialNumber,
             hold.Problem().c_str());
  }
  return hold;
}
