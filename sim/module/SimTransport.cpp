#include "SimTransport.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "SimDark.h"

namespace jvsim {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int makeWakeFd() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) fail("eventfd");
  return fd;
}

void drainWakeFd(int fd) {
  uint64_t v;
  while (read(fd, &v, sizeof v) == sizeof v) {
  }
}

void signalWakeFd(int fd) {
  uint64_t one = 1;
  ssize_t r = write(fd, &one, sizeof one);
  (void)r;
}

bool writeAll(int fd, const uint8_t* data, size_t len, int flags, bool isSocket) {
  while (len > 0) {
    ssize_t n = isSocket ? ::send(fd, data, len, flags) : ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

constexpr int kForeverMs = 24 * 3600 * 1000;

}  // namespace

bool Transport::goDark(int ms, std::string* why) {
  (void)why;
  goOffline(ms > 0 ? ms : kForeverMs, Restart::Silent);
  return true;
}

// ---- TCP ----

TcpTransport::TcpTransport(const std::string& host, uint16_t port) : host_(host) {
  wakeFd_ = makeWakeFd();
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) fail("socket");
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    close(listenFd_);
    close(wakeFd_);
    throw std::runtime_error("not an IPv4 address: " + host);
  }
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(listenFd_, 4) < 0) {
    int e = errno;
    close(listenFd_);
    close(wakeFd_);
    errno = e;
    fail("listen on " + host + ":" + std::to_string(port));
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  dark_ = std::make_unique<DarkSwitch>();
}

TcpTransport::~TcpTransport() {
  closeClient();
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TcpTransport::closeClient(Restart how) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clientFd_ < 0) return;
  int one = 1;
  if (how == Restart::Silent && setsockopt(clientFd_, IPPROTO_TCP, TCP_REPAIR, &one, sizeof one) == 0) {
    // In repair mode the kernel drops the socket without sending anything,
    // as a chip whose memory was just wiped would.
  } else if (how != Restart::Close) {
    // A reset rather than an orderly close: the host's next read or write
    // sees the connection gone, as when a module loses power.
    linger lg{1, 0};
    setsockopt(clientFd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  close(clientFd_);
  clientFd_ = -1;
}

bool TcpTransport::listenAgain() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  inet_pton(AF_INET, host_.c_str(), &addr.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(fd, 4) < 0) {
    close(fd);
    return false;
  }
  listenFd_ = fd;
  return true;
}

void TcpTransport::requestOffline(int ms, Restart how, bool dark) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    offlineRequested_ = true;
    offlineMs_ = ms > 0 ? ms : 0;
    offlineHow_ = how;
    darkened_ = darkened_ || dark;
  }
  wake();
}

void TcpTransport::goOffline(int ms, Restart how) { requestOffline(ms, how, false); }

bool TcpTransport::goDark(int ms, std::string* why) {
  // The rule first: whatever the module still sends before receive() drops
  // the connection goes nowhere.
  if (!dark_->goDark(host_, why)) return false;
  requestOffline(ms > 0 ? ms : kForeverMs, Restart::Silent, true);
  return true;
}

size_t TcpTransport::receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) {
  bool drop, offline;
  int offlineMs;
  Restart how;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drop = dropRequested_;
    dropRequested_ = false;
    offline = offlineRequested_;
    offlineRequested_ = false;
    offlineMs = offlineMs_;
    how = offlineHow_;
  }
  if (offline) {
    closeClient(how);
    if (offlineMs == 0) {
      *event = "disconnect (restart)";
      return 0;
    }
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    onlineAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(offlineMs);
    *event = "disconnect (offline)";
    return 0;
  }
  if (listenFd_ < 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now < onlineAt_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(onlineAt_ - now).count();
      pollfd w{wakeFd_, POLLIN, 0};
      if (poll(&w, 1, static_cast<int>(std::min<long long>(left + 1, timeoutMs))) > 0) drainWakeFd(wakeFd_);
      return 0;
    }
    if (!listenAgain()) {
      // The port may still be held a moment by the connections just reset.
      pollfd w{wakeFd_, POLLIN, 0};
      if (poll(&w, 1, std::min(20, timeoutMs)) > 0) drainWakeFd(wakeFd_);
      return 0;
    }
    bool lit = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lit = darkened_;
      darkened_ = false;
    }
    // Listening before the light comes on: the first connect that gets
    // through finds the module.
    std::string why;
    if (lit && !dark_->light(host_, &why)) *event = "online (still dark: " + why + ")";
    else *event = "online";
    return 0;
  }
  if (drop && connected()) {
    closeClient();
    *event = "disconnect (dropped)";
    return 0;
  }
  int client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    client = clientFd_;
  }
  pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {client, POLLIN, 0}};
  int n = poll(fds, client >= 0 ? 3 : 2, timeoutMs);
  if (n <= 0) return 0;
  if (fds[0].revents) drainWakeFd(wakeFd_);
  if (fds[1].revents & POLLIN) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      closeClient();
      std::lock_guard<std::mutex> lock(mutex_);
      clientFd_ = fd;
      *event = "connect";
      return 0;
    }
  }
  if (client >= 0 && fds[2].revents) {
    ssize_t r = recv(client, buf, max, MSG_DONTWAIT);
    if (r > 0) return static_cast<size_t>(r);
    if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeClient();
      *event = "disconnect";
    }
  }
  return 0;
}

bool TcpTransport::send(const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clientFd_ < 0) return false;
  return writeAll(clientFd_, data, len, MSG_NOSIGNAL, true);
}

void TcpTransport::dropConnection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropRequested_ = true;
  }
  wake();
}

bool TcpTransport::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clientFd_ >= 0;
}

void TcpTransport::wake() { signalWakeFd(wakeFd_); }

std::string TcpTransport::describe() const { return "tcp " + host_ + ":" + std::to_string(port_); }

// ---- pseudo-terminal ----

PtyTransport::PtyTransport(const std::string& linkPath) : linkPath_(linkPath) {
  wakeFd_ = makeWakeFd();
  open();
}

PtyTransport::~PtyTransport() {
  closeTerminal();
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
  close(wakeFd_);
}

void PtyTransport::open() {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) fail("posix_openpt");
  char name[128];
  if (grantpt(m) < 0 || unlockpt(m) < 0 || ptsname_r(m, name, sizeof name) != 0) {
    int e = errno;
    close(m);
    errno = e;
    fail("pseudo-terminal setup");
  }
  int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    int e = errno;
    close(m);
    errno = e;
    fail(std::string("open ") + name);
  }
  // Raw both ways: no echo of host bytes back to the host, no line editing.
  // A read with nothing to read ends after a second, as the driver node's
  // does; a host that opens it as a serial port sets its own timing.
  termios t{};
  tcgetattr(s, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 10;
  tcsetattr(s, TCSANOW, &t);
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
  std::lock_guard<std::mutex> lock(mutex_);
  masterFd_ = m;
  slaveFd_ = s;
  slavePath_ = name;
  if (!linkPath_.empty()) {
    std::string tmp = linkPath_ + ".new";
    unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) < 0 || rename(tmp.c_str(), linkPath_.c_str()) < 0) {
      fail("link " + linkPath_);
    }
  }
}

void PtyTransport::closeTerminal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (masterFd_ >= 0) close(masterFd_);
  if (slaveFd_ >= 0) close(slaveFd_);
  masterFd_ = slaveFd_ = -1;
}

std::string PtyTransport::path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return linkPath_.empty() ? slavePath_ : linkPath_;
}

std::string PtyTransport::terminalPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slavePath_;
}

size_t PtyTransport::receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) {
  bool drop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drop = dropRequested_;
    dropRequested_ = false;
  }
  if (drop) {
    // The new terminal is made before the old one closes, so it gets a new
    // name and a host still holding the old one sees it hang up.
    int oldMaster, oldSlave;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      oldMaster = masterFd_;
      oldSlave = slaveFd_;
      masterFd_ = slaveFd_ = -1;
    }
    open();
    close(oldMaster);
    close(oldSlave);
    *event = "disconnect (dropped); new terminal " + terminalPath();
    return 0;
  }
  int m;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    m = masterFd_;
  }
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {m, POLLIN, 0}};
  int n = poll(fds, 2, timeoutMs);
  if (n <= 0) return 0;
  if (fds[0].revents) drainWakeFd(wakeFd_);
  if (fds[1].revents & POLLIN) {
    ssize_t r = read(m, buf, max);
    if (r > 0) return static_cast<size_t>(r);
  }
  return 0;
}

bool PtyTransport::send(const uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (masterFd_ < 0) return false;
  return writeAll(masterFd_, data, len, 0, false);
}

void PtyTransport::dropConnection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropRequested_ = true;
  }
  wake();
}

void PtyTransport::wake() { signalWakeFd(wakeFd_); }

std::string PtyTransport::describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (linkPath_.empty()) return "pty " + slavePath_;
  return "node " + linkPath_ + " -> " + slavePath_;
}

// ---- in-process byte pipe ----

bool BytePipe::hostWrite(const uint8_t* data, size_t len) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    toModule_.insert(toModule_.end(), data, data + len);
  }
  toModuleReady_.notify_all();
  return true;
}

long BytePipe::hostRead(uint8_t* buf, size_t max, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  toHostReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_ || !toHost_.empty(); });
  if (closed_) return -1;
  size_t n = 0;
  while (n < max && !toHost_.empty()) {
    buf[n++] = toHost_.front();
    toHost_.pop_front();
  }
  return static_cast<long>(n);
}

bool BytePipe::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

size_t BytePipe::moduleRead(uint8_t* buf, size_t max, int timeoutMs, bool* wasClosed) {
  std::unique_lock<std::mutex> lock(mutex_);
  toModuleReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return closed_ || woken_ || !toModule_.empty(); });
  woken_ = false;
  *wasClosed = closed_;
  size_t n = 0;
  while (n < max && !toModule_.empty()) {
    buf[n++] = toModule_.front();
    toModule_.pop_front();
  }
  return n;
}

bool BytePipe::moduleWrite(const uint8_t* data, size_t len) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    toHost_.insert(toHost_.end(), data, data + len);
  }
  toHostReady_.notify_all();
  return true;
}

void BytePipe::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  toHostReady_.notify_all();
  toModuleReady_.notify_all();
}

void BytePipe::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  toModuleReady_.notify_all();
}

PipeTransport::PipeTransport() : pipe_(std::make_shared<BytePipe>()) {}

std::shared_ptr<BytePipe> PipeTransport::pipe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipe_;
}

size_t PipeTransport::receive(uint8_t* buf, size_t max, int timeoutMs, std::string* event) {
  std::shared_ptr<BytePipe> p;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dropRequested_) {
      dropRequested_ = false;
      pipe_->close();
      pipe_ = std::make_shared<BytePipe>();
      *event = "disconnect (dropped)";
      return 0;
    }
    p = pipe_;
  }
  bool wasClosed = false;
  return p->moduleRead(buf, max, timeoutMs, &wasClosed);
}

bool PipeTransport::send(const uint8_t* data, size_t len) { return pipe()->moduleWrite(data, len); }

void PipeTransport::dropConnection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropRequested_ = true;
  }
  wake();
}

bool PipeTransport::connected() const { return !pipe()->closed(); }

void PipeTransport::wake() { pipe()->wake(); }

}  // namespace jvsim
