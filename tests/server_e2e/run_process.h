#pragma once
// Runs a program with arguments and collects what it writes.

#include <cstdint>
#include <filesystem>
#include <string>
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

// The whole file, empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Firmware-like bytes: a BIRD body must not inflate to more than 8 times its
// compressed size, so test images cannot be one repeated byte.
std::vector<uint8_t> noise(size_t n, uint32_t seed);
