#pragma once
// Runs a program with arguments and collects what it writes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ProcessResult {
  int status = -1; // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) to its end, with standard input
// closed; when `pty` is set its standard output is a pseudo-terminal (whose
// text lands in `out`). `inChild`, when given, runs in the child just before
// the program (async-signal-safe calls only: the parent may have threads); it
// may end the child with _exit.
ProcessResult runProcess(const std::vector<std::string>& argv, bool pty = false, void (*inChild)() = nullptr);

// A program left running: started with its standard output on a pipe.
struct Background {
  int pid = -1;
  int outFd = -1;
};
Background startBackground(const std::vector<std::string>& argv);
// Reads one line of the program's output (without its LF); empty at EOF.
std::string readLine(Background& bg);
// SIGTERM, then waits; the exit status.
int stopBackground(Background& bg);
// Reads the program's output to its end and waits for it to exit; its
// status and output (`err` stays empty: its standard error is the caller's).
ProcessResult finishBackground(Background& bg);

// A program left running with its standard output on a pseudo-terminal
// (standard error on a pipe, standard input closed), read on a thread of
// the object's own so that a test can wait for what it shows, then act.
class TerminalRun {
public:
  explicit TerminalRun(const std::vector<std::string>& argv);
  // Kills and reaps a program still running.
  ~TerminalRun();
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  int pid() const { return pid_; }
  // Waits until the terminal has shown `text`; false when the program ended
  // or the time ran out first.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
  // Waits for the end: its status and everything it wrote.
  ProcessResult finish();

private:
  void read();

  int pid_ = -1;
  int fds_[2] = {-1, -1}; // the terminal's master side, the error pipe
  std::mutex mutex_;
  std::condition_variable changed_;
  ProcessResult seen_;  // guarded by mutex_
  bool ended_ = false;  // both sides at their end; guarded by mutex_
  std::thread reader_;
};

// The whole file, empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Firmware-like bytes: a BIRD body must not inflate to more than 8 times its
// compressed size, so test images cannot be one repeated byte.
std::vector<uint8_t> noise(size_t n, uint32_t seed);
