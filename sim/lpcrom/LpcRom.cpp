#include "LpcRom.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <future>
#include <sstream>
#include <stdexcept>

namespace lpcsim {

// ---------------------------------------------------------------------------
// Transcript

void Transcript::add(std::string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (echo_) {
    std::fprintf(echo_, "%s\n", line.c_str());
    std::fflush(echo_);
  }
  lines_.push_back(std::move(line));
  changed_.notify_all();
}

std::vector<std::string> Transcript::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t Transcript::countLocked(const std::string& prefix) const {
  size_t n = 0;
  for (const auto& l : lines_)
    if (l.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

size_t Transcript::count(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return countLocked(prefix);
}

bool Transcript::waitFor(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return countLocked(prefix) >= n; });
}

std::string Transcript::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& l : lines_) out += l + "\n";
  return out;
}

void Transcript::setEcho(FILE* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = out;
}

// ---------------------------------------------------------------------------
// Uuencoding

namespace {

char uuChar(unsigned v) {
  v &= 0x3F;
  return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

unsigned uuValue(char c) { return (static_cast<unsigned char>(c) - 0x20u) & 0x3F; }

std::string stripEnd(const std::string& s) {
  std::string t = s;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

// Whole decimal numbers only, as the ROM reads its arguments.
bool parseArgs(const std::string& text, std::vector<long long>* out) {
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    if (errno || end == word.c_str() || *end) return false;
    out->push_back(v);
  }
  return true;
}

unsigned sectorOf(uint32_t address) {
  return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

constexpr unsigned kLastSector = 29;
constexpr size_t kBytesPerLine = 45;
constexpr unsigned kLinesPerChecksum = 20;

}  // namespace

std::string uuencodeLine(const uint8_t* data, size_t n) {
  std::string out(1, uuChar(static_cast<unsigned>(n)));
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t g = (uint32_t(data[i]) << 16) | (uint32_t(i + 1 < n ? data[i + 1] : 0) << 8) |
                       uint32_t(i + 2 < n ? data[i + 2] : 0);
    out += uuChar(g >> 18);
    out += uuChar(g >> 12);
    out += uuChar(g >> 6);
    out += uuChar(g);
  }
  return out;
}

bool uudecodeLine(const std::string& line, std::vector<uint8_t>* out) {
  if (line.empty()) return false;
  const unsigned n = uuValue(line[0]);
  const size_t groups = (n + 2) / 3;
  if (line.size() != 1 + 4 * groups) return false;
  for (size_t g = 0; g < groups; ++g) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 6) | uuValue(line[1 + 4 * g + k]);
    for (unsigned k = 0; k < 3; ++k)
      if (g * 3 + k < n) out->push_back(static_cast<uint8_t>(v >> (16 - 8 * k)));
  }
  return true;
}

// ---------------------------------------------------------------------------
// The ROM

LpcRom::LpcRom(Config config)
    : config_(std::move(config)), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0x00),
      prepared_(kLastSector + 1, false) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
    throw std::runtime_error(std::string("lpcrom: cannot make a pty: ") + std::strerror(errno));
  char name[256];
  if (::ptsname_r(master_, name, sizeof name) != 0)
    throw std::runtime_error("lpcrom: no slave name for the pty");
  path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("lpcrom: cannot open " + path_ + ": " + std::strerror(errno));
  termios t{};
  if (::tcgetattr(slave_, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::runtime_error("lpcrom: no eventfd");
  std::promise<void> running;
  auto started = running.get_future();
  thread_ = std::thread([this, &running] {
    // A chip answers in its own time, whatever the host machine is doing;
    // the host gives each missing byte a 1 ms pause and a reply about
    // 100 ms. A scheduling edge (where the process may take one) keeps a
    // busy machine from starving the simulated chip past that window.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -10);
    running.set_value();
    run();
  });
  started.wait();
}

LpcRom::~LpcRom() { stop(); }

void LpcRom::stop() {
  if (stopped_.exchange(true)) return;
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
  }
  for (int* fd : {&master_, &slave_, &wake_})
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
}

std::vector<uint8_t> LpcRom::flash() const {
  std::lock_guard<std::mutex> lock(memMutex_);
  return flash_;
}

std::vector<uint8_t> LpcRom::ram() const {
  std::lock_guard<std::mutex> lock(memMutex_);
  return ram_;
}

void LpcRom::setFlash(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(memMutex_);
  for (size_t i = 0; i < bytes.size() && offset + i < flash_.size(); ++i) flash_[offset + i] = bytes[i];
}

bool LpcRom::echo() const {
  std::lock_guard<std::mutex> lock(memMutex_);
  return echo_;
}

bool LpcRom::unlocked() const {
  std::lock_guard<std::mutex> lock(memMutex_);
  return unlocked_;
}

void LpcRom::run() {
  uint8_t buf[4096];
  while (true) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        for (ssize_t i = 0; i < n && !stopped_; ++i) feed(buf[i]);
        continue;
      }
    }
    // Nobody holds the slave open right now (cannot happen while we hold it,
    // but a hang-up must not spin the thread): wait for the stop.
    if (fds[0].revents & (POLLHUP | POLLERR)) {
      pollfd w{wake_, POLLIN, 0};
      ::poll(&w, 1, 50);
      if (w.revents) return;
    }
  }
}

void LpcRom::sendRaw(const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    // The host is not reading: wait for room, or for the stop.
    pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_, POLLIN, 0}};
    ::poll(fds, 2, 100);
    if (fds[1].revents) return;
  }
}

bool LpcRom::rangeIn(uint32_t address, uint32_t count, uint32_t start, uint32_t size) const {
  return address >= start && uint64_t(address) + count <= uint64_t(start) + size;
}

void LpcRom::reply(const std::string& line) {
  const bool synced = state_ != State::Autobaud && state_ != State::SyncLine && state_ != State::Crystal;
  const std::string shown = stripEnd(line);
  if (config_.faults.silentAfterSync && synced) {
    transcript_.add("drop " + shown);
    return;
  }
  ++replies_;
  if (replies_ == config_.faults.dropReply) {
    transcript_.add("drop " + shown);
    return;
  }
  transcript_.add("out " + shown);
  sendRaw(line);
}

void LpcRom::replyCode(char, int code) { reply(std::to_string(code) + "\r\n"); }

void LpcRom::feed(uint8_t b) {
  ++received_;
  if (config_.faults.silent || state_ == State::Running) return;
  if (state_ == State::Autobaud) {
    if (b == '?') {
      if (config_.onReceive) config_.onReceive("?", slave_);
      transcript_.add("autobaud");
      state_ = State::SyncLine;
      line_.clear();
      reply(config_.faults.syncReply.empty() ? "Synchronized\r\n" : config_.faults.syncReply);
    }
    return;
  }
  const bool synced = state_ != State::SyncLine && state_ != State::Crystal;
  if (echo() && !(config_.faults.silentAfterSync && synced)) sendRaw(std::string(1, static_cast<char>(b)));
  line_ += static_cast<char>(b);
  if (line_.size() > 4096) line_.clear();
  if (line_.size() >= 2 && line_.compare(line_.size() - 2, 2, "\r\n") == 0) {
    const std::string line = line_.substr(0, line_.size() - 2);
    line_.clear();
    onLine(line);
  }
}

void LpcRom::onLine(const std::string& line) {
  switch (state_) {
    case State::SyncLine:
      transcript_.add("in " + line);
      if (line == "Synchronized") {
        state_ = State::Crystal;
        reply(config_.faults.syncAck.empty() ? "OK\r\n" : config_.faults.syncAck);
      } else {
        state_ = State::Autobaud;
      }
      return;
    case State::Crystal: {
      transcript_.add("in " + line);
      std::vector<long long> args;
      if (!parseArgs(line, &args) || args.size() != 1) {
        state_ = State::Autobaud;
        return;
      }
      reply(config_.faults.crystalAck.empty() ? "OK\r\n" : config_.faults.crystalAck);
      state_ = State::Command;
      transcript_.add("synced");
      return;
    }
    case State::Command:
      onCommand(line);
      return;
    case State::WriteData:
      onWriteLine(line);
      return;
    case State::ReadAck:
      onReadAck(line);
      return;
    default:
      return;
  }
}

void LpcRom::onCommand(const std::string& line) {
  if (config_.onReceive) config_.onReceive(line, slave_);
  transcript_.add("in " + line);
  if (line.empty()) return;
  const char letter = line[0];
  const Faults& f = config_.faults;
  const unsigned use = commandUses_[static_cast<unsigned char>(letter) & 0x7F]++;
  if (f.failCommand == letter && use >= f.failAfter) {
    transcript_.add("fail " + std::string(1, letter) + " " + std::to_string(f.failCode));
    replyCode(letter, f.failCode);
    return;
  }
  if (f.garbleCommand == letter) {
    reply(f.garbleReply);
    return;
  }
  std::vector<long long> a;
  std::string rest = line.substr(1);
  // G carries a mode letter after its address.
  std::string mode;
  if (letter == 'G') {
    const size_t sp = rest.find_last_of(' ');
    if (sp != std::string::npos) {
      mode = rest.substr(sp + 1);
      rest = rest.substr(0, sp);
    }
  }
  if (!parseArgs(rest, &a)) {
    replyCode(letter, kParamError);
    return;
  }
  auto args = [&](size_t n) { return a.size() == n; };
  auto u32 = [&](size_t i) { return a[i] < 0 || a[i] > 0xFFFFFFFFLL ? 0xFFFFFFFFu : uint32_t(a[i]); };

  switch (letter) {
    case 'U':
      if (!args(1)) return replyCode(letter, kParamError);
      if (a[0] != 23130) return replyCode(letter, kInvalidCode);
      {
        std::lock_guard<std::mutex> lock(memMutex_);
        unlocked_ = true;
      }
      transcript_.add("unlock");
      return replyCode(letter, kSuccess);
    case 'B': {
      if (!args(2)) return replyCode(letter, kParamError);
      static const long long rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
      bool known = false;
      for (long long r : rates) known = known || r == a[0];
      if (!known) return replyCode(letter, kInvalidBaudRate);
      if (a[1] != 1 && a[1] != 2) return replyCode(letter, kInvalidStopBit);
      return replyCode(letter, kSuccess);
    }
    case 'A':
      if (!args(1) || (a[0] != 0 && a[0] != 1)) return replyCode(letter, kParamError);
      // Every effect is in place before the answer, so a host that has the
      // answer sees it (the answer itself is no echo).
      {
        std::lock_guard<std::mutex> lock(memMutex_);
        echo_ = a[0] == 1;
      }
      transcript_.add("echo " + std::to_string(a[0]));
      return replyCode(letter, kSuccess);
    case 'W':
    case 'R': {
      if (!args(2)) return replyCode(letter, kParamError);
      const uint32_t addr = u32(0), count = u32(1);
      if (count % 4 != 0) return replyCode(letter, kCountError);
      if (addr % 4 != 0) return replyCode(letter, kAddrError);
      const bool mapped = letter == 'W' ? rangeIn(addr, count, kRamIspLimit, kRamStart + kRamSize - kRamIspLimit)
                                        : rangeIn(addr, count, kRamStart, kRamSize) || rangeIn(addr, count, 0, kFlashSize);
      if (!mapped) return replyCode(letter, kAddrNotMapped);
      xferAddress_ = addr;
      xferCount_ = count;
      xferDone_ = 0;
      block_.clear();
      blockLines_ = 0;
      transcript_.add(std::string(letter == 'W' ? "write " : "read ") + std::to_string(addr) + " " + std::to_string(count));
      replyCode(letter, kSuccess);
      if (count == 0) return;
      if (letter == 'W') {
        state_ = State::WriteData;
      } else {
        state_ = State::ReadAck;
        sendReadBlock();
      }
      return;
    }
    case 'P':
    case 'E': {
      if (!args(2)) return replyCode(letter, kParamError);
      if (a[0] < 0 || a[1] < a[0] || a[1] > kLastSector) return replyCode(letter, kInvalidSector);
      if (letter == 'P') {
        for (long long s = a[0]; s <= a[1]; ++s) prepared_[s] = true;
        transcript_.add("prepare " + std::to_string(a[0]) + " " + std::to_string(a[1]));
        return replyCode(letter, kSuccess);
      }
      if (!unlocked()) return replyCode(letter, kCmdLocked);
      for (long long s = a[0]; s <= a[1]; ++s)
        if (!prepared_[s]) return replyCode(letter, kSectorNotPrepared);
      {
        std::lock_guard<std::mutex> lock(memMutex_);
        const uint32_t from = a[0] < 16 ? uint32_t(a[0]) * 0x1000 : 0x10000 + uint32_t(a[0] - 16) * 0x8000;
        const uint32_t to = a[1] < 16 ? uint32_t(a[1] + 1) * 0x1000 : 0x10000 + uint32_t(a[1] - 15) * 0x8000;
        std::fill(flash_.begin() + from, flash_.begin() + to, 0xFF);
      }
      prepared_.assign(prepared_.size(), false);
      transcript_.add("erase " + std::to_string(a[0]) + " " + std::to_string(a[1]));
      return replyCode(letter, kSuccess);
    }
    case 'C': {
      if (!args(3)) return replyCode(letter, kParamError);
      if (!unlocked()) return replyCode(letter, kCmdLocked);
      const uint32_t dst = u32(0), src = u32(1), count = u32(2);
      if (dst % 256 != 0) return replyCode(letter, kDstAddrError);
      if (src % 4 != 0) return replyCode(letter, kSrcAddrError);
      if (count != 256 && count != 512 && count != 1024 && count != 4096) return replyCode(letter, kCountError);
      if (!rangeIn(dst, count, 0, kFlashSize)) return replyCode(letter, kDstAddrNotMapped);
      if (!rangeIn(src, count, kRamStart, kRamSize)) return replyCode(letter, kSrcAddrNotMapped);
      for (unsigned s = sectorOf(dst); s <= sectorOf(dst + count - 1); ++s)
        if (!prepared_[s]) return replyCode(letter, kSectorNotPrepared);
      {
        // Programming only clears bits: a sector not erased first keeps them.
        std::lock_guard<std::mutex> lock(memMutex_);
        for (uint32_t i = 0; i < count; ++i) flash_[dst + i] &= ram_[src - kRamStart + i];
      }
      prepared_.assign(prepared_.size(), false);
      transcript_.add("copy " + std::to_string(dst) + " " + std::to_string(src) + " " + std::to_string(count));
      return replyCode(letter, kSuccess);
    }
    case 'G':
      if (!args(1) || (mode != "T" && mode != "A")) return replyCode(letter, kParamError);
      if (!unlocked()) return replyCode(letter, kCmdLocked);
      transcript_.add("go " + std::to_string(u32(0)));
      state_ = State::Running;
      if (config_.onGo) config_.onGo();
      return replyCode(letter, kSuccess);
    case 'J':
      replyCode(letter, kSuccess);
      return reply(std::to_string(config_.partId) + "\r\n");
    case 'K':
      replyCode(letter, kSuccess);
      reply(std::to_string(config_.bootMajor) + "\r\n");
      return reply(std::to_string(config_.bootMinor) + "\r\n");
    case 'N':
      replyCode(letter, kSuccess);
      for (uint32_t w : config_.deviceId) reply(std::to_string(w) + "\r\n");
      return;
    default:
      return replyCode(letter, kInvalidCommand);
  }
}

void LpcRom::onWriteLine(const std::string& line) {
  const Faults& f = config_.faults;
  const bool checksumDue = blockLines_ == kLinesPerChecksum || xferDone_ + block_.size() >= xferCount_;
  if (!checksumDue) {
    std::vector<uint8_t> bytes;
    uudecodeLine(line, &bytes);
    ++writeLines_;
    if (writeLines_ == f.corruptWriteLine && !bytes.empty()) bytes[0] ^= 0x01;
    const size_t room = xferCount_ - xferDone_ - block_.size();
    if (bytes.size() > room) bytes.resize(room);
    block_.insert(block_.end(), bytes.begin(), bytes.end());
    ++blockLines_;
    transcript_.add("data " + std::to_string(bytes.size()));
    return;
  }
  blockLines_ = 0;
  ++writeChecksums_;
  long long sum = 0;
  for (uint8_t b : block_) sum += b;
  std::vector<long long> v;
  const bool ok = parseArgs(line, &v) && v.size() == 1 && v[0] == sum && writeChecksums_ > f.resendCount;
  if (!f.checksumReply.empty()) {
    transcript_.add("checksum " + line + " " + stripEnd(f.checksumReply));
    state_ = State::Command;
    return reply(f.checksumReply);
  }
  if (!ok) {
    transcript_.add("checksum " + line + " RESEND");
    block_.clear();
    return reply("RESEND\r\n");
  }
  {
    std::lock_guard<std::mutex> lock(memMutex_);
    std::copy(block_.begin(), block_.end(), ram_.begin() + (xferAddress_ - kRamStart + xferDone_));
  }
  xferDone_ += static_cast<uint32_t>(block_.size());
  block_.clear();
  transcript_.add("checksum " + line + " OK");
  if (xferDone_ >= xferCount_) state_ = State::Command;
  reply("OK\r\n");
}

void LpcRom::sendReadBlock() {
  const uint32_t n = std::min<uint32_t>(xferCount_ - xferDone_, kBytesPerLine * kLinesPerChecksum);
  std::vector<uint8_t> bytes(n);
  {
    std::lock_guard<std::mutex> lock(memMutex_);
    const uint32_t at = xferAddress_ + xferDone_;
    for (uint32_t i = 0; i < n; ++i)
      bytes[i] = at >= kRamStart ? ram_[at - kRamStart + i] : flash_[at + i];
  }
  long long sum = 0;
  for (size_t i = 0; i < n; i += kBytesPerLine) {
    const size_t len = std::min(kBytesPerLine, n - i);
    reply(uuencodeLine(bytes.data() + i, len) + "\r\n");
  }
  for (uint8_t b : bytes) sum += b;
  if (++readChecksums_ <= config_.faults.badReadChecksums) ++sum;
  readBlockBytes_ = n;
  reply(std::to_string(sum) + "\r\n");
}

void LpcRom::onReadAck(const std::string& line) {
  transcript_.add("in " + line);
  if (line == "OK") {
    xferDone_ += readBlockBytes_;
    if (xferDone_ >= xferCount_) {
      state_ = State::Command;
      return;
    }
    return sendReadBlock();
  }
  if (line == "RESEND") return sendReadBlock();
  state_ = State::Command;
}

}  // namespace lpcsim
