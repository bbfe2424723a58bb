#include "SimLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "SimCommandLine.h"
#include "SimRouter.h"

namespace jvsim {

namespace {

constexpr uint8_t kStatusOk = 0;
constexpr int kForeverMs = 24 * 3600 * 1000;

// "Next N" switch: -1 fires every time, N > 0 fires and counts down.
bool fire(std::atomic<int>& n) {
  for (int v = n.load();;) {
    if (v == 0) return false;
    if (v < 0 || n.compare_exchange_weak(v, v - 1)) return true;
  }
}

void appendBig(Bytes& out, uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t readBig(const Bytes& d, size_t at, size_t width) {
  uint32_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | d[at + i];
  return v;
}

// Stores bytes at an address, merging every run they touch.
void storeAt(MemoryImage& image, uint32_t address, const uint8_t* data, size_t length) {
  if (length == 0) return;
  uint64_t start = address, end = uint64_t{address} + length;
  auto first = image.upper_bound(address);
  if (first != image.begin()) {
    auto before = std::prev(first);
    if (before->first + uint64_t{before->second.size()} >= start) first = before;
  }
  auto last = first;
  while (last != image.end() && last->first <= end) ++last;
  if (first != last) {
    start = std::min<uint64_t>(start, first->first);
    auto back = std::prev(last);
    end = std::max<uint64_t>(end, back->first + uint64_t{back->second.size()});
  }
  Bytes merged(static_cast<size_t>(end - start), 0);
  for (auto it = first; it != last; ++it) {
    std::copy(it->second.begin(), it->second.end(), merged.begin() + static_cast<long>(it->first - start));
  }
  std::copy(data, data + length, merged.begin() + static_cast<long>(address - start));
  image.erase(first, last);
  image.emplace(static_cast<uint32_t>(start), std::move(merged));
}

}  // namespace

SimLoader::SimLoader(std::shared_ptr<SimCommands> commands, LoaderConfig config)
    : commands_(std::move(commands)), config_(config) {
  if (!commands_) throw std::invalid_argument("a loader needs its module's command layer");
}

SimLoader::~SimLoader() = default;

std::shared_ptr<SimLoader> SimLoader::install(SimModule& module, std::shared_ptr<SimCommands> commands,
                                              LoaderConfig config) {
  auto loader = std::make_shared<SimLoader>(std::move(commands), config);
  loader->module_ = &module;
  loader->setUeiData(true);
  module.addHandler(loader);
  std::weak_ptr<SimLoader> weak = loader;
  module.addLinkObserver([weak, &module](const std::string& event) {
    if (auto l = weak.lock()) l->linkEvent(module, event);
  });
  return loader;
}

std::shared_ptr<SimLoader> SimLoader::installSub(SimModule& module, SimRouter& router, uint8_t busAddress,
                                                 LoaderConfig config) {
  auto commands = router.subModule(busAddress);
  if (!commands) throw std::invalid_argument("no sub-module at that bus address");
  config.ownsLink = false;
  auto loader = std::make_shared<SimLoader>(std::move(commands), config);
  loader->module_ = &module;
  loader->setUeiData(true);
  router.addSubHandler(busAddress, loader);
  std::weak_ptr<SimLoader> weak = loader;
  module.addLinkObserver([weak, &module](const std::string& event) {
    if (auto l = weak.lock()) l->linkEvent(module, event);
  });
  return loader;
}

void SimLoader::setUeiData(bool offered) {
  if (!offered) {
    commands_->removeOption(kCmdUpgrade, 0, upgrade::kDataUei);
    return;
  }
  OptionSpec spec;
  spec.option = upgrade::kDataUei;
  spec.type = ValueType::Bytes;
  spec.get = false;
  spec.set = true;
  spec.maxBytes = 65535;
  std::weak_ptr<SimLoader> weak = weak_from_this();
  spec.onSet = [weak](uint8_t, uint32_t, const Bytes& bytes) -> uint8_t {
    auto l = weak.lock();
    return l ? l->takeUeiPiece(bytes) : code::kInvalidOption;
  };
  commands_->addOption(kCmdUpgrade, 0, std::move(spec));
}

LoaderMode SimLoader::mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mode_;
}

void SimLoader::enterLoader() {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = LoaderMode::Loader;
  blockOpen_ = false;
  piece_.clear();
}

MemoryImage SimLoader::firmwareImage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_;
}

MemoryImage SimLoader::loaderImage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loader_;
}

Bytes SimLoader::firmwareBytes(uint32_t address, size_t length, uint8_t fill) const {
  Bytes out(length, fill);
  const uint64_t want = address, wantEnd = uint64_t{address} + length;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [start, bytes] : firmware_) {
    const uint64_t from = std::max<uint64_t>(start, want), to = std::min<uint64_t>(start + bytes.size(), wantEnd);
    for (uint64_t a = from; a < to; ++a) out[a - want] = bytes[a - start];
  }
  return out;
}

std::vector<PreparedBlock> SimLoader::prepared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prepared_;
}

void SimLoader::clearFirmwareImage() {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_.clear();
  wroteFirmware_ = false;
}

// ---- requests -------------------------------------------------------------

void SimLoader::reply(SimModule& module, Bytes data) { module.send(Packet{address(), std::move(data)}); }

void SimLoader::event(SimModule& module, const std::string& text) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "[%02X] loader ", address());
  module.transcript().add(Dir::Event, {}, prefix + text);
}

int SimLoader::phaseOf(LoaderMode mode) const { return mode == LoaderMode::Loader ? kPhaseFirmware : kPhaseLoader; }

bool SimLoader::applies() const {
  const int p = faults_.phase;
  return p == kPhaseAny || p == phaseOf(mode_);
}

bool SimLoader::handle(SimModule& module, const Packet& packet) {
  const Bytes& d = packet.data;
  // UEI requests on entity 0x5F (option bytes with flags) are the command layer's.
  if (packet.address != address() || d.size() < 2 || d[0] != kCmdUpgrade || d[1] > upgrade::kStatus) return false;
  bool darkHere = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == LoaderMode::Gone || dark_) return true;
    if (silent_ || quiet_ || (d[1] == upgrade::kData && startQuiet(module))) {
      event(module, "silent");
      return true;
    }
    darkHere = d[1] == upgrade::kData && d.size() > 2 && darkPiece();
  }
  if (darkHere) {
    goDark(module, "at a firmware piece");
    return true;
  }
  switch (d[1]) {
    case upgrade::kInit: onInit(module); break;
    case upgrade::kPrepare: onPrepare(module, d); break;
    case upgrade::kData: onData(module, d); break;
    case upgrade::kSum: onSum(module); break;
    case upgrade::kWrite: onWrite(module, d); break;
    case upgrade::kLoad: onLoad(module); break;
    case upgrade::kReboot: onReboot(module); break;
    default:
      event(module, "option not understood");
      break;
  }
  return true;
}

void SimLoader::onInit(SimModule& module) {
  bool shortReply = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == LoaderMode::Firmware) {
      initialised_ = true;
      loader_.clear();
    }
    blockOpen_ = false;
    piece_.clear();
    shortReply = fire(faults_.shortInit);
  }
  stats_.inits++;
  Bytes out{kCmdUpgrade, upgrade::kInit};
  appendBig(out, config_.loadBase, 4);
  if (shortReply) {
    out.pop_back();
    event(module, "fault short INIT reply");
  }
  reply(module, std::move(out));
}

void SimLoader::onPrepare(SimModule& module, const Bytes& d) {
  uint8_t status = kStatusOk;
  uint16_t size = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blockOpen_ = false;
    piece_.clear();
    if (d.size() != 7) {
      status = code::kSize;
    } else if (mode_ == LoaderMode::Firmware && !initialised_) {
      status = code::kInvalidOption;  // no loader exchange under way
    } else if (applies() && fire(faults_.prepareError)) {
      status = static_cast<uint8_t>(std::max(1, faults_.prepareStatus.load()));
      event(module, "fault PREPARE error");
    } else {
      blockOpen_ = true;
      blockAddress_ = readBig(d, 3, 4);
      blockWritten_ = 0;
      pieceSize_ = config_.blockSize;
      if (applies() && fire(faults_.blockSizeZero)) {
        pieceSize_ = 0;
        event(module, "fault block size 0");
      }
      size = pieceSize_;
      prepared_.push_back({mode_, d[2], blockAddress_});
      if (mode_ == LoaderMode::Loader) quietHere_ = ++firmwareBlocks_ == faults_.quietAtBlock;
    }
  }
  stats_.prepares++;
  Bytes out{kCmdUpgrade, upgrade::kStatus, status};
  appendBig(out, size, 2);
  reply(module, std::move(out));
}

bool SimLoader::takePiece(const Bytes& bytes) {
  if (!blockOpen_) return false;
  const size_t room = mode_ == LoaderMode::Loader ? pieceSize_ : config_.loaderCapacity;
  if (piece_.size() + bytes.size() > room) return false;
  if (mode_ == LoaderMode::Firmware) {
    storeAt(loader_, static_cast<uint32_t>(blockAddress_ + piece_.size()), bytes.data(), bytes.size());
  }
  piece_.insert(piece_.end(), bytes.begin(), bytes.end());
  return true;
}

bool SimLoader::countPiece() {
  if (faults_.silenceAfterData <= 0 || !applies()) return false;
  if (--faults_.silenceAfterData > 0) return false;
  silent_ = true;
  return true;
}

void SimLoader::onData(SimModule& module, const Bytes& d) {
  const Bytes bytes(d.begin() + 2, d.end());
  uint8_t taken = 0;
  bool wentSilent = false, wrong = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!bytes.empty() && bytes.size() <= upgrade::kMaxDataBytes) {
      if (applies() && fire(faults_.wrongDataCount)) {
        wrong = true;
        taken = static_cast<uint8_t>(bytes.size() > 1 ? bytes.size() - 1 : 2);
      } else if (takePiece(bytes)) {
        taken = static_cast<uint8_t>(bytes.size());
        wentSilent = countPiece();
      }
    }
  }
  if (wrong) event(module, "fault DATA count");
  if (taken && !wrong) stats_.dataPackets++;
  reply(module, {kCmdUpgrade, upgrade::kData, taken});
  if (wentSilent) event(module, "fault silence from here on");
}

uint8_t SimLoader::takeUeiPiece(const Bytes& bytes) {
  bool darkHere = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    darkHere = !dark_ && module_ && darkPiece();
  }
  // The block's acknowledgement, if any, goes nowhere.
  if (darkHere) goDark(*module_, "at a firmware piece");
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == LoaderMode::Gone || silent_ || dark_) return code::kIO;
  if (!takePiece(bytes)) return code::kSize;
  stats_.ueiPieces++;
  if (countPiece()) {
    // The acknowledgement of this block still goes out; nothing after it.
    auto& f = commands_->faults();
    f.command = kCmdUpgrade;
    f.option = -1;
    f.silence = -1;
  }
  return code::kNone;
}

void SimLoader::onSum(SimModule& module) {
  uint32_t sum = 0;
  bool wrong = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint8_t b : piece_) sum += b;
    wrong = applies() && fire(faults_.sumMismatch);
  }
  if (wrong) {
    sum += 1;
    event(module, "fault SUM mismatch");
  }
  stats_.sums++;
  Bytes out{kCmdUpgrade, upgrade::kStatus, kStatusOk};
  appendBig(out, sum, 4);
  reply(module, std::move(out));
}

void SimLoader::onWrite(SimModule& module, const Bytes& d) {
  uint8_t status = kStatusOk;
  bool shortReply = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ != LoaderMode::Loader) {
      status = code::kInvalidOption;  // the running firmware writes no flash
    } else if (d.size() != 4 || !blockOpen_ || readBig(d, 2, 2) != piece_.size()) {
      status = code::kSize;
    } else {
      storeAt(firmware_, blockAddress_ + blockWritten_, piece_.data(), piece_.size());
      blockWritten_ += static_cast<uint32_t>(piece_.size());
      piece_.clear();
      wroteFirmware_ = true;
      stats_.writes++;
    }
    shortReply = applies() && fire(faults_.shortWrite);
  }
  if (status != kStatusOk) event(module, "WRITE refused");
  if (shortReply) {
    event(module, "fault short WRITE reply");
    reply(module, {kCmdUpgrade, upgrade::kStatus});
    return;
  }
  reply(module, {kCmdUpgrade, upgrade::kStatus, status});
}

void SimLoader::onLoad(SimModule& module) {
  const Packet echo{address(), {kCmdUpgrade, upgrade::kLoad}};
  bool restart = false, echoNow = true, gone = false, darkLoad = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == LoaderMode::Firmware) {
      restart = true;
      darkLoad = darkNow(DarkAt::Load);
      gone = faults_.neverComesBack || (darkLoad && faults_.darkForMs <= 0);
      mode_ = gone ? LoaderMode::Gone : LoaderMode::Loader;
      initialised_ = false;
      blockOpen_ = false;
      piece_.clear();
      firmwarePieces_ = 0;
      echoNow = !gone && !darkLoad && !faults_.noLoadEcho && !(config_.restartDropsLink && config_.ownsLink);
      echoPending_ = !gone && !echoNow;
      ++echoGeneration_;
    }
  }
  if (restart) stats_.loads++;
  if (echoNow) module.send(echo);
  if (!restart) return;
  if (darkLoad) {
    goDark(module, gone ? "after LOAD (the loader never comes up)" : "after LOAD");
    return;
  }
  if (echoNow && darkNow(DarkAt::Echo)) {
    goDark(module, "after the LOAD echo");
    return;
  }
  if (echoNow && !gone) scheduleDropAfterLoad(module);
  if (gone) {
    event(module, "restart: never comes back");
    if (config_.ownsLink) {
      module.faults().silent = true;
      module.transport().goOffline(kForeverMs);
    } else {
      commands_->faults().command = -1;
      commands_->faults().silence = -1;
    }
    return;
  }
  event(module, echoNow ? "restart into the loader" : "restart into the loader, echo on the next link");
  if (config_.restartDropsLink && config_.ownsLink) module.transport().goOffline(config_.restartOfflineMs);
}

void SimLoader::onReboot(SimModule& module) {
  if (faults_.ignoreReboot) {
    event(module, "fault REBOOT ignored");
    return;
  }
  bool newBuild = false;
  const int configured = faults_.rebootBackMs;
  const int backMs = configured >= 0 ? configured : config_.rebootOfflineMs;
  const bool dark = darkNow(DarkAt::Reboot);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    newBuild = mode_ == LoaderMode::Loader && wroteFirmware_ && config_.buildAfterReboot != 0;
    mode_ = LoaderMode::Firmware;
    initialised_ = false;
    blockOpen_ = false;
    piece_.clear();
    silent_ = false;
    echoPending_ = false;
    rebooting_ = config_.ownsLink && (backMs > 0 || dark);
    if (!rebooting_) backAt_ = std::chrono::steady_clock::now();
  }
  stats_.reboots++;
  event(module, "reboot");
  if (newBuild) {
    commands_->set(kOptBuild, config_.buildAfterReboot);
    if (config_.versionAfterReboot != 0) commands_->set(kOptVersion, config_.versionAfterReboot);
  }
  if (dark) {
    goDark(module, "at REBOOT");
  } else if (config_.ownsLink) {
    module.transport().goOffline(backMs, faults_.rebootRestart);
  }
}

std::optional<SteadyTime> SimLoader::backAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return backAt_;
}

// ---- the echo on the next link ------------------------------------------

void SimLoader::linkEvent(SimModule& module, const std::string& event) {
  if (event == "online") {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rebooting_) backAt_ = std::chrono::steady_clock::now();
    rebooting_ = false;
    dark_ = false;
  }
  // A host that opens a link sends its force route, and may synchronise.
  if (event == "connect" || event == "force route" || event == "sync") scheduleEcho(module);
}

void SimLoader::scheduleEcho(SimModule& module) {
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!echoPending_) return;
    generation = ++echoGeneration_;
  }
  // Each further query of the handshake moves the echo on: it goes out once
  // the host has finished settling the link and drained what came before.
  std::weak_ptr<SimLoader> weak = weak_from_this();
  module.runAfter(config_.echoAfterSyncMs, [weak, &module, generation] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (!self->echoPending_ || self->echoGeneration_ != generation) return;
      self->echoPending_ = false;
    }
    self->event(module, "LOAD echo on the new link");
    module.send(Packet{self->address(), {kCmdUpgrade, upgrade::kLoad}});
  });
}

void SimLoader::scheduleDropAfterLoad(SimModule& module) {
  const int ms = faults_.dropAfterLoadMs;
  if (ms <= 0 || !config_.ownsLink) return;
  std::weak_ptr<SimLoader> weak = weak_from_this();
  module.runAfter(ms, [weak, &module] {
    auto self = weak.lock();
    if (!self) return;
    self->event(module, "fault link dropped after LOAD");
    module.transport().goOffline(self->config_.restartOfflineMs, self->faults_.dropAfterLoadHow);
  });
}

bool SimLoader::startQuiet(SimModule& module) {
  if (!quietHere_ || mode_ != LoaderMode::Loader) return false;
  quietHere_ = false;
  quiet_ = true;
  event(module, "fault quiet spell");
  std::weak_ptr<SimLoader> weak = weak_from_this();
  module.runAfter(faults_.quietForMs, [weak, &module] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->quiet_ = false;
    }
    self->event(module, "quiet spell over");
  });
  return true;
}

bool SimLoader::darkNow(DarkAt at) const { return config_.ownsLink && faults_.darkAt == at; }

bool SimLoader::darkPiece() {
  if (mode_ != LoaderMode::Loader || !blockOpen_ || !piece_.empty()) return false;
  ++firmwarePieces_;
  return darkNow(DarkAt::Piece) && firmwarePieces_ == faults_.darkAtCount;
}

void SimLoader::goDark(SimModule& module, const char* moment) {
  const int ms = faults_.darkForMs;
  faults_.darkAt = DarkAt::Never;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dark_ = true;
    blockOpen_ = false;
    piece_.clear();
  }
  std::string why;
  if (!module.transport().goDark(ms, &why)) {
    // Without the darkness the fault would pass for a silent module.
    std::fprintf(stderr, "sim: cannot go dark %s: %s\n", moment, why.c_str());
    event(module, "fault dark failed: " + why);
    return;
  }
  char text[128];
  if (ms > 0) {
    std::snprintf(text, sizeof text, "fault dark %s for %d ms", moment, ms);
  } else {
    std::snprintf(text, sizeof text, "fault dark %s for good", moment);
  }
  event(module, text);
}

// ---- the sim program's options ------------------------------------------

namespace {

bool number(const std::string& s, int64_t min, int64_t max, int64_t* out, int base = 0) {
  return parseNumber(s, min, max, out, base);
}

// How a link ends, by its option name: false when it names none.
bool restartNamed(const std::string& how, Restart* out) {
  *out = how == "close" ? Restart::Close : how == "silent" ? Restart::Silent : Restart::Reset;
  return how == "reset" || how == "close" || how == "silent";
}

// "WHEN:MS": load, echo, pieceN or reboot; MS 0 or "forever" for good.
bool parseDark(const std::string& v, LoaderSetup* s) {
  const auto colon = v.find(':');
  if (colon == std::string::npos) return false;
  const std::string when = v.substr(0, colon), ms = v.substr(colon + 1);
  int64_t n = 0;
  if (when == "load") {
    s->darkAt = DarkAt::Load;
  } else if (when == "echo") {
    s->darkAt = DarkAt::Echo;
  } else if (when == "reboot") {
    s->darkAt = DarkAt::Reboot;
  } else if (when.rfind("piece", 0) == 0 && number(when.substr(5), 1, 1000000, &n, 10)) {
    s->darkAt = DarkAt::Piece;
    s->darkAtCount = static_cast<int>(n);
  } else {
    return false;
  }
  if (ms == "forever") {
    s->darkForMs = kDarkForever;
    return true;
  }
  if (!number(ms, 0, 3600000, &n, 10)) return false;
  s->darkForMs = static_cast<int>(n);
  return true;
}

void applyFaults(SimLoader& loader, SimCommands& commands, const LoaderSetup& s) {
  auto& f = loader.faults();
  f.phase = s.phase;
  f.wrongDataCount = s.dataCount;
  f.sumMismatch = s.sum;
  f.prepareError = s.prepare;
  f.prepareStatus = s.prepareStatus;
  f.blockSizeZero = s.blockZero;
  f.shortInit = s.shortInit;
  f.shortWrite = s.shortWrite;
  f.noLoadEcho = s.noLoadEcho;
  f.silenceAfterData = s.silenceAfter;
  f.neverComesBack = s.neverBack;
  f.rebootRestart = s.rebootRestart;
  f.rebootBackMs = s.rebootBackMs;
  f.ignoreReboot = s.ignoreReboot;
  f.dropAfterLoadMs = s.dropAfterLoadMs;
  f.dropAfterLoadHow = s.dropAfterLoadHow;
  f.quietAtBlock = s.quietAtBlock;
  f.quietForMs = s.quietForMs;
  f.darkAt = s.darkAt;
  f.darkAtCount = s.darkAtCount;
  f.darkForMs = s.darkForMs;
  if (s.noUei) loader.setUeiData(false);
  if (s.serial >= 0) commands.set(kOptSerialNumber, static_cast<uint32_t>(s.serial));
  if (s.model >= 0) commands.set(kOptModel, static_cast<uint32_t>(s.model));
}

}  // namespace

const char* loaderUsage() {
  return "           [--block-size N] [--restart-drops] [--build-after N] [--version-after X.Y.Z]\n"
         "           [--fault-phase loader|firmware|any]\n"
         "           [--fault-data-count N] [--fault-sum N] [--fault-prepare N[:STATUS]] [--fault-block-zero N]\n"
         "           [--fault-short-init N] [--fault-short-write N] [--fault-no-load-echo] [--fault-no-uei]\n"
         "           [--fault-serial HEX] [--fault-model N] [--fault-silence-after N] [--fault-never-back]\n"
         "           [--fault-reboot reset|close|silent[:MS]] [--fault-ignore-reboot]\n"
         "           [--fault-drop-after-load MS[:reset|close|silent]] [--fault-quiet BLOCK:MS]\n"
         "           [--fault-dark load|echo|pieceN|reboot:MS|forever]\n";
}

int parseLoaderOption(int argc, char** argv, int& i, LoaderSetup& s) {
  const std::string a = argv[i];
  if (a == "--restart-drops") return s.config.restartDropsLink = true, 1;
  if (a == "--fault-no-load-echo") return s.noLoadEcho = true, 1;
  if (a == "--fault-no-uei") return s.noUei = true, 1;
  if (a == "--fault-never-back") return s.neverBack = true, 1;
  if (a == "--fault-ignore-reboot") return s.ignoreReboot = true, 1;
  struct Counted {
    const char* name;
    int* target;
  };
  const Counted counted[] = {{"--fault-data-count", &s.dataCount}, {"--fault-sum", &s.sum},
                             {"--fault-block-zero", &s.blockZero}, {"--fault-short-init", &s.shortInit},
                             {"--fault-short-write", &s.shortWrite}, {"--fault-silence-after", &s.silenceAfter}};
  const Counted* count = nullptr;
  for (const auto& c : counted) count = a == c.name ? &c : count;
  static const char* const kValued[] = {"--block-size", "--build-after", "--version-after", "--fault-phase", "--fault-prepare",
                                        "--fault-serial", "--fault-model", "--fault-reboot",
                                        "--fault-drop-after-load", "--fault-quiet", "--fault-dark"};
  bool valued = count != nullptr;
  for (const char* o : kValued) valued = valued || a == o;
  if (!valued) return 0;
  const char* value = optionValue(argc, argv, i);
  if (!value) return -1;
  const std::string v = value;
  int64_t n = 0;
  bool ok = true;
  if (count) {
    ok = number(v, -1, 1000000, &n, 10);
    *count->target = static_cast<int>(n);
  } else if (a == "--block-size") {
    ok = number(v, 1, 65535, &n);
    s.config.blockSize = static_cast<uint16_t>(n);
  } else if (a == "--build-after") {
    ok = number(v, 1, 0xFFFFFFFFLL, &n);
    s.config.buildAfterReboot = static_cast<uint32_t>(n);
  } else if (a == "--version-after") {
    ok = parseVersion(v, &n) && n != 0;
    s.config.versionAfterReboot = static_cast<uint32_t>(n);
  } else if (a == "--fault-phase") {
    ok = v == "loader" || v == "firmware" || v == "any";
    s.phase = v == "loader" ? kPhaseLoader : v == "firmware" ? kPhaseFirmware : kPhaseAny;
  } else if (a == "--fault-prepare") {
    const auto colon = v.find(':');
    ok = number(v.substr(0, colon), -1, 1000000, &n, 10);
    s.prepare = static_cast<int>(n);
    if (ok && colon != std::string::npos) {
      ok = number(v.substr(colon + 1), 1, 255, &n);
      s.prepareStatus = static_cast<int>(n);
    }
  } else if (a == "--fault-serial") {
    ok = number(v, 0, 0xFFFFFFFFLL, &n, 16);
    s.serial = n;
  } else if (a == "--fault-reboot") {
    const auto colon = v.find(':');
    ok = restartNamed(v.substr(0, colon), &s.rebootRestart);
    if (ok && colon != std::string::npos) {
      ok = number(v.substr(colon + 1), 0, 3600000, &n, 10);
      s.rebootBackMs = static_cast<int>(n);
    }
  } else if (a == "--fault-drop-after-load") {
    const auto colon = v.find(':');
    ok = number(v.substr(0, colon), 1, 3600000, &n, 10);
    s.dropAfterLoadMs = static_cast<int>(n);
    if (ok && colon != std::string::npos) {
      ok = restartNamed(v.substr(colon + 1), &s.dropAfterLoadHow);
    }
  } else if (a == "--fault-quiet") {
    const auto colon = v.find(':');
    ok = colon != std::string::npos && number(v.substr(0, colon), 1, 1000000, &n, 10);
    s.quietAtBlock = static_cast<int>(n);
    ok = ok && number(v.substr(colon + 1), 1, 3600000, &n, 10);
    s.quietForMs = static_cast<int>(n);
  } else if (a == "--fault-dark") {
    ok = parseDark(v, &s);
  } else if (a == "--fault-model") {
    ok = number(v, 0, 255, &n);
    s.model = static_cast<int>(n);
  }
  if (!ok) {
    std::fprintf(stderr, "sim: bad value for %s: \"%s\"\n", a.c_str(), v.c_str());
    return -1;
  }
  return 1;
}

bool installLoaders(SimModule& module, const LoaderSetup& setup, int faultSub) {
  std::shared_ptr<SimCommands> own;
  std::shared_ptr<SimRouter> router;
  for (const auto& h : module.handlers()) {
    if (auto c = std::dynamic_pointer_cast<SimCommands>(h); c && !own && c->address() == module.config().address) {
      own = c;
    }
    if (auto r = std::dynamic_pointer_cast<SimRouter>(h); r && !router) router = r;
  }
  if (!own) {
    std::fprintf(stderr, "sim: the loader needs the module's command layer\n");
    return false;
  }
  auto top = SimLoader::install(module, own, setup.config);
  std::shared_ptr<SimLoader> target = faultSub < 0 ? top : nullptr;
  std::shared_ptr<SimCommands> targetCommands = own;
  if (router) {
    for (int bus = 2; bus < 256; bus += 2) {
      auto sub = router->subModule(static_cast<uint8_t>(bus));
      if (!sub) continue;
      auto loader = SimLoader::installSub(module, *router, static_cast<uint8_t>(bus), setup.config);
      if (bus == faultSub) {
        target = loader;
        targetCommands = sub;
      }
    }
  }
  if (!target) {
    std::fprintf(stderr, "sim: --fault-sub names no sub-module\n");
    return false;
  }
  applyFaults(*target, *targetCommands, setup);
  return true;
}

}  // namespace jvsim
