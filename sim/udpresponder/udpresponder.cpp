// udpresponder: answers the network discovery request the way
// network-attached modules do, for tests and by hand.
//
// It listens on UDP port 9888 for the group 232.2.2.2 on the interface with
// the --listen address. A request is 16 bytes whose first byte is 1; every
// module configured with --module answers it with one datagram sent from the
// module's own address to the requester's address, port 9889:
//   byte 0       0x02 (kind of reply; the host does not read it)
//   byte 1       module address
//   bytes 2-3    TCP port of the module's packet service, little-endian
//   bytes 4-7    serial number, little-endian
//   bytes 8-11   filler the host must ignore (0xEE)
//   byte 12      model
//   bytes 13-15  filler the host must ignore (0xEE)
//
// Usage:
//   udpresponder --listen ADDR [--module KEY=VALUE,...]... [--requests N]
//                [--lifetime SECONDS] [--silent] [--delay MS]
// Module keys: serial, address, port, model (numbers, 0x for hexadecimal),
// from (the address the reply is sent from, default the --listen address),
// length (fault switch: send only the first LENGTH bytes of the reply;
// default 16), repeat (each request is answered this many times, default
// 1: a module heard twice, as when two of the host's interfaces reach it),
// dark (fault switch: right after its first reply the module's
// address goes dark, SimDark.h, for MS milliseconds, 0 or "forever" for as
// long as the responder runs: a module that answered discovery and then
// rebooted its network stack; needs root).
// --silent   (fault switch) logs requests but answers none.
// --delay MS answers each request MS milliseconds after it came, as modules
//            slow to answer do (requests that come meanwhile wait their turn).
// --requests exits after answering N requests; --lifetime after SECONDS
// (default 30) in any case, so a forgotten responder never lingers.
//
// Transcript on standard output, one line per event, flushed at once:
//   ready
//   request from ADDR:PORT length N bytes HEX
//   ignored from ADDR:PORT length N
//   reply from ADDR to ADDR:PORT length N serial 0xSERIAL
//   dark ADDR
//   light ADDR
//   done
// Exit status 0, or 2 for a bad command line, 1 when the sockets cannot be
// set up.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SimDark.h"

namespace {

constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kGroup = "232.2.2.2";
constexpr size_t kDatagram = 16;

struct Module {
  uint32_t serial = 0;
  uint8_t address = 0;
  uint16_t port = 0;
  uint8_t model = 0;
  std::string from;
  size_t length = kDatagram;
  unsigned long repeat = 1;
  long darkMs = -1;  // -1: never dark; 0: for good
  bool darkened = false;
  std::chrono::steady_clock::time_point lightAt{};
};

volatile std::sig_atomic_t sStop = 0;

void sOnSignal(int) { sStop = 1; }

[[noreturn]] void sUsage(const std::string& why) {
  std::fprintf(stderr, "udpresponder: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: udpresponder --listen ADDR [--module serial=S,address=A,port=P,model=M[,from=ADDR]"
               "[,length=L]]... [--requests N] [--lifetime SECONDS] [--silent] [--delay MS]\n");
  std::exit(2);
}

unsigned long sNumber(const std::string& text, unsigned long max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end || errno || value > max) sUsage(std::string("bad ") + what + " '" + text + "'");
  return value;
}

Module sParseModule(const std::string& spec) {
  Module m;
  size_t at = 0;
  while (at <= spec.size()) {
    const size_t comma = std::min(spec.find(',', at), spec.size());
    const std::string item = spec.substr(at, comma - at);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) sUsage("bad module item '" + item + "'");
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    if (key == "serial") m.serial = static_cast<uint32_t>(sNumber(value, 0xFFFFFFFFul, "serial"));
    else if (key == "address") m.address = static_cast<uint8_t>(sNumber(value, 0xFF, "address"));
    else if (key == "port") m.port = static_cast<uint16_t>(sNumber(value, 0xFFFF, "port"));
    else if (key == "model") m.model = static_cast<uint8_t>(sNumber(value, 0xFF, "model"));
    else if (key == "from") m.from = value;
    else if (key == "length") m.length = sNumber(value, kDatagram, "length");
    else if (key == "repeat") m.repeat = sNumber(value, 100, "repeat");
    else if (key == "dark") m.darkMs = value == "forever" ? 0 : static_cast<long>(sNumber(value, 3600000, "dark"));
    else sUsage("unknown module key '" + key + "'");
    at = comma + 1;
  }
  return m;
}

bool sAddress(const std::string& text, in_addr* out) { return inet_pton(AF_INET, text.c_str(), out) == 1; }

std::string sText(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

void sLine(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

int sOpenListener(const in_addr& interfaceAddress) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Only the group joined below, on that interface: not every group some
  // other socket of the host has joined.
  const int off = 0;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(kRequestPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq join{};
  sAddress(kGroup, &join.imr_multiaddr);
  join.imr_interface = interfaceAddress;
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sReply(const Module& m, const std::string& listen, const sockaddr_in& requester) {
  in_addr from{};
  if (!sAddress(m.from.empty() ? listen : m.from, &from)) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr = from;
  sockaddr_in to = requester;
  to.sin_port = htons(kReplyPort);
  uint8_t reply[kDatagram];
  std::memset(reply, 0xEE, sizeof reply);
  reply[0] = 0x02;
  reply[1] = m.address;
  reply[2] = static_cast<uint8_t>(m.port);
  reply[3] = static_cast<uint8_t>(m.port >> 8);
  for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(m.serial >> (8 * i));
  reply[12] = m.model;
  const bool sent = bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
                    sendto(fd, reply, m.length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                        static_cast<ssize_t>(m.length);
  close(fd);
  if (sent) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "0x%08X", static_cast<unsigned>(m.serial));
    char fromText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from, fromText, sizeof fromText);
    sLine(std::string("reply from ") + fromText + " to " + sText(to) + " length " + std::to_string(m.length) +
          " serial " + serial);
  }
  return sent;
}

const std::string& sFrom(const Module& m, const std::string& listen) { return m.from.empty() ? listen : m.from; }

void sDarken(jvsim::DarkSwitch& dark, Module& m, const std::string& listen) {
  std::string why;
  if (!dark.goDark(sFrom(m, listen), &why)) {
    std::fprintf(stderr, "udpresponder: %s\n", why.c_str());
    m.darkMs = -1;
    return;
  }
  m.darkened = true;
  m.lightAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m.darkMs);
  sLine("dark " + sFrom(m, listen));
}

void sLight(jvsim::DarkSwitch& dark, Module& m, const std::string& listen) {
  std::string why;
  m.darkened = false;
  m.darkMs = -1;
  if (!dark.light(sFrom(m, listen), &why)) {
    std::fprintf(stderr, "udpresponder: %s\n", why.c_str());
    return;
  }
  sLine("light " + sFrom(m, listen));
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen;
  std::vector<Module> modules;
  long requests = -1;
  long lifetime = 30;
  bool silent = false;
  long delayMs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) sUsage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--listen") listen = value();
    else if (arg == "--module") modules.push_back(sParseModule(value()));
    else if (arg == "--requests") requests = static_cast<long>(sNumber(value(), 1000000, "request count"));
    else if (arg == "--lifetime") lifetime = static_cast<long>(sNumber(value(), 3600, "lifetime"));
    else if (arg == "--silent") silent = true;
    else if (arg == "--delay") delayMs = static_cast<long>(sNumber(value(), 10000, "delay"));
    else sUsage("unknown option '" + arg + "'");
  }
  in_addr interfaceAddress{};
  if (!sAddress(listen, &interfaceAddress)) sUsage("--listen needs an IPv4 address");

  std::signal(SIGTERM, sOnSignal);
  std::signal(SIGINT, sOnSignal);
  const int fd = sOpenListener(interfaceAddress);
  if (fd < 0) {
    std::fprintf(stderr, "udpresponder: cannot listen for %s:%u on %s: %s\n", kGroup, kRequestPort, listen.c_str(),
                 std::strerror(errno));
    return 1;
  }
  jvsim::DarkSwitch dark;
  sLine("ready");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  long answered = 0;
  while (!sStop && (requests < 0 || answered < requests)) {
    const auto now = std::chrono::steady_clock::now();
    for (Module& m : modules) {
      if (m.darkened && m.darkMs > 0 && now >= m.lightAt) sLight(dark, m, listen);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 200))) <= 0) continue;
    uint8_t request[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) continue;
    if (n != static_cast<ssize_t>(kDatagram) || request[0] != 1) {
      sLine("ignored from " + sText(from) + " length " + std::to_string(n));
      continue;
    }
    std::string hex;
    for (ssize_t k = 0; k < n; ++k) {
      char two[3];
      std::snprintf(two, sizeof two, "%02X", request[k]);
      hex += two;
    }
    sLine("request from " + sText(from) + " length " + std::to_string(n) + " bytes " + hex);
    if (silent) continue;
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    for (Module& m : modules) {
      for (unsigned long k = 0; k < m.repeat; ++k) {
        if (!sReply(m, listen, from)) std::fprintf(stderr, "udpresponder: reply failed: %s\n", std::strerror(errno));
      }
      if (m.darkMs >= 0 && !m.darkened) sDarken(dark, m, listen);
    }
    ++answered;
  }
  close(fd);
  for (Module& m : modules) {
    if (m.darkened) sLight(dark, m, listen);
  }
  sLine("done");
  return 0;
}
