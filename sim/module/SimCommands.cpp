#include "SimCommands.h"
#include "SimStream.h"

#include "SimCounter.h"
#include "SimStore.h"
#include <algorithm>
#include <cstdio>

namespace jvsim {

namespace {

constexpr uint8_t kGetFlag = 0x40;
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kBothFlags = 0xC0;
constexpr uint8_t kRequestIndexBit = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kChunk = 24;
constexpr size_t kI2CMaxLength = 23;

// Command codes that are raw commands, never UEI requests.
bool isRawCommand(uint8_t command) {
  switch (command) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

void putBig(Bytes& out, uint32_t value, size_t width) {
  for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t getBig(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

size_t widthOf(ValueType t) {
  switch (t) {
    case ValueType::U8: return 1;
    case ValueType::U16: return 2;
    case ValueType::U32: return 4;
    default: return 0;
  }
}

std::string hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

}  // namespace

uint32_t packVersion(uint8_t major, uint8_t minor, uint32_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return 0x2F000000u | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | (patch & 0xFF);
  }
  return (uint32_t{major} << 28) | (uint32_t{minor & 0x0Fu} << 24) | (patch & 0xFFFFFFu);
}

CommandConfig CommandConfig::from(const SimConfig& link) {
  CommandConfig c;
  c.address = link.address;
  c.serial = link.serial;
  c.model = link.model;
  return c;
}

SimCommands::SimCommands(CommandConfig config)
    : address_(config.address), defaults_(std::move(config)), started_(std::chrono::steady_clock::now()) {
  fillSystemTable(defaults_);
  entities_[{kCmdI2C, 0}];  // raw command, but counted by the module-information queries
}

SimCommands::~SimCommands() = default;

std::shared_ptr<SimCommands> SimCommands::install(SimModule& module, CommandConfig config) {
  auto layer = std::make_shared<SimCommands>(std::move(config));
  module.addHandler(layer);
  SimStore::install(module, layer->address());  // store slots and factory data
  return layer;
}

std::shared_ptr<SimCommands> SimCommands::install(SimModule& module) {
  return install(module, CommandConfig::from(module.config()));
}

void SimCommands::fillSystemTable(const CommandConfig& c) {
  using T = ValueType;
  auto& options = entities_[{kCmdSystem, 0}].options;
  options.clear();
  auto add = [&](uint8_t option, T type, bool get, bool set, std::vector<uint32_t> values = {0}) {
    OptionSpec s;
    s.option = option;
    s.type = type;
    s.get = get;
    s.set = set;
    s.values = std::move(values);
    options[option] = std::move(s);
  };
  auto i32 = [](int32_t v) { return static_cast<uint32_t>(v); };
  const uint8_t router = c.router ? c.router : c.address;
  add(kOptModule, T::U8, true, false, {c.address});
  add(kOptRouter, T::U8, true, true, {router});
  add(kOptHBInterval, T::U8, true, true, {10});
  add(kOptLED, T::U8, true, true, {0});
  add(kOptBootSlot, T::U8, true, true, {0});
  add(kOptVersion, T::U32, true, false, {c.version});
  add(kOptModel, T::U8, true, false, {c.model});
  add(kOptSerialNumber, T::U32, true, false, {c.serial});
  add(kOptSave, T::None, false, true);
  add(kOptReset, T::None, false, true);
  add(kOptInputVoltage, T::U32, true, false, {5020000});  // microvolts
  add(kOptHardwareOffset, T::U8, true, false, {0});
  add(kOptBaseAddress, T::U8, true, false, {c.address});
  add(kOptSoftwareOffset, T::U8, true, true, {0});
  add(kOptRouterAddressSetting, T::U8, true, false, {0});
  add(kOptRouteToMe, T::U8, false, true, {0});
  add(kOptInputCurrent, T::U32, true, false, {118000});  // microamps
  add(kOptUptime, T::U32, true, false);                  // seconds, read live
  add(kOptMaxTemperature, T::U32, true, false, {i32(47250)});  // millidegrees
  add(kOptLogEvents, T::None, false, true);
  add(kOptUnregulatedVoltage, T::U32, true, false, {i32(5110000)});
  add(kOptUnregulatedCurrent, T::U32, true, false, {i32(121000)});
  add(kOptTemperature, T::U32, true, false, {i32(31500)});
  add(kOptMinTemperature, T::U32, true, false, {i32(-5000)});
  add(kOptInputPowerSource, T::U8, true, false, {1});
  add(kOptInputPowerBehavior, T::U8, true, true, {0});
  add(kOptInputPowerBehaviorConfig, T::Bytes, true, true);
  options[kOptInputPowerBehaviorConfig].bytes = {0, 0, 0, 1, 0, 0, 0x13, 0x88};
  add(kOptName, T::Bytes, true, true);
  options[kOptName].bytes.assign(c.name.begin(), c.name.end());
  add(kOptPowerLimit, T::U32, true, false, {15000000});
  add(kOptPowerLimitMax, T::U32, true, true, {20000000});
  add(kOptPowerLimitState, T::U32, true, false, {0});
  add(kOptResetEntityDefaults, T::None, false, true);
  add(kOptResetDeviceDefaults, T::None, false, true);
  add(kOptLinkInterface, T::U8, true, true, {0});
  add(kOptChipId, T::U32, true, false, {c.chipId[0], c.chipId[1], c.chipId[2], c.chipId[3]});
  add(kOptHardwareVersion, T::U32, true, false, {c.hardwareVersion});
  add(kOptErrors, T::U32, true, false, {0});
  add(kOptLEDMaxBrightness, T::U8, true, true, {255});
  add(kOptBuild, T::U32, true, false, {c.build});
  add(kOptProtocolFeatures, T::U32, true, false, {c.protocolFeatures});
}

OptionSpec* SimCommands::find(uint8_t command, uint8_t index, uint8_t option) {
  auto e = entities_.find({command, index});
  if (e == entities_.end()) return nullptr;
  auto o = e->second.options.find(option);
  return o == e->second.options.end() ? nullptr : &o->second;
}

const OptionSpec* SimCommands::find(uint8_t command, uint8_t index, uint8_t option) const {
  return const_cast<SimCommands*>(this)->find(command, index, option);
}

bool SimCommands::hasEntityCommand(uint8_t command) const {
  for (const auto& [key, entity] : entities_) {
    if (key.first == command) return true;
  }
  return false;
}

// ---- values -------------------------------------------------------------

void SimCommands::set(uint8_t option, uint32_t v, uint8_t subindex) { setValue(kCmdSystem, 0, option, v, subindex); }

uint32_t SimCommands::get(uint8_t option, uint8_t subindex) const { return value(kCmdSystem, 0, option, subindex); }

void SimCommands::setValue(uint8_t command, uint8_t index, uint8_t option, uint32_t v, uint8_t subindex) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  OptionSpec* s = find(command, index, option);
  if (!s) return;
  if (s->values.size() <= subindex) s->values.resize(subindex + 1u, 0);
  s->values[subindex] = v;
}

uint32_t SimCommands::value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (command == kCmdSystem && index == 0 && option == kOptUptime) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count());
  }
  const OptionSpec* s = find(command, index, option);
  return s && subindex < s->values.size() ? s->values[subindex] : 0;
}

void SimCommands::setBytes(uint8_t option, Bytes bytes) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (OptionSpec* s = find(kCmdSystem, 0, option)) s->bytes = std::move(bytes);
}

void SimCommands::setBytes(uint8_t option, const std::string& text) { setBytes(option, Bytes(text.begin(), text.end())); }

Bytes SimCommands::getBytes(uint8_t option) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OptionSpec* s = find(kCmdSystem, 0, option);
  return s ? s->bytes : Bytes{};
}

void SimCommands::setByteLimit(uint8_t option, size_t maxBytes) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (OptionSpec* s = find(kCmdSystem, 0, option)) s->maxBytes = maxBytes;
}

uint32_t SimCommands::callCount(uint8_t option) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = calls_.find({{kCmdSystem, 0}, option});
  return it == calls_.end() ? 0 : it->second;
}

void SimCommands::addEntity(uint8_t command, uint8_t index) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  entities_[{command, index}];
}

void SimCommands::addOption(uint8_t command, uint8_t index, OptionSpec spec) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (spec.type != ValueType::Bytes && spec.values.empty()) spec.values.push_back(0);
  uint8_t option = spec.option;
  entities_[{command, index}].options[option] = std::move(spec);
}

void SimCommands::removeOption(uint8_t command, uint8_t index, uint8_t option) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto e = entities_.find({command, index});
  if (e != entities_.end()) e->second.options.erase(option);
}

void SimCommands::addI2CDevice(uint8_t busAddress, Bytes memory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (memory.empty()) memory.resize(1, 0);
  i2c_[static_cast<uint8_t>(busAddress & 0xFE)] = I2CDevice{0, std::move(memory)};
}

void SimCommands::removeI2CDevice(uint8_t busAddress) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  i2c_.erase(static_cast<uint8_t>(busAddress & 0xFE));
}

Bytes SimCommands::i2cMemory(uint8_t busAddress) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = i2c_.find(static_cast<uint8_t>(busAddress & 0xFE));
  return it == i2c_.end() ? Bytes{} : it->second.memory;
}

bool SimCommands::pullup() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pullup_;
}

// ---- replies and faults -------------------------------------------------

SimCommands::Plan SimCommands::takeFaults(SimModule& module, uint8_t command, int option, bool errorApplies) {
  Plan plan;
  int fc = faults_.command, fo = faults_.option;
  if (fc >= 0 && fc != command) return plan;
  if (fo >= 0 && option >= 0 && fo != option) return plan;
  if (takeOne(faults_.silence)) {
    plan.silent = true;
    event(module, "fault silence");
    return plan;
  }
  if (errorApplies && takeOne(faults_.errorReplies)) {
    plan.error = true;
    event(module, "fault error reply");
  }
  if (takeOne(faults_.wrongLength)) {
    plan.delta = faults_.lengthDelta < 0 ? -1 : 1;
    event(module, plan.delta > 0 ? "fault length +1" : "fault length -1");
  }
  if (takeOne(faults_.corrupt)) {
    plan.corrupt = true;
    event(module, "fault corrupt last byte");
  }
  if (takeOne(faults_.lateReplies)) {
    plan.lateMs = std::max(1, faults_.lateMs.load());
    event(module, "fault late " + std::to_string(plan.lateMs) + " ms");
  }
  if (errorApplies && option >= 0 && takeOne(faults_.streamSample)) {
    plan.streamSample = true;
    event(module, "fault stream sample");
  }
  return plan;
}

void SimCommands::event(SimModule& module, const std::string& text) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "[%02X] ", address_);
  module.transcript().add(Dir::Event, {}, prefix + text);
}

void SimCommands::reply(SimModule& module, Bytes data, const Plan& plan) {
  if (plan.delta > 0 && data.size() < kMaxData) data.push_back(0x00);
  if (plan.delta < 0 && !data.empty()) data.pop_back();
  if (data.size() > kMaxData) data.resize(kMaxData);
  if (plan.corrupt && !data.empty()) data.back() = static_cast<uint8_t>(~data.back());
  Packet p{address_, std::move(data)};
  if (plan.lateMs > 0) {
    module.sendAfter(p, plan.lateMs);
  } else {
    module.send(p);
  }
}

bool SimCommands::handle(SimModule& module, const Packet& packet) {
  if (packet.address != address_ || packet.data.empty()) return false;
  if (SimStream::dispatch(*this, module, packet)) return true;
  switch (packet.data[0]) {
    case kCmdModuleInfo:
      return handleModuleInfo(module, packet);
    case kCmdEcho:
      return handleEcho(module, packet);
    case kCmdI2C:
      return handleI2C(module, packet);
    default:
      return handleUei(module, packet);
  }
}

// ---- UEI ----------------------------------------------------------------

void SimCommands::ueiError(SimModule& module, uint8_t command, uint8_t optionByte, uint8_t index, int errorCode,
                           const Plan& plan) {
  Bytes d{command, optionByte, static_cast<uint8_t>((index & 0x1F) | kErrorBit)};
  if (errorCode >= 0) d.push_back(static_cast<uint8_t>(errorCode));
  event(module, "error reply " + (errorCode >= 0 ? std::to_string(errorCode) : std::string("without code")));
  reply(module, std::move(d), plan);
}

bool SimCommands::handleUei(SimModule& module, const Packet& p) {
  const Bytes& d = p.data;
  if (d.size() < 3) return false;
  const uint8_t command = d[0], flags = d[1] & kBothFlags, option = d[1] & 0x3F, index = d[2] & 0x1F;
  if ((flags != kGetFlag && flags != kSetFlag) || !(d[2] & kRequestIndexBit)) return false;
  const bool isGet = flags == kGetFlag;
  const uint8_t replyOption = isGet ? option : static_cast<uint8_t>(option | kBothFlags);

  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!hasEntityCommand(command)) {
    if (isRawCommand(command)) return false;  // another handler's command
    Plan plan = takeFaults(module, command, option, false);
    if (!plan.silent) ueiError(module, command, replyOption, index, code::kInvalidEntity, plan);
    return true;
  }
  OptionSpec* spec = find(command, index, option);
  const bool blockChunk = spec && !isGet && spec->type == ValueType::Bytes;
  if (blockChunk) {
    ueiSet(module, p, *spec, Plan{});  // faults are taken with the block's last chunk
    return true;
  }
  Plan plan = takeFaults(module, command, option, true);
  if (plan.silent) return true;
  if (plan.error) {
    ueiError(module, command, replyOption, index, faults_.errorCode, plan);
    return true;
  }
  if (entities_.find({command, index}) == entities_.end()) {
    ueiError(module, command, replyOption, index, code::kIndexRange, plan);
  } else if (!spec || (isGet ? !spec->get : !spec->set)) {
    ueiError(module, command, replyOption, index, code::kInvalidOption, plan);
  } else if (isGet) {
    ueiGet(module, p, *spec, plan);
  } else {
    ueiSet(module, p, *spec, plan);
  }
  return true;
}

void SimCommands::ueiGet(SimModule& module, const Packet& p, OptionSpec& spec, const Plan& plan) {
  const Bytes& d = p.data;
  const uint8_t command = d[0], option = d[1] & 0x3F, index = d[2] & 0x1F;
  const Bytes head{command, option, index};
  if (spec.type == ValueType::Bytes) {
    if (d.size() != 3) return ueiError(module, command, option, index, code::kSize, plan);
    const Bytes& block = spec.bytes;
    size_t sent = 0;
    uint8_t sequence = 0;
    do {
      size_t n = std::min(kChunk, block.size() - sent);
      Bytes chunk = head;
      chunk.insert(chunk.end(), block.begin() + static_cast<long>(sent), block.begin() + static_cast<long>(sent + n));
      sent += n;
      chunk.push_back(static_cast<uint8_t>((sent < block.size() ? 0x80 : 0x00) | sequence));
      sequence = (sequence + 1) & 0x7F;
      reply(module, std::move(chunk), plan);
    } while (sent < block.size());
    return;
  }
  if (d.size() > 4) return ueiError(module, command, option, index, code::kSize, plan);
  const uint8_t subindex = d.size() == 4 ? d[3] : 0;
  if (subindex >= spec.values.size()) return ueiError(module, command, option, index, code::kIndexRange, plan);
  uint32_t v = value(command, index, option, subindex);
  if (plan.streamSample) {
    Bytes sample{command, option, static_cast<uint8_t>(index | 0x40)};
    putBig(sample, v + 1, 4);
    Plan plain;
    plain.lateMs = plan.lateMs;
    reply(module, std::move(sample), plain);
  }
  Bytes out = head;
  putBig(out, v, widthOf(spec.type));
  reply(module, std::move(out), plan);
}

void SimCommands::ueiSet(SimModule& module, const Packet& p, OptionSpec& spec, Plan plan) {
  const Bytes& d = p.data;
  const uint8_t command = d[0], option = d[1] & 0x3F, index = d[2] & 0x1F;
  const uint8_t replyOption = static_cast<uint8_t>(option | kBothFlags);
  const Key key{command, index};

  if (spec.type == ValueType::Bytes) {
    auto& in = blocksIn_[{key, option}];
    if (d.size() < 4) {
      // A set without chunk or trailer carries no block at all.
      in = BlockIn{};
      plan = takeFaults(module, command, option, true);
      if (plan.silent) return;
      return ueiError(module, command, replyOption, index, plan.error ? faults_.errorCode.load() : code::kSize,
                      plan);
    }
    const uint8_t trailer = d.back(), sequence = trailer & 0x7F;
    const bool more = trailer & 0x80;
    // Sequence 0 where another number was due: the host gave up on the old
    // block and begins a new one. Where 0 is due, the block may be wrapping.
    if (sequence == 0 && in.expected != 0) in = BlockIn{};
    if (sequence != in.expected) {
      event(module, "block chunk " + std::to_string(sequence) + " where " + std::to_string(in.expected) +
                        " was due");
      in = BlockIn{};
      plan = takeFaults(module, command, option, true);
      if (plan.silent) return;
      return ueiError(module, command, replyOption, index, code::kPacket, plan);
    }
    in.data.insert(in.data.end(), d.begin() + 3, d.end() - 1);
    if (in.data.size() > spec.maxBytes) {
      in.overflow = true;
      in.data.clear();
    }
    in.expected = (in.expected + 1) & 0x7F;
    if (more) return;  // only the last chunk is answered
    BlockIn done = std::move(in);
    blocksIn_.erase({key, option});
    plan = takeFaults(module, command, option, true);
    if (plan.silent) return;
    if (plan.error) return ueiError(module, command, replyOption, index, faults_.errorCode, plan);
    if (!spec.set) return ueiError(module, command, replyOption, index, code::kInvalidOption, plan);
    if (done.overflow) return ueiError(module, command, replyOption, index, code::kSize, plan);
    uint8_t rc = spec.onSet ? spec.onSet(0, 0, done.data) : code::kNone;
    if (rc) return ueiError(module, command, replyOption, index, rc, plan);
    spec.bytes = std::move(done.data);
    calls_[{key, option}]++;
    reply(module, {command, replyOption, index}, plan);
    return;
  }

  const size_t width = widthOf(spec.type);
  uint8_t subindex = 0;
  size_t at = 3;
  if (d.size() == 4 + width) {
    subindex = d[3];
    at = 4;
  } else if (d.size() != 3 + width) {
    return ueiError(module, command, replyOption, index, code::kSize, plan);
  }
  if (spec.type != ValueType::None && subindex >= spec.values.size()) {
    return ueiError(module, command, replyOption, index, code::kIndexRange, plan);
  }
  const uint32_t v = getBig(d.data() + at, width);
  uint8_t rc = spec.onSet ? spec.onSet(subindex, v, {}) : code::kNone;
  if (rc) return ueiError(module, command, replyOption, index, rc, plan);
  if (spec.type != ValueType::None) spec.values[subindex] = v;
  calls_[{key, option}]++;
  reply(module, {command, replyOption, index}, plan);
  afterCall(module, command, option);
}

void SimCommands::afterCall(SimModule& module, uint8_t command, uint8_t option) {
  if (command != kCmdSystem) return;
  switch (option) {
    case kOptRouteToMe:
      event(module, "route to me " + std::to_string(get(kOptRouteToMe)));
      break;
    case kOptSave:
      event(module, "save");
      break;
    case kOptReset:
      event(module, "reset");
      // The restart takes a moment: the reply is on its way before the link goes.
      if (defaults_.resetDropsLink) module.runAfter(50, [&module] { module.dropConnection(); });
      break;
    case kOptLogEvents:
      event(module, "log events");
      break;
    case kOptResetEntityDefaults:
    case kOptResetDeviceDefaults: {
      auto calls = calls_;
      fillSystemTable(defaults_);
      calls_ = calls;
      event(module, "factory defaults");
      break;
    }
    default:
      break;
  }
}

// ---- module information, echo, I2C --------------------------------------

uint8_t SimCommands::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
  if (!hasEntityCommand(command)) return code::kInvalidEntity;
  if (entities_.find({command, index}) == entities_.end()) return code::kIndexRange;
  const OptionSpec* s = find(command, index, option);
  if (!s) return code::kInvalidOption;
  if ((flags & kGetFlag) && !s->get) return code::kInvalidOption;
  if ((flags & kSetFlag) && !s->set) return code::kInvalidOption;
  return code::kNone;
}

bool SimCommands::handleModuleInfo(SimModule& module, const Packet& p) {
  const Bytes& d = p.data;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Plan plan = takeFaults(module, kCmdModuleInfo, -1, false);
  if (plan.silent) return true;
  auto count = [&](uint8_t command) {
    uint8_t n = 0;
    for (const auto& [key, entity] : entities_) n += key.first == command;
    return n;
  };
  const uint8_t sub = d.size() > 1 ? d[1] : 0;
  if (sub == 0xFF && d.size() == 2) {
    Bytes out{kCmdModuleInfo, 0xFF};
    putBig(out, get(kOptBuild), 4);
    reply(module, std::move(out), plan);
  } else if (sub == 1 && d.size() == 6) {
    reply(module, {kCmdModuleInfo, 1, d[2], d[3], d[4], hasUEI(d[2], d[3], d[4], d[5])}, plan);
  } else if (sub == 4 && d.size() == 3) {
    reply(module, {kCmdModuleInfo, 4, d[2], count(d[2])}, plan);
  } else if (sub == 5 && d.size() == 4) {
    uint8_t n = entities_.count({d[2], d[3]}) ? 1 : 0;
    reply(module, {kCmdModuleInfo, 5, d[2], d[3], n}, plan);
  } else if (sub == 6 && d.size() == 4) {
    reply(module, {kCmdModuleInfo, 6, d[2], d[3], 0}, plan);
  } else {
    event(module, "module-information query not understood");
  }
  return true;
}

bool SimCommands::handleEcho(SimModule& module, const Packet& p) {
  Plan plan = takeFaults(module, kCmdEcho, -1, false);
  if (plan.silent) return true;
  reply(module, p.data, plan);
  return true;
}

bool SimCommands::handleI2C(SimModule& module, const Packet& p) {
  const Bytes& d = p.data;
  if (d.size() < 4) return true;  // nothing to answer with: no address byte
  const uint8_t index = d[1], bus = d[2], length = d[3];
  const bool pullupRequest = d.size() == 4 && bus == 1;
  const bool read = !pullupRequest && (bus & 1);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Plan plan = takeFaults(module, kCmdI2C, -1, true);
  if (plan.silent) return true;

  auto dev = i2c_.find(static_cast<uint8_t>(bus & 0xFE));
  uint8_t c = code::kNone;
  if (index != 0) {
    c = code::kIndexRange;
  } else if (pullupRequest) {
    c = code::kNone;
  } else if (length > kI2CMaxLength || d.size() != (read ? 5u : 5u + length)) {
    c = code::kSize;
  } else if (dev == i2c_.end()) {
    c = code::kIO;  // nobody acknowledged
    event(module, "i2c no acknowledge at " + hex2(bus));
  }
  if (plan.error) c = static_cast<uint8_t>(std::clamp(faults_.errorCode.load(), 0, 0x7F));
  const bool ok = !c && !plan.error;
  const uint8_t status = ok ? 0 : static_cast<uint8_t>(kErrorBit | c);

  if (pullupRequest) {
    if (ok) pullup_ = d[3] != 0;
    reply(module, {kCmdI2C, index, 1, d[3], status}, plan);
  } else if (read) {  // 8, index, address|1, length, speed
    Bytes out{kCmdI2C, index, bus, 0, status};
    if (ok) {
      I2CDevice& dv = dev->second;
      for (uint8_t i = 0; i < length; ++i) {
        out.push_back(dv.memory[dv.pointer % dv.memory.size()]);
        dv.pointer = static_cast<uint8_t>(dv.pointer + 1);
      }
      out[3] = length;
    }
    reply(module, std::move(out), plan);
  } else {  // 8, index, address, length, speed, data: the first data byte sets the pointer
    if (ok && length > 0) {
      I2CDevice& dv = dev->second;
      uint8_t at = d[5];
      for (size_t i = 6; i < d.size(); ++i, ++at) dv.memory[at % dv.memory.size()] = d[i];
      dv.pointer = d[5];  // a following read starts where the write pointed
    }
    reply(module, {kCmdI2C, index, bus, 0, status}, plan);
  }
  return true;
}

}  // namespace jvsim
