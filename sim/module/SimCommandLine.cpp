#include "SimCommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>

#include "SimRouter.h"

namespace jvsim {

bool parseNumber(const std::string& s, int64_t min, int64_t max, int64_t* out, int base) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, base);
  if (errno || *end || v < min || v > max) return false;
  *out = v;
  return true;
}

namespace {

bool number(const std::string& s, int64_t min, int64_t max, int64_t* out, int base = 0) {
  return parseNumber(s, min, max, out, base);
}

// "a:b:c" split at the separator.
std::vector<std::string> fields(const std::string& s, char separator = ':') {
  std::vector<std::string> out;
  size_t from = 0;
  while (true) {
    size_t at = s.find(separator, from);
    out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}

}  // namespace

const char* optionValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "sim: %s needs a value\n", argv[i]);
    return nullptr;
  }
  return argv[++i];
}

bool parseVersion(const std::string& s, int64_t* out) {
  if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) return number(s, 0, 0xFFFFFFFFLL, out, 16);
  auto parts = fields(s, '.');
  int64_t major = 0, minor = 0, patch = 0;
  if (parts.size() != 3 || !number(parts[0], 0, 255, &major, 10) || !number(parts[1], 0, 255, &minor, 10) ||
      !number(parts[2], 0, 0xFFFFFF, &patch, 10)) {
    return false;
  }
  *out = packVersion(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), static_cast<uint32_t>(patch));
  return true;
}

namespace {

// "N[:X]" with N a count (-1 for every one).
bool countAnd(const std::string& s, int* count, const std::function<bool(const std::string&)>& tail) {
  auto f = fields(s);
  int64_t n = 0;
  if (f.size() > 2 || !number(f[0], -1, 1000000, &n, 10)) return false;
  *count = static_cast<int>(n);
  return f.size() == 1 || tail(f[1]);
}

}  // namespace

const char* commandLineUsage() {
  return "           [--model N] [--version X.Y.Z|0xW] [--build N] [--name TEXT] [--features 0xW]\n"
         "           [--sub ADDR:SERIAL[:MODEL]]... [--fault-error N[:CODE|:none]]\n"
         "           [--fault-length N[:+1|:-1]] [--fault-corrupt N] [--fault-late N[:MS]] [--fault-silence N]\n"
         "           [--fault-stream N] [--fault-scope CMD[:OPTION]] [--fault-sub ADDR] [--reset-drops]\n";
}

int parseCommandOption(int argc, char** argv, int& i, CommandLineSetup& s) {
  const std::string a = argv[i];
  if (a == "--reset-drops") {
    s.resetDrops = true;
    return 1;
  }
  static const char* const kOurs[] = {"--model", "--version", "--build", "--name", "--features", "--sub",
                                      "--fault-error", "--fault-length", "--fault-late", "--fault-silence",
                                      "--fault-stream", "--fault-corrupt", "--fault-scope", "--fault-sub"};
  bool ours = false;
  for (const char* o : kOurs) ours = ours || a == o;
  if (!ours) return 0;
  const char* value = optionValue(argc, argv, i);
  if (!value) return -1;
  const std::string v = value;
  int64_t n = 0;
  bool ok = true;
  if (a == "--model") {
    ok = number(v, 0, 255, &n);
    s.model = static_cast<int>(n);
  } else if (a == "--version") {
    ok = parseVersion(v, &s.version);
  } else if (a == "--build") {
    ok = number(v, 0, 0xFFFFFFFFLL, &s.build);
  } else if (a == "--name") {
    ok = v.size() <= 4096;
    s.name = v;
    s.nameSet = true;
  } else if (a == "--features") {
    ok = number(v, 0, 0xFFFFFFFFLL, &s.features);
  } else if (a == "--sub") {
    auto f = fields(v);
    int64_t addr = 0, serial = 0, model = 0x13;
    ok = (f.size() == 2 || f.size() == 3) && number(f[0], 2, 254, &addr) && !(addr & 1) &&
         number(f[1], 1, 0xFFFFFFFFLL, &serial, 16) && (f.size() == 2 || number(f[2], 0, 255, &model));
    if (ok) s.subs.push_back({static_cast<uint8_t>(addr), static_cast<uint32_t>(serial), static_cast<uint8_t>(model)});
  } else if (a == "--fault-error") {
    ok = countAnd(v, &s.faultError, [&](const std::string& t) {
      if (t == "none") {
        s.faultCode = -1;
        return true;
      }
      int64_t c = 0;
      if (!number(t, 0, 127, &c)) return false;
      s.faultCode = static_cast<int>(c);
      return true;
    });
  } else if (a == "--fault-length") {
    ok = countAnd(v, &s.faultLength, [&](const std::string& t) {
      if (t != "+1" && t != "-1" && t != "1") return false;
      s.faultDelta = t == "-1" ? -1 : 1;
      return true;
    });
  } else if (a == "--fault-late") {
    ok = countAnd(v, &s.faultLate, [&](const std::string& t) {
      int64_t ms = 0;
      if (!number(t, 1, 600000, &ms, 10)) return false;
      s.faultLateMs = static_cast<int>(ms);
      return true;
    });
  } else if (a == "--fault-silence") {
    ok = number(v, -1, 1000000, &n, 10);
    s.faultSilence = static_cast<int>(n);
  } else if (a == "--fault-corrupt") {
    ok = number(v, -1, 1000000, &n, 10);
    s.faultCorrupt = static_cast<int>(n);
  } else if (a == "--fault-stream") {
    ok = number(v, -1, 1000000, &n, 10);
    s.faultStream = static_cast<int>(n);
  } else if (a == "--fault-scope") {
    auto f = fields(v);
    int64_t c = -1, o = -1;
    ok = f.size() <= 2 && number(f[0], 0, 255, &c) && (f.size() == 1 || number(f[1], 0, 63, &o));
    s.faultCommand = static_cast<int>(c);
    s.faultOption = static_cast<int>(o);
  } else if (a == "--fault-sub") {
    ok = number(v, 2, 254, &n) && !(n & 1);
    s.faultSub = static_cast<int>(n);
  }
  if (!ok) {
    std::fprintf(stderr, "sim: bad value for %s: \"%s\"\n", a.c_str(), v.c_str());
    return -1;
  }
  return 1;
}

bool installCommandLine(SimModule& module, const CommandLineSetup& s) {
  CommandConfig c = CommandConfig::from(module.config());
  if (s.model >= 0) c.model = static_cast<uint8_t>(s.model);
  if (s.version >= 0) c.version = static_cast<uint32_t>(s.version);
  if (s.build >= 0) c.build = static_cast<uint32_t>(s.build);
  if (s.nameSet) c.name = s.name;
  if (s.features >= 0) c.protocolFeatures = static_cast<uint32_t>(s.features);
  c.resetDropsLink = s.resetDrops;
  auto own = SimCommands::install(module, c);
  std::shared_ptr<SimCommands> target = own;
  if (!s.subs.empty()) {
    try {
      auto router = SimRouter::install(module, own);
      for (const auto& sub : s.subs) {
        CommandConfig sc = c;  // the router's firmware, the sub-module's identity
        sc.serial = sub.serial;
        sc.model = sub.model;
        sc.router = 0;
        sc.resetDropsLink = false;  // its restart does not break the router's link
        char name[24];
        std::snprintf(name, sizeof name, "SimModule %02X", sub.address);
        sc.name = name;
        auto layer = router->addSubModule(sub.address, sc);
        if (s.faultSub == sub.address) target = layer;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "sim: %s\n", e.what());
      return false;
    }
  }
  if (s.faultSub >= 0 && target == own) {
    std::fprintf(stderr, "sim: --fault-sub names no --sub address\n");
    return false;
  }
  auto& f = target->faults();
  f.errorReplies = s.faultError;
  f.errorCode = s.faultCode;
  f.wrongLength = s.faultLength;
  f.lengthDelta = s.faultDelta;
  f.lateReplies = s.faultLate;
  f.lateMs = s.faultLateMs;
  f.silence = s.faultSilence;
  f.streamSample = s.faultStream;
  f.corrupt = s.faultCorrupt;
  f.command = s.faultCommand;
  f.option = s.faultOption;
  return true;
}

}  // namespace jvsim
