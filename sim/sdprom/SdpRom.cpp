#include "SdpRom.h"

#include <algorithm>
#include <cstdio>

namespace sdpsim {

namespace {

constexpr uint8_t kHabReport = 3;
constexpr uint8_t kStatusReport = 4;
constexpr uint8_t kFormat32 = 0x20;
constexpr uint32_t kGarble = 0x5A5A5A5A;
constexpr size_t kReportData = 64;

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

}  // namespace

std::string hex32(uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

SdpRom::SdpRom(Config config) : config_(config) {}

Reply SdpRom::hab() const { return {kHabReport, le32(config_.habMode)}; }

Reply SdpRom::status(uint32_t word) const {
  return {kStatusReport, le32(config_.faults.corrupt ? word ^ kGarble : word)};
}

Reply SdpRom::dataReply(Bytes bytes) const {
  if (config_.faults.corrupt)
    for (uint8_t& b : bytes) b ^= uint8_t(kGarble);
  return {kStatusReport, std::move(bytes)};
}

uint32_t SdpRom::wordAt(uint32_t address) const {
  if (address == kFuseCfg0) return config_.cfg0;
  if (address == kFuseCfg1) return config_.cfg1;
  uint32_t v = 0;
  for (uint32_t i = 0; i < 4; ++i) v |= uint32_t(byteAt(address + i)) << (8 * i);
  return v;
}

uint8_t SdpRom::byteAt(uint32_t address) const {
  auto page = memory_.find(address & ~(kPageBytes - 1));
  return page == memory_.end() ? 0 : page->second[address & (kPageBytes - 1)];
}

void SdpRom::store(uint32_t address, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const uint32_t offset = address & (kPageBytes - 1);
    const size_t take = std::min<size_t>(bytes.size() - done, kPageBytes - offset);
    auto [page, made] = memory_.try_emplace(address - offset);
    if (made) page->second.fill(0);
    std::copy_n(bytes.begin() + ptrdiff_t(done), take, page->second.begin() + offset);
    done += take;
    address += uint32_t(take);  // wraps past the top, as the byte addresses did
  }
}

std::vector<Reply> SdpRom::command(const uint8_t* cmd) {
  std::vector<Reply> out;
  bool jumpedNow = false;
  std::function<void()> callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dropped_ || jumped_) return out;
    ++commands_;
    const uint8_t type = cmd[0];
    const uint32_t address = be32(cmd + 2), count = be32(cmd + 7);
    const uint8_t format = cmd[6];
    if (config_.faults.dropAfter >= 0 && commands_ >= config_.faults.dropAfter) {
      dropped_ = true;
      noteLocked("DROP");
      return out;
    }
    if (config_.faults.silent) {
      noteLocked("SILENT");
      return out;
    }
    if (cmd[1] != type) {
      noteLocked("BAD_COMMAND " + hex32(type).substr(6) + " " + hex32(cmd[1]).substr(6));
      lastStatus_ = kStatusBadCommand;
      out = {hab(), status(kStatusBadCommand)};
    } else if (type == kErrorStatus) {
      noteLocked("ERROR_STATUS");
      if (probes_++ < config_.faults.silentProbes) return out;
      out = {hab(), status(lastStatus_)};
    } else if (type == kWriteFile) {
      noteLocked("WRITE_FILE " + hex32(address) + " " + std::to_string(count));
      loadAddress_ = address;
      expected_ = count;
      received_.clear();
      chattered_ = false;
      if (count == 0) finishTransfer(out);
    } else if (type == kReadRegister && format == kFormat32) {
      noteLocked("READ_REGISTER " + hex32(address) + " " + std::to_string(count));
      out.push_back(hab());
      Bytes bytes;
      for (uint32_t i = 0; i < count; i += 4) {
        Bytes w = le32(wordAt(address + i));
        bytes.insert(bytes.end(), w.begin(), w.end());
      }
      for (size_t at = 0; at < bytes.size(); at += kReportData) {
        size_t n = std::min(kReportData, bytes.size() - at);
        out.push_back(dataReply(Bytes(bytes.begin() + at, bytes.begin() + at + n)));
      }
    } else if (type == kJumpAddress) {
      noteLocked("JUMP " + hex32(address));
      out = {hab()};
      jumped_ = jumpedNow = true;
      jumpAddress_ = address;
      callback = onJump_;
    } else {
      noteLocked("BAD_COMMAND " + hex32(type).substr(6) + " " + hex32(cmd[1]).substr(6));
      lastStatus_ = kStatusBadCommand;
      out = {hab(), status(kStatusBadCommand)};
    }
    if (config_.faults.shortReply && out.size() > 1) out.resize(1);
  }
  if (jumpedNow && callback) callback();
  return out;
}

void SdpRom::finishTransfer(std::vector<Reply>& out) {
  store(loadAddress_, received_);
  transfers_.emplace_back(loadAddress_, received_);
  noteLocked("WRITE_DONE " + hex32(loadAddress_));
  out.push_back(hab());
  if (!config_.faults.shortReply) out.push_back(status(config_.faults.writeStatus));
  expected_ = 0;
  received_.clear();
}

std::vector<Reply> SdpRom::data(const uint8_t* p, size_t n, size_t* used) {
  std::vector<Reply> out;
  std::lock_guard<std::mutex> lock(mutex_);
  *used = 0;
  if (dropped_ || jumped_ || expected_ == 0) return out;
  size_t take = std::min<size_t>(n, expected_ - received_.size());
  received_.insert(received_.end(), p, p + take);
  *used = take;
  noteLocked("DATA " + std::to_string(take));
  if (config_.faults.chatter && !chattered_) {
    chattered_ = true;
    noteLocked("CHATTER");
    out.push_back(hab());
    out.push_back(status(kStatusAborted));
  }
  if (received_.size() == expected_) finishTransfer(out);
  return out;
}

uint32_t SdpRom::dataExpected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return expected_ - uint32_t(received_.size());
}

bool SdpRom::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

bool SdpRom::jumped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jumped_;
}

uint32_t SdpRom::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jumpAddress_;
}

void SdpRom::onJump(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  onJump_ = std::move(callback);
}

Bytes SdpRom::memory(uint32_t address, size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Bytes out(n, 0);
  for (size_t i = 0; i < n; ++i) out[i] = byteAt(address + uint32_t(i));
  return out;
}

std::vector<std::pair<uint32_t, Bytes>> SdpRom::transfers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transfers_;
}

void SdpRom::note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  noteLocked(line);
}

void SdpRom::noteLocked(const std::string& line) {
  lines_.push_back(line);
  if (echo_) {
    std::fprintf(echo_, "%s\n", line.c_str());
    std::fflush(echo_);
  }
  changed_.notify_all();
}

std::vector<std::string> SdpRom::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t SdpRom::count(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& line : lines_)
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

bool SdpRom::waitFor(const std::string& prefix, size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& line : lines_)
      if (line.compare(0, prefix.size(), prefix) == 0) ++seen;
    return seen >= n;
  });
}

void SdpRom::setEcho(FILE* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = out;
}

}  // namespace sdpsim
