#include "GadgetBus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

extern char** environ;

namespace usbvm {
namespace {

constexpr const char* kControl = "/tmp/usbgadget.control";
constexpr const char* kTranscript = "/tmp/usbgadget.transcript";

int sh(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

std::string gGadgetPath = "usbgadget";

std::string speedName(Speed s) { return s == Speed::High ? "high" : "full"; }

void PrintTo(const SpeedCase& c, std::ostream* os) {
  *os << speedName(c.speed) << " speed, max packet " << c.maxPacket;
}

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
  return v;
}

std::vector<std::string> outPackets(const std::vector<size_t>& transfers, size_t maxPacket) {
  std::vector<std::string> packets;
  for (size_t n : transfers) {
    for (size_t left = n; left > 0;) {
      size_t p = std::min(left, maxPacket);
      packets.push_back("out " + std::to_string(p));
      left -= p;
    }
  }
  return packets;
}

std::vector<size_t> driverChunks(size_t total, size_t maxPacket) {
  std::vector<size_t> chunks;
  for (size_t left = total; left > 0;) {
    size_t n = std::min(left, maxPacket);
    if (n == 512) n = 511;
    chunks.push_back(n);
    left -= n;
  }
  return chunks;
}

bool onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool Child::start(const std::vector<std::string>& args, const std::string& outputPath) {
  stop();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

void Child::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

Bus& Bus::get() {
  static Bus bus;
  return bus;
}

Bus::~Bus() { stopGadget(); }

std::string Bus::use(Speed speed, const std::vector<std::string>& extra) {
  if (speed_ == speed && extra_ == extra && running()) return {};
  stopGadget();
  if (speed_ != speed) {
    // A fresh controller per process too: whatever ran before may have left
    // it at the other speed.
    sh("rmmod dummy_hcd 2>/dev/null");
    std::string load = "modprobe dummy_hcd is_high_speed=" + std::string(speed == Speed::High ? "1" : "0");
    if (sh(load) != 0) return "cannot run: " + load;
    speed_ = speed;
  }
  extra_ = extra;
  return startGadget();
}

std::optional<int> Bus::waitExit(milliseconds limit) {
  {
    std::unique_lock lock(mutex_);
    if (!cond_.wait_for(lock, limit, [this] { return readerDone_; })) return std::nullopt;
  }
  int status = 0;
  if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Bus::release() { stopGadget(); }

void Bus::command(const std::string& line) {
  std::ofstream ctl(kControl);
  ctl << line << '\n';
}

std::optional<std::string> Bus::waitEvent(const std::string& text, size_t mark, milliseconds limit) {
  std::unique_lock lock(mutex_);
  auto deadline = Clock::now() + limit;
  auto find = [&]() -> std::optional<std::string> {
    for (size_t i = mark; i < events_.size(); ++i)
      if (events_[i].find(text) != std::string::npos) return events_[i];
    return std::nullopt;
  };
  for (;;) {
    if (auto e = find()) return e;
    if (readerDone_ || cond_.wait_until(lock, deadline) == std::cv_status::timeout) return find();
  }
}

size_t Bus::eventMark() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

std::string Bus::eventLog() {
  std::lock_guard lock(mutex_);
  std::string all;
  for (auto& e : events_) all += "  " + e + "\n";
  return all;
}

std::vector<std::string> Bus::newTransfers() {
  std::ifstream in(kTranscript);
  std::vector<std::string> lines;
  std::string line;
  size_t n = 0;
  while (std::getline(in, line))
    if (n++ >= transcriptSeen_) lines.push_back(line);
  transcriptSeen_ = n;
  return lines;
}

std::vector<std::string> Bus::newOutPackets() {
  std::vector<std::string> outs;
  for (auto& line : newTransfers())
    if (line.rfind("out ", 0) == 0) outs.push_back(line);
  return outs;
}

bool Bus::waitTransfer(const std::string& line, milliseconds limit) {
  // The transcript is a plain file another process appends to: look again
  // at a short interval until the deadline.
  auto deadline = Clock::now() + limit;
  for (;;) {
    for (auto& l : newTransfers())
      if (l == line) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

std::string Bus::startGadget() {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  char vid[16];
  std::snprintf(vid, sizeof vid, "0x%04x", kVendorId);
  char pid[16];
  std::snprintf(pid, sizeof pid, "0x%04x", kProductId);
  // Later options win, so `extra` can change the identity too.
  std::vector<std::string> args = {gGadgetPath, "--vendor-id", vid, "--product-id", pid,
                                   "--serial", kSerial, "--control", kControl,
                                   "--transcript", kTranscript};
  args.insert(args.end(), extra_.begin(), extra_.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::unlink(kControl);
  int rc = posix_spawnp(&pid_, gGadgetPath.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    pid_ = -1;
    return "cannot start " + gGadgetPath;
  }
  {
    std::lock_guard lock(mutex_);
    events_.clear();
    readerDone_ = false;
  }
  transcriptSeen_ = 0;
  reader_ = std::thread([this, fd = out[0]] { readEvents(fd); });
  if (!waitEvent("enable", 0, milliseconds(15000)))
    return "the gadget was not enabled by the host; its events:\n" + eventLog();
  return {};
}

void Bus::readEvents(int fd) {
  std::string pending;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(mutex_);
      events_.push_back(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      cond_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  readerDone_ = true;
  cond_.notify_all();
}

bool Bus::running() {
  std::lock_guard lock(mutex_);
  return pid_ > 0 && !readerDone_;
}

void Bus::stopGadget() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();  // ends at the pipe's end of file
}

}  // namespace usbvm
