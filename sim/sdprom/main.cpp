// sdprom: a simulated boot ROM in serial download mode on a pseudo-terminal,
// until interrupted (or, with --exit-after-jump, until told to jump).
//
//   sdprom --pty [--hab HEX] [--cfg0 HEX] [--cfg1 HEX] [--silent]
//          [--silent-probes N] [--write-status HEX] [--corrupt] [--short]
//          [--drop-after N] [--chatter] [--exit-after-jump] [--quiet]
//          [--dump PREFIX]
//
// The first line of standard output is "pty /dev/pts/N"; then the transcript,
// one event per line, unless --quiet. --dump PREFIX: on exit, each completed
// transfer is written to PREFIX-AAAAAAAA.bin (AAAAAAAA: its load address,
// upper-case hex), so scripts can compare RAM with the image they sent.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "SdpPty.h"
#include "SdpRom.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: sdprom --pty [--hab HEX] [--cfg0 HEX] [--cfg1 HEX] [--silent]\n"
               "              [--silent-probes N] [--write-status HEX] [--corrupt] [--short]\n"
               "              [--drop-after N] [--chatter] [--exit-after-jump] [--quiet]\n"
               "              [--dump PREFIX]\n");
}

bool parseNumber(const char* s, unsigned long long max, unsigned long long* out, int base) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, base);
  if (errno || end == s || *end || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

bool dump(const sdpsim::SdpRom& rom, const std::string& prefix) {
  bool ok = true;
  for (const auto& [address, bytes] : rom.transfers()) {
    const std::string path = prefix + "-" + sdpsim::hex32(address) + ".bin";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool written = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0) written = false;
    if (!written) {
      std::fprintf(stderr, "sdprom: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  sdpsim::Config config;
  bool pty = false, quiet = false, exitAfterJump = false;
  std::string dumpPrefix;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long v = 0;
    auto hexWord = [&](uint32_t* out) {
      if (!value || !parseNumber(value, 0xFFFFFFFFull, &v, 16)) return false;
      *out = uint32_t(v);
      ++i;
      return true;
    };
    auto count = [&](long* out) {
      if (!value || !parseNumber(value, 1000000000ull, &v, 10)) return false;
      *out = long(v);
      ++i;
      return true;
    };
    long n = 0;
    bool ok = true;
    if (arg == "--pty") pty = true;
    else if (arg == "--quiet") quiet = true;
    else if (arg == "--exit-after-jump") exitAfterJump = true;
    else if (arg == "--silent") config.faults.silent = true;
    else if (arg == "--corrupt") config.faults.corrupt = true;
    else if (arg == "--short") config.faults.shortReply = true;
    else if (arg == "--chatter") config.faults.chatter = true;
    else if (arg == "--hab") ok = hexWord(&config.habMode);
    else if (arg == "--cfg0") ok = hexWord(&config.cfg0);
    else if (arg == "--cfg1") ok = hexWord(&config.cfg1);
    else if (arg == "--write-status") ok = hexWord(&config.faults.writeStatus);
    else if (arg == "--silent-probes") ok = count(&n) && ((config.faults.silentProbes = int(n)), true);
    else if (arg == "--drop-after") ok = count(&n) && ((config.faults.dropAfter = n), true);
    else if (arg == "--dump" && value) dumpPrefix = argv[++i];
    else ok = false;
    if (!ok) {
      std::fprintf(stderr, "sdprom: bad option %s\n", arg.c_str());
      usage();
      return 2;
    }
  }
  if (!pty) {
    usage();
    return 2;
  }

  // Signals are taken by sigwait on this thread only; the line's thread
  // inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sdpsim::SdpRom rom(config);
  if (!quiet) rom.setEcho(stdout);
  if (exitAfterJump) rom.onJump([] { kill(getpid(), SIGUSR1); });
  try {
    sdpsim::SdpPty line(rom);
    std::printf("pty %s\n", line.slavePath().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!dumpPrefix.empty() && !dump(rom, dumpPrefix)) return 1;
  return 0;
}
