#include "SimModule.h"

#include <algorithm>
#include <cstdio>

namespace jvsim {

Bytes Packet::wire() const {
  Bytes b;
  b.reserve(data.size() + 2);
  b.push_back(address);
  b.push_back(static_cast<uint8_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

SimModule::SimModule(SimConfig config, std::unique_ptr<Transport> transport)
    : config_(config), transport_(std::move(transport)) {}

SimModule::~SimModule() { stop(); }

std::unique_ptr<SimModule> SimModule::overTcp(const std::string& host, uint16_t port, SimConfig config) {
  return std::make_unique<SimModule>(config, std::make_unique<TcpTransport>(host, port));
}

std::unique_ptr<SimModule> SimModule::overPty(const std::string& linkPath, SimConfig config) {
  return std::make_unique<SimModule>(config, std::make_unique<PtyTransport>(linkPath));
}

std::unique_ptr<SimModule> SimModule::overPipe(SimConfig config) {
  return std::make_unique<SimModule>(config, std::make_unique<PipeTransport>());
}

void SimModule::start() {
  if (running_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nextHeartbeat_ = Clock::now() + std::chrono::milliseconds(config_.heartbeatMs);
  }
  transcript_.add(Dir::Event, {}, "start " + transport_->describe());
  std::mutex m;
  std::condition_variable cv;
  bool up = false;
  thread_ = std::thread([&, this] {
    {
      // Notified under the lock: start() may return and end cv the moment it sees `up`.
      std::lock_guard<std::mutex> lock(m);
      up = true;
      cv.notify_all();
    }
    run();
  });
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return up; });
}

void SimModule::stop() {
  if (!running_.exchange(false)) return;
  transport_->wake();
  if (thread_.joinable()) thread_.join();
  transcript_.add(Dir::Event, {}, "stop");
}

void SimModule::addHandler(std::shared_ptr<CommandHandler> handler) { handlers_.push_back(std::move(handler)); }

void SimModule::addLinkObserver(std::function<void(const std::string&)> observer) {
  linkObservers_.push_back(std::move(observer));
}

std::vector<uint8_t> SimModule::forceRoutes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forceRoutes_;
}

void SimModule::writeNow(const Bytes& bytes) {
  if (transport_->send(bytes.data(), bytes.size())) {
    transcript_.add(Dir::Out, bytes);
  } else {
    transcript_.add(Dir::Event, bytes, "send failed: no host");
  }
}

void SimModule::queueAnswer(Bytes bytes) {
  if (faults_.silent) return;
  if (faults_.strayByte.exchange(false)) {
    transcript_.add(Dir::Event, {}, "fault stray byte");
    bytes.insert(bytes.begin(), 0x03);
  }
  int late = faults_.lateMs;
  if (late > 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      outbox_.push_back({Clock::now() + std::chrono::milliseconds(late), std::move(bytes)});
    }
    transport_->wake();
    return;
  }
  writeNow(bytes);
}

void SimModule::send(const Packet& packet) { queueAnswer(packet.wire()); }

void SimModule::sendAfter(const Packet& packet, int delayMs) {
  if (delayMs <= 0) {
    send(packet);
    return;
  }
  if (faults_.silent) return;
  insertDelayed(Delayed{Clock::now() + std::chrono::milliseconds(delayMs), packet.wire(), {}});
}

void SimModule::runAfter(int delayMs, std::function<void()> action) {
  insertDelayed(Delayed{Clock::now() + std::chrono::milliseconds(std::max(0, delayMs)), {}, std::move(action)});
}

void SimModule::insertDelayed(Delayed d) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto at = std::upper_bound(outbox_.begin(), outbox_.end(), d.due,
                               [](Clock::time_point t, const Delayed& x) { return t < x.due; });
    outbox_.insert(at, std::move(d));
  }
  transport_->wake();
}

void SimModule::sendRaw(const Bytes& bytes) { writeNow(bytes); }

void SimModule::sendHeartbeat(uint8_t value) {
  if (faults_.silent) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heartbeats_.push_back({Clock::now(), static_cast<uint8_t>(value + 2)});
  }
  stats_.heartbeatsSent++;
  queueAnswer(Packet{config_.address, {0x00, value}}.wire());
}

void SimModule::flood(int count) {
  transcript_.add(Dir::Event, {}, "fault flood " + std::to_string(count));
  Bytes all;
  for (int i = 0; i < count; ++i) {
    Bytes w = Packet{config_.address, {kCmdEcho, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}}.wire();
    all.insert(all.end(), w.begin(), w.end());
  }
  // One write, one transcript line: the flood is a single burst on the wire.
  writeNow(all);
}

void SimModule::dropConnection() {
  transcript_.add(Dir::Event, {}, "fault drop connection");
  transport_->dropConnection();
}

void SimModule::onConnectionEvent(const std::string& event) {
  // Counted, and its observers told, before it is logged, so a test that
  // waited for the line sees the count and what the observers keep of it
  // (a loader's time back online). Observers only note and schedule.
  if (event == "connect") stats_.connections++;
  // A new host starts framing afresh.
  rx_ = Rx::Address;
  for (auto& observer : linkObservers_) observer(event);
  transcript_.add(Dir::Event, {}, event);
}

void SimModule::flushDue(Clock::time_point now) {
  std::vector<Delayed> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!outbox_.empty() && outbox_.front().due <= now) {
      due.push_back(std::move(outbox_.front()));
      outbox_.pop_front();
    }
  }
  for (auto& d : due) {
    if (d.action) {
      d.action();
    } else {
      writeNow(d.bytes);
    }
  }
}

int SimModule::nextWaitMs(Clock::time_point now) const {
  auto until = now + std::chrono::milliseconds(200);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!outbox_.empty()) until = std::min(until, outbox_.front().due);
  if (config_.heartbeatMs > 0) until = std::min(until, nextHeartbeat_);
  if (!heartbeats_.empty()) {
    until = std::min(until, heartbeats_.front().sent + std::chrono::milliseconds(config_.heartbeatAnswerMs));
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::clamp<long long>(ms + 1, 1, 200));
}

void SimModule::run() {
  uint8_t buf[512];
  while (running_) {
    auto now = Clock::now();
    std::string event;
    size_t n = transport_->receive(buf, sizeof buf, nextWaitMs(now), &event);
    if (!event.empty()) onConnectionEvent(event);
    for (size_t i = 0; i < n; ++i) feed(buf[i]);
    now = Clock::now();
    flushDue(now);

    std::vector<uint32_t> missed;
    bool beat = false;
    uint8_t value = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto limit = std::chrono::milliseconds(config_.heartbeatAnswerMs);
      while (!heartbeats_.empty() && now - heartbeats_.front().sent > limit) {
        missed.push_back(heartbeats_.front().expected);
        heartbeats_.pop_front();
      }
      if (config_.heartbeatMs > 0 && now >= nextHeartbeat_) {
        nextHeartbeat_ = now + std::chrono::milliseconds(config_.heartbeatMs);
        if (transport_->connected()) {
          beat = true;
          value = nextHeartbeatValue_;
          nextHeartbeatValue_ ^= 1;
        }
      }
    }
    for (auto expected : missed) {
      stats_.heartbeatsMissed++;
      char text[64];
      std::snprintf(text, sizeof text, "heartbeat missed (expected %02X)", expected);
      transcript_.add(Dir::Event, {}, text);
    }
    if (beat) sendHeartbeat(value);
  }
}

void SimModule::feed(uint8_t byte) {
  switch (rx_) {
    case Rx::Address:
      // Module addresses are even; the two link-control addresses are odd.
      if (byte == 0 || ((byte & 1) && byte != kSyncQueryAddress && byte != kForceRouteAddress)) {
        stats_.junkBytes++;
        transcript_.add(Dir::Junk, {byte});
        return;
      }
      rxPacket_ = Packet{byte, {}};
      rx_ = Rx::Length;
      return;
    case Rx::Length:
      if (byte > kMaxData) {
        stats_.junkBytes++;
        transcript_.add(Dir::Junk, {rxPacket_.address, byte});
        rx_ = Rx::Address;
        return;
      }
      rxLength_ = byte;
      if (byte == 0) break;
      rx_ = Rx::Data;
      return;
    case Rx::Data:
      rxPacket_.data.push_back(byte);
      if (rxPacket_.data.size() < rxLength_) return;
      break;
  }
  rx_ = Rx::Address;
  Packet p = std::move(rxPacket_);
  transcript_.add(Dir::In, p.wire());
  stats_.packetsIn++;
  handlePacket(p);
  int left = faults_.dropAfterPackets;
  if (left > 0 && --faults_.dropAfterPackets == 0) dropConnection();
}

void SimModule::answerSyncQuery() {
  stats_.syncQueries++;
  const uint8_t a = config_.address;
  if (faults_.brokenHandshake > 0) {
    faults_.brokenHandshake--;
    transcript_.add(Dir::Event, {}, "fault broken handshake");
    // An empty packet, then a different address byte where the second
    // empty packet's address should be.
    queueAnswer({a, 0x00, static_cast<uint8_t>(a + 2)});
    return;
  }
  queueAnswer({a, 0x00});
  for (auto& observer : linkObservers_) observer("sync");
}

void SimModule::checkHeartbeatAnswer(uint8_t value) {
  bool matched = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(heartbeats_.begin(), heartbeats_.end(),
                           [&](const Pending& p) { return p.expected == value; });
    if (it != heartbeats_.end()) {
      heartbeats_.erase(it);
      matched = true;
    }
  }
  char text[64];
  if (matched) {
    stats_.heartbeatsAnswered++;
    std::snprintf(text, sizeof text, "heartbeat answered %02X", value);
  } else {
    stats_.heartbeatsWrong++;
    std::snprintf(text, sizeof text, "heartbeat answer wrong %02X", value);
  }
  transcript_.add(Dir::Event, {}, text);
}

void SimModule::handlePacket(const Packet& p) {
  if (p.address == kSyncQueryAddress) {
    if (p.data.empty()) answerSyncQuery();
    return;
  }
  if (p.address == kForceRouteAddress) {
    if (p.data.size() == 1) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        forceRoutes_.push_back(p.data[0]);
      }
      transcript_.add(Dir::Event, {}, "force route " + std::to_string(p.data[0]));
      for (auto& observer : linkObservers_) observer("force route");
      int n = p.data[0] == 1 ? faults_.floodOnForceRoute.exchange(0) : 0;
      if (n > 0) flood(n);
    }
    return;
  }
  for (auto& h : handlers_) {
    if (h->handle(*this, p)) return;
  }
  if (p.address != config_.address || p.data.empty()) return;
  if (p.data.size() == 2 && p.data[0] == 0x00) {
    checkHeartbeatAnswer(p.data[1]);
    return;
  }
  if (p.data[0] == kCmdEcho) {
    stats_.echoes++;
    send(p);
  }
}

}  // namespace jvsim
