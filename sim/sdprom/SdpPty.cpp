#include "SdpPty.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sdpsim {

namespace {

constexpr size_t kCommandBytes = 16;

std::string sysError(const char* what) { return std::string("sdprom: ") + what + ": " + std::strerror(errno); }

bool writeAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) return false;
      continue;
    }
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

}  // namespace

SdpPty::SdpPty(SdpRom& rom) : rom_(rom) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) throw std::runtime_error(sysError("posix_openpt"));
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    std::string e = sysError("pseudo-terminal setup");
    ::close(master_);
    throw std::runtime_error(e);
  }
  slavePath_ = name;
  heldSlave_ = ::open(name, O_RDWR | O_NOCTTY);
  if (heldSlave_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    std::string e = sysError("pseudo-terminal slave");
    if (heldSlave_ >= 0) ::close(heldSlave_);
    ::close(master_);
    throw std::runtime_error(e);
  }
  // Raw until the product sets its own line settings: no echo of what the
  // product writes, no translation of what the ROM answers.
  termios tty{};
  tcgetattr(heldSlave_, &tty);
  cfmakeraw(&tty);
  tcsetattr(heldSlave_, TCSANOW, &tty);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

void SdpPty::hold(bool held) {
  held_ = held;
  const uint8_t wake = 0;
  (void)!::write(wake_[1], &wake, 1);
}

SdpPty::~SdpPty() {
  const uint8_t stop = 1;
  (void)!::write(wake_[1], &stop, 1);
  thread_.join();
  closeLine();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void SdpPty::closeLine() {
  if (master_ >= 0) ::close(master_);
  if (heldSlave_ >= 0) ::close(heldSlave_);
  master_ = heldSlave_ = -1;
}

bool SdpPty::send(const std::vector<Reply>& replies) {
  Bytes out;
  for (const Reply& r : replies) out.insert(out.end(), r.payload.begin(), r.payload.end());
  // One write, so the product's wait-then-read finds the whole reply.
  return out.empty() || writeAll(master_, out.data(), out.size());
}

void SdpPty::run() {
  // A boot ROM answers within microseconds, and the product reads each reply
  // 100 ms after its command. On a loaded test machine an ordinary thread can
  // miss that window, so the line's thread asks for real-time scheduling; it
  // only ever blocks in poll, so it cannot starve anyone. Without the
  // privilege it runs as before.
  sched_param param{};
  param.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

  Bytes pending;
  for (;;) {
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    if (poll(fds, master_ >= 0 && !held_ ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) {
      uint8_t wake = 0;
      if (::read(wake_[0], &wake, 1) == 1 && wake == 0) continue;  // hold or resume
      return;
    }
    if (master_ < 0 || held_) continue;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL) && !(fds[1].revents & POLLIN)) {
      // Cannot happen while the held slave is open; never spin on it.
      closeLine();
      continue;
    }
    uint8_t chunk[4096];
    ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      // Only a dropped line reaches here (the held slave keeps the pty up).
      closeLine();
      continue;
    }
    pending.insert(pending.end(), chunk, chunk + n);
    size_t at = 0;
    while (at < pending.size()) {
      std::vector<Reply> replies;
      if (rom_.dataExpected() > 0) {
        size_t used = 0;
        replies = rom_.data(pending.data() + at, pending.size() - at, &used);
        if (used == 0) break;
        at += used;
      } else if (pending.size() - at >= kCommandBytes) {
        replies = rom_.command(pending.data() + at);
        at += kCommandBytes;
      } else {
        break;
      }
      if (rom_.dropped()) {
        rom_.note("LINE_CLOSED");
        closeLine();
        break;
      }
      if (!send(replies)) rom_.note("SEND_FAILED");
    }
    if (master_ < 0) {
      pending.clear();
    } else {
      pending.erase(pending.begin(), pending.begin() + ssize_t(at));
    }
  }
}

}  // namespace sdpsim
