#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

std::vector<char*> cArgs(const std::vector<std::string>& argv)
{
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

// Reads the child's standard output (0) and error (1) until both are
// closed, handing each piece to sink, and closes them. A pseudo-terminal's
// master side reports EIO once the child has closed it: that ends it too.
void drainOutputs(int outFd, int errFd, const std::function<void(int, const char*, size_t)>& sink)
{
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sink(i, buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// In the child: the pipe's write end becomes descriptor fd.
void moveOnto(int pipeFds[2], int fd)
{
  ::dup2(pipeFds[1], fd);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

// In the child: standard input from /dev/null, then the program.
[[noreturn]] void execChild(const std::vector<std::string>& argv)
{
  const int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) {
    ::dup2(null, 0);
    ::close(null);
  }
  auto args = cArgs(argv);
  ::execv(args[0], args.data());
  _exit(127);
}

int waitExit(int pid)
{
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, bool pty, void (*inChild)())
{
  ProcessResult result;
  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if (::pipe(errPipe) != 0)
    return result;
  int master = -1;
  pid_t pid;
  if (pty) {
    pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  } else {
    if (::pipe(outPipe) != 0)
      return result;
    pid = ::fork();
  }
  if (pid < 0)
    return result;
  if (pid == 0) {
    if (!pty)
      moveOnto(outPipe, 1);
    moveOnto(errPipe, 2);
    if (inChild)
      inChild();
    execChild(argv);
  }
  ::close(errPipe[1]);
  int outFd = pty ? master : outPipe[0];
  if (!pty)
    ::close(outPipe[1]);

  drainOutputs(outFd, errPipe[0], [&](int which, const char* data, size_t n) {
    (which == 0 ? result.out : result.err).append(data, n);
  });
  result.status = waitExit(pid);
  return result;
}

Background startBackground(const std::vector<std::string>& argv)
{
  Background bg;
  int outPipe[2];
  if (::pipe(outPipe) != 0)
    return bg;
  const pid_t pid = ::fork();
  if (pid < 0)
    return bg;
  if (pid == 0) {
    moveOnto(outPipe, 1);
    execChild(argv);
  }
  ::close(outPipe[1]);
  bg.pid = pid;
  bg.outFd = outPipe[0];
  return bg;
}

std::string readLine(Background& bg)
{
  std::string line;
  char c;
  while (::read(bg.outFd, &c, 1) == 1 && c != '\n')
    line += c;
  return line;
}

int stopBackground(Background& bg)
{
  if (bg.pid < 0)
    return -1;
  ::kill(bg.pid, SIGTERM);
  const int status = waitExit(bg.pid);
  ::close(bg.outFd);
  bg.pid = -1;
  return status;
}

ProcessResult finishBackground(Background& bg)
{
  ProcessResult result;
  if (bg.pid < 0)
    return result;
  char buf[4096];
  for (ssize_t n; (n = ::read(bg.outFd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      break;
    result.out.append(buf, static_cast<size_t>(n));
  }
  ::close(bg.outFd);
  result.status = waitExit(bg.pid);
  bg.pid = -1;
  return result;
}

TerminalRun::TerminalRun(const std::vector<std::string>& argv)
{
  int errPipe[2];
  if (::pipe(errPipe) != 0)
    return;
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    ::close(errPipe[0]);
    ::close(errPipe[1]);
    return;
  }
  if (pid == 0) {
    moveOnto(errPipe, 2);
    execChild(argv);
  }
  ::close(errPipe[1]);
  pid_ = pid;
  fds_[0] = master;
  fds_[1] = errPipe[0];
  reader_ = std::thread(&TerminalRun::read, this);
}

TerminalRun::~TerminalRun()
{
  if (pid_ > 0)
    ::kill(pid_, SIGKILL);
  finish();
}

void TerminalRun::read()
{
  drainOutputs(fds_[0], fds_[1], [&](int which, const char* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    (which == 0 ? seen_.out : seen_.err).append(data, n);
    changed_.notify_all();
  });
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

bool TerminalRun::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return ended_ || seen_.out.find(text) != std::string::npos; });
  return seen_.out.find(text) != std::string::npos;
}

ProcessResult TerminalRun::finish()
{
  if (reader_.joinable())
    reader_.join();
  ProcessResult result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = seen_;
  }
  if (pid_ > 0) {
    result.status = waitExit(pid_);
    pid_ = -1;
  }
  return result;
}

std::string readFile(const std::filesystem::path& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}
