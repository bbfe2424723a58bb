// sim: runs one simulated module until interrupted.
//
//   sim [--tcp HOST:PORT | --pty | --node PATH] [--address N] [--serial HEX]
//       [--heartbeat MS] [--silent] [--late MS] [--stray-byte]
//       [--broken-handshake N] [--drop-after N] [--flood N] [--quiet]
//       [--dump-firmware PREFIX]
//
// It prints where it can be reached ("tcp 127.0.0.2:40001", "pty /dev/pts/4",
// "node PATH -> /dev/pts/4") on the first line of standard output, then the
// transcript, one line per packet or event, unless --quiet. The command
// layer's options (identity, router sub-modules, faults): SimCommandLine.h;
// the loader's (piece size, restart, loader faults): SimLoader.h; the live
// loader's (started in its loader, chip identifier): SimLiveLoader.h.
//
// --dump-firmware PREFIX: when stopped, the module writes each run of the
// firmware its loader committed to PREFIX-AAAAAAAA.bin (AAAAAAAA: the run's
// start address, upper-case hex), so scripts can compare it with a payload.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "SimCommandLine.h"
#include "SimLiveLoader.h"
#include "SimLoader.h"
#include "SimModule.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: sim [--tcp HOST:PORT | --pty | --node PATH] [--address N] [--serial HEX]\n"
               "           [--heartbeat MS] [--silent] [--late MS] [--stray-byte]\n"
               "           [--broken-handshake N] [--drop-after N] [--flood N] [--quiet]\n"
               "           [--dump-firmware PREFIX]\n");
  std::fputs(jvsim::commandLineUsage(), stderr);
  std::fputs(jvsim::loaderUsage(), stderr);
  std::fputs(jvsim::liveLoaderUsage(), stderr);
}

bool parseInt(const char* s, long min, long max, long* out, int base = 0) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, base);
  if (errno || end == s || *end || v < min || v > max) return false;
  *out = v;
  return true;
}

// Writes the module's committed firmware, one file per run; false with a
// message on standard error when a file cannot be written.
bool dumpFirmware(const jvsim::SimModule& module, const std::string& prefix) {
  bool ok = true;
  for (const auto& h : module.handlers()) {
    auto loader = std::dynamic_pointer_cast<jvsim::SimLoader>(h);
    if (!loader || loader->address() != module.config().address) continue;
    for (const auto& [address, bytes] : loader->firmwareImage()) {
      char name[16];
      std::snprintf(name, sizeof name, "-%08X.bin", static_cast<unsigned>(address));
      const std::string path = prefix + name;
      std::FILE* f = std::fopen(path.c_str(), "wb");
      bool written = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
      if (f && std::fclose(f) != 0) written = false;
      if (!written) {
        std::fprintf(stderr, "sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        ok = false;
      }
    }
    break;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  jvsim::SimConfig config;
  std::string tcp = "127.0.0.1:0", node, dumpPrefix;
  bool pty = false, quiet = false;
  long silent = 0, late = 0, stray = 0, broken = 0, dropAfter = 0, flood = 0;
  jvsim::CommandLineSetup commands;
  jvsim::LoaderSetup loader;
  jvsim::LiveLoaderSetup live;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](long min, long max, long* out, int base = 0) {
      if (i + 1 >= argc || !parseInt(argv[++i], min, max, out, base)) {
        std::fprintf(stderr, "sim: %s needs a number from %ld to %ld\n", a.c_str(), min, max);
        std::exit(2);
      }
    };
    long v;
    if (a == "--tcp" && i + 1 < argc) {
      tcp = argv[++i];
    } else if (a == "--pty") {
      pty = true;
    } else if (a == "--node" && i + 1 < argc) {
      node = argv[++i];
    } else if (a == "--address") {
      value(2, 254, &v);
      if (v & 1) {
        std::fprintf(stderr, "sim: --address must be even\n");
        return 2;
      }
      config.address = static_cast<uint8_t>(v);
    } else if (a == "--serial") {
      value(1, 0xFFFFFFFFL, &v, 16);
      config.serial = static_cast<uint32_t>(v);
    } else if (a == "--heartbeat") {
      value(0, 3600000, &v);
      config.heartbeatMs = static_cast<int>(v);
    } else if (a == "--silent") {
      silent = 1;
    } else if (a == "--late") {
      value(0, 60000, &late);
    } else if (a == "--stray-byte") {
      stray = 1;
    } else if (a == "--broken-handshake") {
      value(0, 1000000, &broken);
    } else if (a == "--drop-after") {
      value(0, 1000000, &dropAfter);
    } else if (a == "--flood") {
      value(0, 1000000, &flood);
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--dump-firmware" && i + 1 < argc) {
      dumpPrefix = argv[++i];
    } else if (int taken = jvsim::parseCommandOption(argc, argv, i, commands)) {
      if (taken < 0) return 2;
    } else if (int taken = jvsim::parseLoaderOption(argc, argv, i, loader)) {
      if (taken < 0) return 2;
    } else if (int taken = jvsim::parseLiveLoaderOption(argc, argv, i, live)) {
      if (taken < 0) return 2;
    } else {
      usage();
      return 2;
    }
  }

  // Block the stop signals before any thread starts, then wait for one.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  config.serial = jvsim::liveLoaderSerial(live, config.serial);
  std::unique_ptr<jvsim::SimModule> module;
  try {
    if (!node.empty()) {
      module = jvsim::SimModule::overPty(node, config);
    } else if (pty) {
      module = jvsim::SimModule::overPty({}, config);
    } else {
      auto colon = tcp.rfind(':');
      long port = 0;
      if (colon == std::string::npos || !parseInt(tcp.c_str() + colon + 1, 0, 65535, &port)) {
        std::fprintf(stderr, "sim: --tcp needs HOST:PORT\n");
        return 2;
      }
      module = jvsim::SimModule::overTcp(tcp.substr(0, colon), static_cast<uint16_t>(port), config);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sim: %s\n", e.what());
    return 1;
  }

  if (!jvsim::installCommandLine(*module, commands)) return 2;
  if (!jvsim::installLoaders(*module, loader, commands.faultSub)) return 2;
  if (!jvsim::applyLiveLoader(*module, live)) return 2;
  auto& f = module->faults();
  f.silent = silent != 0;
  f.lateMs = static_cast<int>(late);
  f.strayByte = stray != 0;
  f.brokenHandshake = static_cast<int>(broken);
  f.dropAfterPackets = static_cast<int>(dropAfter);
  f.floodOnForceRoute = static_cast<int>(flood);

  std::printf("%s\n", module->transport().describe().c_str());
  std::fflush(stdout);
  if (!quiet) module->transcript().setEcho(stdout);
  module->start();

  int sig = 0;
  sigwait(&stopSignals, &sig);
  module->stop();
  if (!dumpPrefix.empty() && !dumpFirmware(*module, dumpPrefix)) return 1;
  return 0;
}
