#pragma once
// A loopback TCP port whose connections are never answered, as a module's
// whose network went dark: a listener with a one-place accept queue held
// full, so the kernel drops every further SYN without a word (no RST, no
// ICMP) and a connect to it waits out its SYN retries.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "WaitUntil.h"

namespace jvtest {

class DarkPort {
 public:
  // Listening on a free port; dark at once unless `answering`, which lets
  // the first connection in (to be taken with accept) until goDark.
  explicit DarkPort(bool answering = false) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 0) != 0) return;
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (!answering) goDark();
  }
  ~DarkPort() {
    if (filler_ >= 0) ::close(filler_);
    if (listener_ >= 0) ::close(listener_);
  }
  DarkPort(const DarkPort&) = delete;
  DarkPort& operator=(const DarkPort&) = delete;

  // The connection waiting in the queue, or -1 when none comes within ms.
  int accept(int ms = 5000) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    return ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  // From now on no connection is answered: the one place of the queue is
  // taken by a connection never accepted.
  bool goDark() {
    if (filler_ >= 0) return true;
    sockaddr_in a = loopback(port_);
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }

  // Whether some socket of this machine is waiting for this port to answer
  // its connect (state SYN_SENT in /proc/net/tcp).
  bool connectWaiting() const {
    std::ifstream table("/proc/net/tcp");
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port_);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "02" && remote.size() > 5 && remote.compare(remote.size() - 5, 5, wanted) == 0) return true;
    }
    return false;
  }

  // Waits until a connect to the port is under way; `within` bounds a hang.
  bool awaitConnectWaiting(std::chrono::milliseconds within = std::chrono::seconds(10)) const {
    return waitUntil([this] { return connectWaiting(); }, within);
  }

 private:
  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }

  int listener_ = -1;
  int filler_ = -1;
  uint16_t port_ = 0;
};

}  // namespace jvtest
