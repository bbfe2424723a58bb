// lpcrom: runs one simulated LPC boot ROM on a pseudo-terminal until
// interrupted (SIGINT or SIGTERM).
//
//   lpcrom [--pty] [--link PATH] [--device-id A,B,C,D] [--dump-flash FILE]
//          [--silent] [--silent-after-sync] [--sync-reply TEXT]
//          [--sync-ack TEXT] [--crystal-ack TEXT] [--fail L:CODE[:AFTER]]
//          [--garble L:TEXT] [--resend N] [--checksum-reply TEXT]
//          [--corrupt-write-line N] [--bad-read-checksums N] [--drop-reply N]
//          [--quiet]
//
// The first line of standard output is "pty <slave path>"; then the
// transcript, one line per event (LpcRom.h), unless --quiet. TEXT arguments
// take C escapes \r and \n. --link makes PATH a symbolic link to the slave.
// --dump-flash writes the 512 KB flash image to FILE after each G command
// and when stopped, so scripts can compare it with what they programmed.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "LpcRom.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: lpcrom [--pty] [--link PATH] [--device-id A,B,C,D] [--dump-flash FILE]\n"
               "              [--silent] [--silent-after-sync] [--sync-reply TEXT]\n"
               "              [--sync-ack TEXT] [--crystal-ack TEXT] [--fail L:CODE[:AFTER]]\n"
               "              [--garble L:TEXT] [--resend N] [--checksum-reply TEXT]\n"
               "              [--corrupt-write-line N] [--bad-read-checksums N] [--drop-reply N]\n"
               "              [--quiet]\n");
}

bool parseUnsigned(const char* s, unsigned long long max, unsigned long long* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 0);
  if (errno || end == s || *end || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

std::string unescape(const char* s) {
  std::string out;
  for (; *s; ++s) {
    if (s[0] == '\\' && s[1] == 'r') {
      out += '\r';
      ++s;
    } else if (s[0] == '\\' && s[1] == 'n') {
      out += '\n';
      ++s;
    } else {
      out += *s;
    }
  }
  return out;
}

bool dumpFlash(const lpcsim::LpcRom& rom, const std::string& file) {
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "lpcrom: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return false;
  }
  const auto image = rom.flash();
  const bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  lpcsim::Config config;
  lpcsim::Faults& f = config.faults;
  std::string link, dump;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long n = 0;
    auto number = [&](unsigned long long max) {
      if (!val || !parseUnsigned(val, max, &n)) {
        std::fprintf(stderr, "lpcrom: %s needs a number up to %llu\n", opt.c_str(), max);
        std::exit(2);
      }
      ++i;
      return n;
    };
    auto text = [&]() {
      if (!val) {
        std::fprintf(stderr, "lpcrom: %s needs a value\n", opt.c_str());
        std::exit(2);
      }
      ++i;
      return std::string(val);
    };
    if (opt == "--pty") {
    } else if (opt == "--quiet") {
      quiet = true;
    } else if (opt == "--silent") {
      f.silent = true;
    } else if (opt == "--silent-after-sync") {
      f.silentAfterSync = true;
    } else if (opt == "--link") {
      link = text();
    } else if (opt == "--dump-flash") {
      dump = text();
    } else if (opt == "--device-id") {
      const std::string v = text();
      unsigned words[4];
      if (std::sscanf(v.c_str(), "%u,%u,%u,%u", &words[0], &words[1], &words[2], &words[3]) != 4) {
        std::fprintf(stderr, "lpcrom: --device-id needs four numbers A,B,C,D\n");
        return 2;
      }
      for (int k = 0; k < 4; ++k) config.deviceId[k] = words[k];
    } else if (opt == "--sync-reply") {
      f.syncReply = unescape(text().c_str());
    } else if (opt == "--sync-ack") {
      f.syncAck = unescape(text().c_str());
    } else if (opt == "--crystal-ack") {
      f.crystalAck = unescape(text().c_str());
    } else if (opt == "--checksum-reply") {
      f.checksumReply = unescape(text().c_str());
    } else if (opt == "--fail") {
      const std::string v = text();
      unsigned code = 0, after = 0;
      char letter = 0;
      const int got = std::sscanf(v.c_str(), "%c:%u:%u", &letter, &code, &after);
      if (got < 2) {
        std::fprintf(stderr, "lpcrom: --fail needs L:CODE[:AFTER]\n");
        return 2;
      }
      f.failCommand = letter;
      f.failCode = static_cast<int>(code);
      f.failAfter = after;
    } else if (opt == "--garble") {
      const std::string v = text();
      if (v.size() < 2 || v[1] != ':') {
        std::fprintf(stderr, "lpcrom: --garble needs L:TEXT\n");
        return 2;
      }
      f.garbleCommand = v[0];
      f.garbleReply = unescape(v.c_str() + 2);
    } else if (opt == "--resend") {
      f.resendCount = static_cast<unsigned>(number(1000));
    } else if (opt == "--corrupt-write-line") {
      f.corruptWriteLine = static_cast<unsigned>(number(1u << 30));
    } else if (opt == "--bad-read-checksums") {
      f.badReadChecksums = static_cast<unsigned>(number(1000));
    } else if (opt == "--drop-reply") {
      f.dropReply = static_cast<unsigned>(number(1u << 30));
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

  try {
    // The flash is dumped after each start command the host sends.
    std::atomic<const lpcsim::LpcRom*> running{nullptr};
    if (!dump.empty())
      config.onGo = [&] {
        if (const lpcsim::LpcRom* r = running.load()) dumpFlash(*r, dump);
      };
    lpcsim::LpcRom rom(config);
    running = &rom;
    if (!link.empty()) {
      ::unlink(link.c_str());
      if (::symlink(rom.path().c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "lpcrom: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return 1;
      }
    }
    std::printf("pty %s\n", rom.path().c_str());
    std::fflush(stdout);
    if (!quiet) rom.transcript().setEcho(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    rom.stop();
    rom.transcript().setEcho(nullptr);
    if (!link.empty()) ::unlink(link.c_str());
    if (!dump.empty() && !dumpFlash(rom, dump)) return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
