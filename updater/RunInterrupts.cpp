#include "RunInterrupts.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "CLI_Display.h"
#include "Log.h"
#include "RunTempFiles.h"

namespace {

sigset_t _run_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

[[noreturn]] void _end_run(int signal) {
  CLI_Display::EndLineForExit();
  const size_t removed = RunTempFiles::RemoveAllForExit();
  Log::log(DEBUG_APP, "Ended by signal %d; removed %zu temporary files of this run.\n", signal, removed);
  // No destructor or atexit handler runs: the other threads may be anywhere.
  _exit(128 + signal);
}

// Ends the run when a signal waits on the descriptor; returns when none does.
void _end_run_if_taken(int signalFd) {
  signalfd_siginfo info;
  if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    _end_run(static_cast<int>(info.ssi_signo));
}

}  // namespace

RunInterrupts::RunInterrupts() {
  const sigset_t signals = _run_signals();
  blocked_ = pthread_sigmask(SIG_BLOCK, &signals, &previous_) == 0;
  if (blocked_)
    signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ >= 0)
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (stopFd_ >= 0) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    try {
      taker_ = std::thread(&RunInterrupts::take, this, &started);
      running.wait();
      return;
    } catch (const std::system_error&) {
    }
    ::close(stopFd_);
    stopFd_ = -1;
  }
  // Nothing can take them: the signals keep their usual effect.
  if (signalFd_ >= 0)
    ::close(signalFd_);
  signalFd_ = -1;
  if (blocked_)
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  blocked_ = false;
}

RunInterrupts::~RunInterrupts() {
  if (taker_.joinable()) {
    const uint64_t one = 1;
    while (::write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    taker_.join();
  }
  // One that came while the thread was stopping is still pending here.
  if (signalFd_ >= 0) {
    _end_run_if_taken(signalFd_);
    ::close(signalFd_);
  }
  if (stopFd_ >= 0)
    ::close(stopFd_);
  if (blocked_)
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void RunInterrupts::take(std::promise<void>* started) {
  started->set_value();
  struct pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;  // the destructor still takes a pending signal
    }
    // A signal wins over the stop: a run interrupted while it ends is
    // still an interrupted run.
    if (fds[0].revents & POLLIN)
      _end_run_if_taken(signalFd_);
    if (fds[1].revents & POLLIN)
      return;
  }
}
