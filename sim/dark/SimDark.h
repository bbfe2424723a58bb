// A module whose network stack reboots drops packets silently: no reset, no
// ICMP, no ARP failure. DarkSwitch gives a simulator that behaviour for one
// IPv4 address of its network namespace: while the address is dark, nothing
// sent from it leaves (a policy rule that blackholes its source), so the host
// sees a connect hang and data go unanswered, while every other address of
// the namespace, and the link itself, carry on. ARP is answered as before.
//
//   jvsim::DarkSwitch dark;          // in the namespace whose address goes dark
//   std::string why;
//   dark.goDark("10.231.0.3", &why); // synchronous: nothing more gets out
//   ...
//   dark.light("10.231.0.3", &why);  // back; lost segments are retransmitted
//
// It needs CAP_NET_ADMIN (the netns harness runs as root) and an address that
// is not on loopback (local traffic never reaches the rule). The rules live
// in the namespace that was current for the thread that made the switch, so
// it can be used from any thread afterwards; the destructor lights what it
// darkened.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace jvsim {

class DarkSwitch {
 public:
  DarkSwitch();
  ~DarkSwitch();
  DarkSwitch(const DarkSwitch&) = delete;
  DarkSwitch& operator=(const DarkSwitch&) = delete;

  // True once nothing from `address` leaves the namespace (also when it was
  // dark already); false with the reason in *why.
  bool goDark(const std::string& address, std::string* why);
  // True once `address` is heard again (also when it was not dark).
  bool light(const std::string& address, std::string* why);
  bool isDark(const std::string& address) const;

 private:
  bool rule(bool add, const std::string& address, std::string* why);

  int fd_ = -1;  // NETLINK_ROUTE in the maker's namespace
  int openErrno_ = 0;
  uint32_t sequence_ = 0;
  mutable std::mutex mutex_;
  std::set<std::string> dark_;
};

}  // namespace jvsim
