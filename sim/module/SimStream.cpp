#include "SimStream.h"

#include "SimCounter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace jvsim {

namespace {

constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;
constexpr uint8_t kState = 0x41;
constexpr uint8_t kAckFlags = 0xC0;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kRequestIndexBit = 0x20;
constexpr uint8_t kStreamBit = 0x40;
constexpr uint8_t kEvery = 0xFF;

// Which stream layer sits behind which command layer.
std::mutex gRegistryMutex;
std::map<const SimCommands*, std::weak_ptr<SimStream>>& registry() {
  static std::map<const SimCommands*, std::weak_ptr<SimStream>> layers;
  return layers;
}

bool element(uint8_t want, uint8_t have) { return want == kEvery || want == have; }

size_t width(ValueType type) {
  switch (type) {
    case ValueType::U8: return 1;
    case ValueType::U16: return 2;
    default: return 4;
  }
}

uint8_t sampleType(ValueType type, bool subindex) {
  const uint8_t base = type == ValueType::U8 ? 1 : type == ValueType::U16 ? 2 : 3;
  return static_cast<uint8_t>(subindex ? base + 4 : base);
}

void putBig(Bytes& out, uint64_t value, size_t bytes) {
  for (size_t i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string hexBytes(const Bytes& b, size_t from) {
  std::string s;
  char buf[4];
  for (size_t i = from; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, i + 1 < b.size() ? "%02X " : "%02X", b[i]);
    s += buf;
  }
  return s;
}

}  // namespace

std::shared_ptr<SimStream> SimStream::install(SimModule& module, std::shared_ptr<SimCommands> commands,
                                              int periodMs) {
  const SimCommands* key = commands.get();
  auto layer = std::make_shared<SimStream>(module, std::move(commands), periodMs);
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  registry()[key] = layer;
  return layer;
}

bool SimStream::dispatch(SimCommands& commands, SimModule& module, const Packet& packet) {
  if (packet.data.empty() || packet.data[0] != kCmdStream) return false;
  std::shared_ptr<SimStream> layer;
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    auto it = registry().find(&commands);
    if (it != registry().end()) layer = it->second.lock();
  }
  return layer && layer->handle(module, packet);
}

SimStream::SimStream(SimModule& module, std::shared_ptr<SimCommands> commands, int periodMs)
    : module_(module), commands_(std::move(commands)), periodMs_(periodMs < 1 ? 1 : periodMs) {}

SimStream::~SimStream() {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto it = registry().find(commands_.get());
  if (it != registry().end() && it->second.expired()) registry().erase(it);
}

void SimStream::addStreamable(uint8_t command, uint8_t index, uint8_t option, ValueType type, uint8_t subindexes) {
  std::lock_guard<std::mutex> lock(mutex_);
  streamables_.push_back(Streamable{command, index, option, type, subindexes});
}

bool SimStream::streaming() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !patterns_.empty();
}

size_t SimStream::patterns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return patterns_.size();
}

void SimStream::event(const std::string& text) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "[%02X] ", commands_->address());
  module_.transcript().add(Dir::Event, {}, prefix + text);
}

void SimStream::reply(SimModule& module, const Packet& request, Bytes data) {
  module.send(Packet{request.address, std::move(data)});
}

bool SimStream::handle(SimModule& module, const Packet& p) {
  const Bytes& d = p.data;
  if (d.size() < 3) return false;
  const uint8_t option = d[1];
  const uint8_t replyOption = static_cast<uint8_t>(option == kState ? option & 0x3F : option | kAckFlags);
  auto refuse = [&](uint8_t code) {
    event("stream error reply " + std::to_string(code));
    reply(module, p, Bytes{kCmdStream, replyOption, kErrorBit, code});
    return true;
  };
  if (option == kState) {
    if (d.size() != 3 || d[2] != kRequestIndexBit) return refuse(code::kSize);
    reply(module, p, Bytes{kCmdStream, replyOption, 0x00, static_cast<uint8_t>(streaming() ? 1 : 0)});
    return true;
  }
  if (option != kEnable && option != kDisable) return refuse(code::kInvalidOption);
  if (d.size() != 7 || d[2] != kRequestIndexBit) return refuse(code::kSize);
  const bool enable = option == kEnable;
  event(std::string(enable ? "stream enable " : "stream disable ") + hexBytes(d, 3));
  if (takeOne(faults_.errorReplies)) {
    event("fault stream refused");
    return refuse(static_cast<uint8_t>(faults_.errorCode.load()));
  }
  const Pattern asked{d[3], d[4], d[5], d[6]};
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enable) {
      patterns_.push_back(asked);
      start = !ticking_;
      ticking_ = true;
    } else if (faults_.neverStops) {
      // acknowledged below, changes nothing
    } else {
      std::erase_if(patterns_, [&](const Pattern& q) {
        return element(asked.address, q.address) && element(asked.command, q.command) &&
               element(asked.option, q.option) && element(asked.index, q.index);
      });
    }
  }
  if (!enable && faults_.neverStops) event("fault stream never stops");
  reply(module, p, Bytes{kCmdStream, replyOption, 0x00});
  if (start) schedule();
  return true;
}

void SimStream::schedule() {
  std::weak_ptr<SimStream> self = weak_from_this();
  module_.runAfter(periodMs_, [self] {
    if (auto layer = self.lock()) layer->tick();
  });
}

void SimStream::tick() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (patterns_.empty()) {
      ticking_ = false;
      return;
    }
  }
  sendSamples(nullptr);
  schedule();
}

void SimStream::burst(int count) {
  std::weak_ptr<SimStream> self = weak_from_this();
  module_.runAfter(0, [self, count] {
    auto layer = self.lock();
    if (!layer) return;
    for (int i = 0; i < count; ++i) {
      const uint32_t value = static_cast<uint32_t>(i);
      layer->sendSamples(&value);
    }
  });
}

void SimStream::sampleNow() {
  std::weak_ptr<SimStream> self = weak_from_this();
  module_.runAfter(0, [self] {
    if (auto layer = self.lock()) layer->sendSamples(nullptr);
  });
}

bool SimStream::covered(const Streamable& s) const {
  const uint8_t own = commands_->address();
  for (const Pattern& q : patterns_) {
    if (element(q.address, own) && element(q.command, s.command) && element(q.option, s.option) &&
        element(q.index, s.index)) {
      return true;
    }
  }
  return false;
}

void SimStream::sendSamples(const uint32_t* fixedValue) {
  std::vector<Streamable> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Streamable& s : streamables_) {
      if (covered(s)) due.push_back(s);
    }
  }
  for (const Streamable& s : due) {
    const unsigned subs = s.subindexes ? s.subindexes : 1;
    for (unsigned sub = 0; sub < subs; ++sub) {
      const uint8_t subindex = static_cast<uint8_t>(sub);
      sendSample(s, subindex, fixedValue ? *fixedValue : commands_->value(s.command, s.index, s.option, subindex));
    }
  }
}

void SimStream::sendSample(const Streamable& s, uint8_t subindex, uint32_t value) {
  uint64_t timestamp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started_);
    timestamp = std::max<uint64_t>(static_cast<uint64_t>(now.count()), lastTimestamp_ + 1);
    lastTimestamp_ = timestamp;
  }
  const bool withSubindex = s.subindexes > 0;
  Bytes d{s.command, static_cast<uint8_t>(s.option & 0x3F), static_cast<uint8_t>((s.index & 0x1F) | kStreamBit),
          sampleType(s.type, withSubindex)};
  if (withSubindex) d.push_back(subindex);
  putBig(d, timestamp >> 32, 4);
  putBig(d, timestamp & 0xFFFFFFFFu, 4);
  putBig(d, value, width(s.type));
  d.push_back(0x00);
  if (takeOne(faults_.malformed)) {
    switch (static_cast<Malformed>(faults_.malformedKind.load())) {
      case Malformed::ShortLength: d.erase(d.end() - 2); break;
      case Malformed::Trailer: d.back() = 0x81; break;
      case Malformed::TypeZero: d[3] = 0; break;
      case Malformed::TypeEight: d[3] = 8; break;
    }
    event("fault stream malformed");
  }
  module_.send(Packet{commands_->address(), std::move(d)});
  ++samplesSent_;
}

}  // namespace jvsim
