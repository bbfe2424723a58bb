#pragma once
// How the updater program ends on SIGINT or SIGTERM: at once, wherever the
// run is (a download inside libcurl, an update waiting for its module), and
// cleanly: the terminal line a progress bar or spinner was left on is ended,
// the temporaries this run made in the store are removed (RunTempFiles.h),
// and the exit status is 128 plus the signal (130, 143). A module left in its
// loader by an interrupted update is found there by the next run.
//
// The two signals are blocked in every thread and taken by a thread of this
// object's own, so no signal handler ever runs inside a library call and no
// wait anywhere needs to watch for them.

#include <signal.h>

#include <future>
#include <thread>

class RunInterrupts {
 public:
  // Blocks the signals for the calling thread and every thread it starts
  // later: construct it first thing in main, before any thread exists.
  // Returns once the taking thread runs.
  RunInterrupts();
  // Stops the taking thread. A signal that arrived before still ends the
  // run the same way, from here; after this the signals act as before.
  ~RunInterrupts();

  RunInterrupts(const RunInterrupts&) = delete;
  RunInterrupts& operator=(const RunInterrupts&) = delete;

 private:
  void take(std::promise<void>* started);

  int signalFd_ = -1;
  int stopFd_ = -1;
  bool blocked_ = false;
  sigset_t previous_{};
  std::thread taker_;
};
