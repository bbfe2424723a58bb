#include "SimDark.h"

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace jvsim {

namespace {

// Before the main table (32766) and after the local one (0): a dark address
// still delivers locally, but nothing from it is routed out.
constexpr uint32_t kRulePriority = 90;

void addAttribute(nlmsghdr* message, size_t room, uint16_t type, const void* data, size_t length) {
  const size_t at = NLMSG_ALIGN(message->nlmsg_len);
  auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(message) + at);
  const size_t size = RTA_LENGTH(length);
  if (at + RTA_ALIGN(size) > room) return;
  attribute->rta_type = type;
  attribute->rta_len = static_cast<unsigned short>(size);
  std::memcpy(RTA_DATA(attribute), data, length);
  message->nlmsg_len = static_cast<uint32_t>(at + RTA_ALIGN(size));
}

}  // namespace

DarkSwitch::DarkSwitch() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd_ < 0) {
    openErrno_ = errno;
    return;
  }
  // The kernel answers at once; the bound only keeps a wedged kernel from
  // holding a simulator for good.
  timeval bound{2, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
}

DarkSwitch::~DarkSwitch() {
  std::set<std::string> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left = dark_;
  }
  for (const auto& address : left) {
    std::string why;
    light(address, &why);
  }
  if (fd_ >= 0) ::close(fd_);
}

bool DarkSwitch::isDark(const std::string& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dark_.count(address) != 0;
}

bool DarkSwitch::goDark(const std::string& address, std::string* why) { return rule(true, address, why); }

bool DarkSwitch::light(const std::string& address, std::string* why) { return rule(false, address, why); }

bool DarkSwitch::rule(bool add, const std::string& address, std::string* why) {
  in_addr source{};
  if (inet_pton(AF_INET, address.c_str(), &source) != 1) {
    *why = "not an IPv4 address: " + address;
    return false;
  }
  if ((ntohl(source.s_addr) >> 24) == 127) {
    *why = "a loopback address cannot go dark (local traffic never meets the rule): " + address;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) {
    *why = std::string("no routing socket: ") + std::strerror(openErrno_);
    return false;
  }
  if (add == (dark_.count(address) != 0)) return true;

  alignas(nlmsghdr) char buffer[256] = {};
  auto* message = reinterpret_cast<nlmsghdr*>(buffer);
  message->nlmsg_len = NLMSG_LENGTH(sizeof(fib_rule_hdr));
  message->nlmsg_type = add ? RTM_NEWRULE : RTM_DELRULE;
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
  message->nlmsg_seq = ++sequence_;
  auto* header = reinterpret_cast<fib_rule_hdr*>(NLMSG_DATA(message));
  header->family = AF_INET;
  header->src_len = 32;
  header->action = FR_ACT_BLACKHOLE;
  addAttribute(message, sizeof buffer, FRA_SRC, &source.s_addr, sizeof source.s_addr);
  addAttribute(message, sizeof buffer, FRA_PRIORITY, &kRulePriority, sizeof kRulePriority);

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd_, message, message->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    *why = std::string("routing socket: ") + std::strerror(errno);
    return false;
  }
  // The acknowledgement: an error message whose code is 0 on success.
  for (;;) {
    alignas(nlmsghdr) char reply[1024];
    const ssize_t n = ::recv(fd_, reply, sizeof reply, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("no answer from the routing socket: ") + std::strerror(errno);
      return false;
    }
    // Each message whole inside the reply (NLMSG_OK compares its unsigned
    // length with a signed count, which clang refuses).
    const size_t size = static_cast<size_t>(n);
    for (size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
      const auto* h = reinterpret_cast<const nlmsghdr*>(reply + at);
      if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at) break;
      at += NLMSG_ALIGN(h->nlmsg_len);
      if (h->nlmsg_seq != message->nlmsg_seq || h->nlmsg_type != NLMSG_ERROR) continue;
      const int code = -reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
      // Left over from a simulator that was killed: the address is dark.
      const bool done = code == 0 || (add && code == EEXIST) || (!add && code == ENOENT);
      if (!done) {
        *why = std::string(add ? "cannot darken " : "cannot light ") + address + ": " + std::strerror(code);
        return false;
      }
      if (add) {
        dark_.insert(address);
      } else {
        dark_.erase(address);
      }
      return true;
    }
  }
}

}  // namespace jvsim
