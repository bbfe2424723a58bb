#include "SimTranscript.h"

#include <cstdio>

namespace jvsim {

Transcript::Transcript() : start_(std::chrono::steady_clock::now()) {}

void Transcript::add(Dir dir, Bytes bytes, std::string text) {
  TranscriptLine line;
  line.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  line.dir = dir;
  line.bytes = std::move(bytes);
  line.text = std::move(text);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (echo_) {
      std::fprintf(echo_, "%s\n", format(line).c_str());
      std::fflush(echo_);
    }
    lines_.push_back(std::move(line));
  }
  changed_.notify_all();
}

void Transcript::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::vector<TranscriptLine> Transcript::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t Transcript::countLocked(Dir dir, const Bytes& bytes) const {
  size_t n = 0;
  for (const auto& line : lines_) {
    if (line.dir == dir && line.bytes == bytes) ++n;
  }
  return n;
}

size_t Transcript::countEventsLocked(const std::string& prefix) const {
  size_t n = 0;
  for (const auto& line : lines_) {
    if (line.dir == Dir::Event && line.text.compare(0, prefix.size(), prefix) == 0) ++n;
  }
  return n;
}

size_t Transcript::count(Dir dir, const Bytes& bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return countLocked(dir, bytes);
}

size_t Transcript::countEvents(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return countEventsLocked(prefix);
}

size_t Transcript::countDir(Dir dir) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& line : lines_) {
    if (line.dir == dir) ++n;
  }
  return n;
}

bool Transcript::waitFor(Dir dir, const Bytes& bytes, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return countLocked(dir, bytes) >= n; });
}

bool Transcript::waitForEvent(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return countEventsLocked(prefix) >= n; });
}

std::string Transcript::hex(const Bytes& bytes) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  return s;
}

std::string Transcript::format(const TranscriptLine& line) {
  static const char* const kTags[] = {"in ", "out", "jnk", "ev "};
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%10.3f %s ", line.ms, kTags[static_cast<int>(line.dir)]);
  std::string s = stamp;
  s += line.dir == Dir::Event ? line.text : hex(line.bytes);
  return s;
}

std::string Transcript::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string s;
  for (const auto& line : lines_) {
    s += format(line);
    s += '\n';
  }
  return s;
}

void Transcript::setEcho(FILE* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = out;
}

}  // namespace jvsim
