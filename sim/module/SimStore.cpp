#include "SimStore.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace jvsim {

namespace {

constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kSlotReadChunk = 25;
constexpr size_t kFactoryChunk = 26;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryItemMask = 0x0F;
constexpr uint8_t kCodeParam = 2;
constexpr uint8_t kCodeSize = 14;
constexpr uint8_t kCodeIndexRange = 26;

// Takes one strike of a "next N" counter (-1: always).
bool strike(std::atomic<int>& counter) {
  int n = counter.load();
  while (n != 0) {
    if (n < 0) return true;
    if (counter.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

uint8_t factorySub(uint8_t itemByte) {
  if (itemByte == kFactoryEnd) return 3;
  return (itemByte & kFactoryWrite) ? 2 : 1;
}

}  // namespace

SimStore::SimStore(uint8_t address) : address_(address) {}

std::shared_ptr<SimStore> SimStore::install(SimModule& module, uint8_t address) {
  auto layer = std::make_shared<SimStore>(address);
  module.addHandler(layer);
  return layer;
}

std::shared_ptr<SimStore> SimStore::of(SimModule& module) {
  for (const auto& h : module.handlers()) {
    if (auto store = std::dynamic_pointer_cast<SimStore>(h)) return store;
  }
  return nullptr;
}

void SimStore::addSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (contents.size() > capacity) contents.resize(capacity);
  slots_[{store, slot}] = Slot{capacity, std::move(contents)};
}

Bytes SimStore::slot(uint8_t store, uint8_t slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = slots_.find({store, slot});
  return it == slots_.end() ? Bytes{} : it->second.data;
}

void SimStore::setFactory(uint8_t item, Bytes data) {
  std::lock_guard<std::mutex> lock(mutex_);
  factory_[item & kFactoryItemMask] = std::move(data);
}

Bytes SimStore::factory(uint8_t item) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factory_[item & kFactoryItemMask];
}

std::vector<Bytes> SimStore::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t SimStore::openHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

bool SimStore::handle(SimModule& module, const Packet& packet) {
  if (packet.address != address_ || packet.data.empty()) return false;
  const uint8_t command = packet.data[0];
  if (command != kCmdStore && command != kCmdFactory) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(packet.data);
  if (command == kCmdStore) {
    handleStore(module, packet.data);
  } else {
    handleFactory(module, packet.data);
  }
  return true;
}

SimStore::Plan SimStore::takeFaults(SimModule& module, uint8_t command, uint8_t sub) {
  Plan plan;
  const int scopeCommand = faults_.command.load();
  const int scopeSub = faults_.subCommand.load();
  if ((scopeCommand >= 0 && scopeCommand != command) || (scopeSub >= 0 && scopeSub != sub)) return plan;
  plan.silent = strike(faults_.silence);
  plan.error = !plan.silent && strike(faults_.errorReplies);
  if (!plan.silent && !plan.error) {
    if (strike(faults_.shortReply)) plan.delta = -1;
    if (plan.delta == 0 && strike(faults_.longReply)) plan.delta = 1;
    plan.wrongSum = command == kCmdStore && sub == 7 && strike(faults_.wrongSum);
  }
  char text[96];
  std::snprintf(text, sizeof text, "[%02X] store fault%s%s%s%s (command 0x%02X sub %u)", address_,
                plan.silent ? " silence" : "", plan.error ? " error" : "",
                plan.delta < 0 ? " short" : plan.delta > 0 ? " long" : "", plan.wrongSum ? " sum" : "", command,
                sub);
  if (plan.silent || plan.error || plan.delta || plan.wrongSum) module.transcript().add(Dir::Event, {}, text);
  return plan;
}

void SimStore::reply(SimModule& module, Bytes data, const Plan& plan) {
  if (plan.silent) return;
  if (plan.delta < 0 && !data.empty()) data.pop_back();
  if (plan.delta > 0 && data.size() < kMaxData) data.push_back(0x00);
  module.send(Packet{address_, std::move(data)});
}

void SimStore::error(SimModule& module, Bytes matched, uint8_t code, const Plan& plan) {
  matched[1] |= kErrorBit;
  matched.push_back(code);
  reply(module, std::move(matched), plan);
}

void SimStore::handleStore(SimModule& module, const Bytes& d) {
  if (d.size() < 3) return;  // nothing a reply could be matched by
  const uint8_t sub = d[1] & 0x7F;
  Plan plan = takeFaults(module, kCmdStore, sub);
  const int forced = plan.error ? faults_.errorCode.load() : -1;

  if (sub >= 1 && sub <= 4) {
    if (d.size() < 4) return error(module, {d[0], d[1], d[2], 0}, kCodeParam, plan);
    const Bytes matched{kCmdStore, sub, d[2], d[3]};
    auto it = slots_.find({d[2], d[3]});
    if (forced >= 0) return error(module, matched, static_cast<uint8_t>(forced), plan);
    if (it == slots_.end()) return error(module, matched, kCodeIndexRange, plan);
    Bytes out = matched;
    if (sub == 1 || sub == 2) {
      const size_t value = sub == 1 ? it->second.capacity : it->second.data.size();
      out.push_back(static_cast<uint8_t>(value >> 8));
      out.push_back(static_cast<uint8_t>(value));
    } else {
      if (nextHandle_ == 0xFF) nextHandle_ = 1;  // 255 would read as no handle
      const uint8_t handle = nextHandle_++;
      open_[handle] = Open{it->first, sub == 4, 0, {}};
      out.push_back(handle);
    }
    return reply(module, std::move(out), plan);
  }

  const uint8_t handle = d[2];
  const Bytes matched{kCmdStore, sub, handle};
  if (forced >= 0) return error(module, matched, static_cast<uint8_t>(forced), plan);
  auto open = open_.find(handle);
  const bool readable = open != open_.end() && !open->second.writing;
  const bool writable = open != open_.end() && open->second.writing;
  switch (sub) {
    case 6: {
      if (!readable) return error(module, matched, kCodeIndexRange, plan);
      const Bytes& data = slots_[open->second.slot].data;
      const size_t from = std::min(open->second.position, data.size());
      const size_t n = std::min(kSlotReadChunk, data.size() - from);
      Bytes out = matched;
      out.insert(out.end(), data.begin() + from, data.begin() + from + n);
      open->second.position = from + n;
      return reply(module, std::move(out), plan);
    }
    case 7: {
      if (!writable) return error(module, matched, kCodeIndexRange, plan);
      const Bytes chunk(d.begin() + 3, d.end());
      if (open->second.pending.size() + chunk.size() > slots_[open->second.slot].capacity) {
        return error(module, matched, kCodeSize, plan);
      }
      uint8_t sum = 0;
      for (uint8_t b : chunk) sum = static_cast<uint8_t>(sum + b);
      if (plan.wrongSum) ++sum;
      open->second.pending.insert(open->second.pending.end(), chunk.begin(), chunk.end());
      Bytes out = matched;
      out.push_back(sum);
      return reply(module, std::move(out), plan);
    }
    case 8: {
      if (open == open_.end()) return error(module, matched, kCodeIndexRange, plan);
      if (open->second.writing) slots_[open->second.slot].data = open->second.pending;
      open_.erase(open);
      Bytes out = matched;
      out.push_back(0);
      return reply(module, std::move(out), plan);
    }
    default:
      return error(module, matched, kCodeParam, plan);
  }
}

void SimStore::handleFactory(SimModule& module, const Bytes& d) {
  if (d.size() < 2) return;
  const uint8_t itemByte = d[1];
  const uint8_t sub = factorySub(itemByte);
  Plan plan = takeFaults(module, kCmdFactory, sub);
  const int forced = plan.error ? faults_.errorCode.load() : -1;

  if (sub == 3) {
    const Bytes matched{kCmdFactory, 0x00};
    if (forced >= 0) return error(module, matched, static_cast<uint8_t>(forced), plan);
    if (d.size() < 4) return error(module, matched, kCodeParam, plan);
    const size_t count = (size_t{d[2]} << 8) | d[3];
    const size_t moved = factoryItem_ < 0 ? 0 : factoryWriting_ ? factoryPending_.size() : factoryPosition_;
    const bool matches = (moved & 0xFFFF) == count;
    if (matches && factoryItem_ >= 0 && factoryWriting_) factory_[factoryItem_] = factoryPending_;
    factoryItem_ = -1;
    factoryPending_.clear();
    factoryPosition_ = 0;
    return matches ? reply(module, matched, plan) : error(module, matched, kCodeSize, plan);
  }

  const uint8_t item = itemByte & kFactoryItemMask;
  const Bytes matched{kCmdFactory, item};
  if (forced >= 0) return error(module, matched, static_cast<uint8_t>(forced), plan);
  const bool first = (itemByte & kFactoryFirst) != 0;
  const bool writing = sub == 2;
  if (first) {
    factoryItem_ = item;
    factoryWriting_ = writing;
    factoryPosition_ = 0;
    factoryPending_.clear();
  } else if (factoryItem_ != item || factoryWriting_ != writing) {
    return error(module, matched, kCodeParam, plan);  // no such transfer under way
  }
  if (writing) {
    factoryPending_.insert(factoryPending_.end(), d.begin() + 2, d.end());
    return reply(module, matched, plan);
  }
  const Bytes& data = factory_[item];
  const size_t from = std::min(factoryPosition_, data.size());
  const size_t n = std::min(kFactoryChunk, data.size() - from);
  Bytes out = matched;
  out.insert(out.end(), data.begin() + from, data.begin() + from + n);
  factoryPosition_ = from + n;
  reply(module, std::move(out), plan);
}

}  // namespace jvsim
