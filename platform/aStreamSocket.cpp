#include "aStreamSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "aOpenFailure.h"
#include "aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint64_t kClosePauseMs = 10;
constexpr size_t kReadBlock = 2048;

struct aSocketStream {
  uint16_t port = 0;  // host order, as given
  sockaddr_in address{};
  int fd = -1;
  std::atomic<bool> connected{false};
  uint16_t check = 0;

  // Guards fd, users and reconnecting. A reconnect waits until no operation
  // is using the descriptor before it closes it, so a descriptor number is
  // never closed (and possibly reused) under another thread's system call.
  std::mutex lock;
  std::condition_variable changed;
  int users = 0;
  bool reconnecting = false;
  // Raised by every reconnect, failed or not: an operation that found the
  // connection broken reconnects only if nobody did since it looked.
  std::atomic<uint64_t> generation{0};
  // The connection epoch: moves with every reconnect and once when the
  // connection of a generation is first found lost (lostGeneration holds
  // that generation + 1), so a peer that went is seen even when a
  // reconnect has replaced it since.
  std::atomic<uint64_t> epoch{0};
  std::atomic<uint64_t> lostGeneration{0};
  // Kicks an operation waiting on the old descriptor so a reconnect is not
  // held up for the length of a reader's wait.
  int wakeFd = -1;
  // Raised for good by an interrupt (the stream is about to go): ends a
  // connect in progress and keeps any further one from starting, so that
  // the threads using the stream can be joined at once.
  int interruptFd = -1;
  std::atomic<bool> interrupted{false};

  // Reader side only: bytes received and not yet handed out.
  uint8_t rx[kReadBlock];
  size_t rxPos = 0;
  size_t rxLen = 0;
  uint64_t rxGeneration = 0;
  // The peer closed the connection seen in this generation (+1; 0 = no).
  uint64_t peerClosedGeneration = 0;
};

bool aVALIDSS(const aSocketStream* ss) {
  return ss != nullptr && ss->check == kSocketCheck;
}

using Clock = std::chrono::steady_clock;

enum class Borrow { ok, busy, down };

// Takes the descriptor for one operation. While the other thread is
// reconnecting, waits until the deadline for it to finish.
Borrow sBorrow(aSocketStream* ss, Clock::time_point deadline, int* fd, uint64_t* generation) {
  std::unique_lock<std::mutex> g(ss->lock);
  const auto idle = [ss] { return !ss->reconnecting; };
  if (deadline == Clock::time_point::max())
    ss->changed.wait(g, idle);
  else if (!ss->changed.wait_until(g, deadline, idle))
    return Borrow::busy;
  if (!ss->connected || ss->fd < 0)
    return Borrow::down;
  ++ss->users;
  *fd = ss->fd;
  *generation = ss->generation;
  return Borrow::ok;
}

void sGiveBack(aSocketStream* ss) {
  std::lock_guard<std::mutex> g(ss->lock);
  if (--ss->users == 0)
    ss->changed.notify_all();
}

void sClose(int fd) {
  ::close(fd);
  aTime_MSSleep(kClosePauseMs);
}

aErr sSetOptions(int fd) {
  const int on = 1;
  const timeval noTimeout{0, 0};
  const linger drop{1, 0};  // a close resets the connection at once
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop) != 0)
    return aErrIO;
  int nonBlocking = 1;
  return ::ioctl(fd, FIONBIO, &nonBlocking) == 0 ? aErrNone : aErrIO;
}

// Waits for a non-blocking connect on s to finish, at most ms, or for the
// interrupt descriptor (-1: none) to be raised. 0 once connected, else the
// errno of the failure: ETIMEDOUT when the peer did not answer in time,
// ECANCELED when interrupted.
int sAwaitConnect(int s, uint64_t ms, int interruptFd) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return ETIMEDOUT;
    pollfd p[2] = {{s, POLLOUT, 0}, {interruptFd, POLLIN, 0}};
    const int n = ::poll(p, interruptFd >= 0 ? 2 : 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (n < 0 && errno != EINTR)
      return errno;
    if (n <= 0)
      continue;
    if (interruptFd >= 0 && p[1].revents)
      return ECANCELED;
    int err = 0;
    socklen_t size = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
      return errno;
    return err;
  }
}

// Opens a TCP connection to `to`, giving up after ms or when the interrupt
// descriptor is raised; *fd is -1 on failure, and *cause (may be null) the
// errno of the failure.
aErr sOpenBounded(const sockaddr_in& to, uint64_t ms, int interruptFd, int* fd, int* cause = nullptr) {
  *fd = -1;
  int unused = 0;
  int& err = cause ? *cause : unused;
  err = 0;
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    err = errno;
    return aErrIO;
  }
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR)
      err = sAwaitConnect(s, ms, interruptFd);
  }
  if (err != 0) {
    sClose(s);
    return (err == EAGAIN || err == ECONNRESET || err == ETIMEDOUT || err == ECONNREFUSED || err == ECANCELED)
               ? aErrConnection
               : aErrIO;
  }
  *fd = s;
  return aErrNone;
}

// Opens a new connection to the stored address; *fd is -1 on failure.
aErr sConnect(const aSocketStream* ss, int* fd) {
  int cause = 0;
  const aErr e = sOpenBounded(ss->address, aSOCKET_CONNECT_BOUND_MS, ss->interruptFd, fd, &cause);
  if (e != aErrNone) {
    aOpenFailure_Note(aOpenStepConnectSocket, aOpenCauseErrno, cause,
                      cause == ETIMEDOUT ? aSOCKET_CONNECT_BOUND_MS : 0);
    return e;
  }
  if (sSetOptions(*fd) != aErrNone) {
    aOpenFailure_Note(aOpenStepConnectSocket, aOpenCauseErrno, errno);
    sClose(*fd);
    *fd = -1;
    return aErrIO;
  }
  return aErrNone;
}

// Replaces a connection found broken in generation `seen`. When the other
// thread has replaced it since, that result stands and nothing is redone.
aErr sReconnect(aSocketStream* ss, uint64_t seen) {
  std::unique_lock<std::mutex> g(ss->lock);
  ss->changed.wait(g, [ss] { return !ss->reconnecting; });
  if (ss->generation != seen)
    return ss->connected ? aErrNone : aErrConnection;
  ss->reconnecting = true;
  ss->connected = false;
  const uint64_t one = 1;
  (void)!::write(ss->wakeFd, &one, sizeof one);
  ss->changed.wait(g, [ss] { return ss->users == 0; });
  uint64_t drained = 0;
  (void)!::read(ss->wakeFd, &drained, sizeof drained);
  const int old = ss->fd;
  ss->fd = -1;
  g.unlock();

  if (old >= 0)
    sClose(old);
  int fresh = -1;
  const aErr e = ss->interrupted ? aErrConnection : sConnect(ss, &fresh);

  g.lock();
  ss->fd = fresh;
  ss->connected = (e == aErrNone);
  ++ss->generation;
  ++ss->epoch;
  ss->reconnecting = false;
  g.unlock();
  ss->changed.notify_all();
  return e;
}

// Counts the loss of generation gen's connection in the epoch, once
// whichever thread finds it.
void sMarkLost(aSocketStream* ss, uint64_t gen) {
  uint64_t seen = ss->lostGeneration.load();
  while (seen != gen + 1) {
    if (ss->lostGeneration.compare_exchange_weak(seen, gen + 1)) {
      ++ss->epoch;
      return;
    }
  }
}

bool sBroken(int err) {
  return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

aErr sGet(uint8_t* byte, void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss) || !byte)
    return aErrParam;
  if (ss->rxPos < ss->rxLen && ss->rxGeneration == ss->generation) {
    *byte = ss->rx[ss->rxPos++];
    return aErrNone;
  }
  ss->rxPos = ss->rxLen = 0;
  // One reconnect per call: a connection that breaks again at once is
  // reported on the next call rather than retried here without end.
  for (int round = 0; round < 2; ++round) {
    int fd = -1;
    uint64_t gen = 0;
    switch (sBorrow(ss, Clock::now(), &fd, &gen)) {
      case Borrow::busy:
        return aErrNotReady;  // the other thread is reconnecting
      case Borrow::down:
        return aErrConnection;
      case Borrow::ok:
        break;
    }
    const ssize_t n = ::recv(fd, ss->rx, sizeof ss->rx, MSG_DONTWAIT);
    const int err = errno;
    sGiveBack(ss);
    if (n > 0) {
      ss->rxLen = static_cast<size_t>(n);
      ss->rxPos = 1;
      ss->rxGeneration = gen;
      *byte = ss->rx[0];
      return aErrNone;
    }
    if (n == 0) {
      // The peer closed; the next write finds out and reconnects.
      ss->peerClosedGeneration = gen + 1;
      sMarkLost(ss, gen);
      return aErrNotReady;
    }
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
      return aErrNotReady;
    if (!sBroken(err))
      return aErrConnection;
    sMarkLost(ss, gen);  // seen before the reconnect that replaces it
    const aErr e = sReconnect(ss, gen);
    if (e != aErrNone)
      return e;
  }
  return aErrNotReady;
}

// Waits on fd for the given events and on the reconnect kick, at most ms.
// True when either came.
bool sPoll(const aSocketStream* ss, int fd, short events, uint64_t ms) {
  pollfd p[2] = {{ss->wakeFd, POLLIN, 0}, {fd, events, 0}};
  const nfds_t n = fd >= 0 ? 2 : 1;
  const int r = ::poll(p, n, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
  return r > 0 || (r < 0 && errno == EINTR);
}

aErr sWait(uint64_t ms, void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss))
    return aErrParam;
  if (ss->rxPos < ss->rxLen && ss->rxGeneration == ss->generation)
    return aErrNone;
  const Clock::time_point start = Clock::now();
  const auto cap = std::chrono::milliseconds(ms > INT_MAX ? INT_MAX : ms);
  int fd = -1;
  uint64_t gen = 0;
  switch (sBorrow(ss, start + cap, &fd, &gen)) {
    case Borrow::busy:
      return aErrTimeout;
    case Borrow::down:
      return aErrNone;  // let the reader's get report it
    case Borrow::ok:
      break;
  }
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const uint64_t left = spent >= cap ? 0 : static_cast<uint64_t>((cap - spent).count());
  // A closed peer keeps the descriptor readable for ever; until a reconnect
  // there is nothing to read, so only the kick is worth waking for.
  const bool closed = ss->peerClosedGeneration == gen + 1;
  const bool woken = sPoll(ss, closed ? -1 : fd, POLLIN, left);
  sGiveBack(ss);
  return woken ? aErrNone : aErrTimeout;
}

// True when the peer has closed its end or the connection failed: a block
// sent now would be taken by the kernel and lost.
bool sPeerGone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

aErr sWrite(const uint8_t* data, uint64_t length, void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss) || (!data && length > 0))
    return aErrParam;
  uint64_t sent = 0;
  int attempts = 0;
  uint64_t gen = 0;
  uint64_t blockGen = 0;  // the connection that carries the start of the block
  while (sent < length) {
    int fd = -1;
    if (sBorrow(ss, Clock::time_point::max(), &fd, &gen) != Borrow::ok)
      return aErrConnection;
    // Whichever thread replaced the connection, the new one gets the whole
    // block: its start went down with the old one, and a module must never
    // see a packet's tail alone.
    if (sent == 0 || gen != blockGen) {
      sent = 0;
      blockGen = gen;
    }
    int err = 0;
    ssize_t n = -1;
    if (sent == 0 && sPeerGone(fd)) {
      err = EPIPE;
    } else {
      n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      err = errno;
    }
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      if (sent == length) {
        sGiveBack(ss);
        return aErrNone;
      }
      attempts = 1;
      sPoll(ss, fd, POLLOUT, aSOCKET_RETRY_DELAY_MS);
      sGiveBack(ss);
      continue;
    }
    if (err == EINTR) {
      sGiveBack(ss);
      continue;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
      ++attempts;
      sPoll(ss, fd, POLLOUT, aSOCKET_RETRY_DELAY_MS);
      sGiveBack(ss);
    } else if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
      sGiveBack(ss);
      sMarkLost(ss, gen);
      const aErr e = sReconnect(ss, gen);
      if (e != aErrNone)
        return e;
      ++attempts;
      aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    } else {
      sGiveBack(ss);
      return aErrIO;
    }
    if (attempts >= aSOCKET_MAX_SEND_RETRY) {
      // Part of the block may be on the wire; what follows it would be read
      // as its missing rest. Start over on a clean connection instead.
      if (sent > 0)
        sReconnect(ss, gen);
      return aErrTimeout;
    }
  }
  return aErrNone;
}

aErr sEpoch(uint64_t* epoch, void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss) || !epoch)
    return aErrParam;
  // A peer that closed, or a reset not yet read, counts as soon as it is
  // there, not only once the reader has come to it.
  int fd = -1;
  uint64_t gen = 0;
  if (sBorrow(ss, Clock::now(), &fd, &gen) == Borrow::ok) {
    if (sPeerGone(fd))
      sMarkLost(ss, gen);
    sGiveBack(ss);
  }
  *epoch = ss->epoch;
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) {
  return sWrite(byte, 1, ref);
}

aErr sInterrupt(void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss))
    return aErrParam;
  ss->interrupted = true;
  const uint64_t one = 1;
  (void)!::write(ss->interruptFd, &one, sizeof one);
  return aErrNone;
}

aErr sDelete(void* ref) {
  auto* ss = static_cast<aSocketStream*>(ref);
  if (!aVALIDSS(ss))
    return aErrIO;
  if (ss->fd >= 0)
    sClose(ss->fd);
  ss->fd = -1;
  if (ss->wakeFd >= 0)
    ::close(ss->wakeFd);
  if (ss->interruptFd >= 0)
    ::close(ss->interruptFd);
  ss->check = 0;
  delete ss;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (!stream)
    return aErrResource;
  *stream = nullptr;
  auto* ss = new (std::nothrow) aSocketStream;
  if (!ss)
    return aErrResource;
  ss->check = kSocketCheck;
  ss->port = port;
  ss->address.sin_family = AF_INET;
  ss->address.sin_port = htons(port);
  ss->address.sin_addr.s_addr = address;
  ss->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ss->interruptFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (ss->wakeFd < 0 || ss->interruptFd < 0 || sConnect(ss, &ss->fd) != aErrNone) {
    sDelete(ss);
    return aErrResource;
  }
  ss->connected = true;
  aStream* s = aStream_Create(sGet, sPut, sWrite, sDelete, ss);
  if (!s) {
    sDelete(ss);
    return aErrResource;
  }
  aStream_SetWaitProc(s, sWait);
  aStream_SetEpochProc(s, sEpoch);
  aStream_SetInterruptProc(s, sInterrupt);
  *stream = s;
  return aErrNone;
}

aErr aSocket_Answers(uint32_t address, uint16_t port, uint64_t ms) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  int fd = -1;
  const aErr e = sOpenBounded(to, ms, -1, &fd);
  if (e != aErrNone)
    return e;
  // Reset rather than closed in order: nothing is owed to a connection that
  // only looked.
  const linger drop{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
  ::close(fd);
  return aErrNone;
}
