// usbgadget: presents a module of the family on the USB device controller
// and moves the bulk endpoints' bytes to a byte pipe. See usage() below.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "usb_gadget.h"

#ifndef USBGADGET_DEFAULT_VENDOR_ID
#define USBGADGET_DEFAULT_VENDOR_ID 0
#endif

namespace {

void usage() {
  std::fprintf(stderr,
      "usage: usbgadget [options]\n"
      "  --vendor-id ID      USB vendor id (default 0x%04X)\n"
      "  --model N           model number: product id N (low byte), unless --product-id\n"
      "  --product-id ID     USB product id (default: the model)\n"
      "  --serial TEXT       serial-number string (default 0012ABCD)\n"
      "  --class C --subclass S --protocol P   interface triple (default ff 88 10)\n"
      "  --connect HOST:PORT relay the endpoints to a TCP server (a module speaking\n"
      "                      its link protocol); when it closes, the device leaves the\n"
      "                      bus and comes back once a new connection is made;\n"
      "                      without it, OUT data is echoed on IN\n"
      "  --reconnect-ms N    how long to keep trying to (re)connect (default 10000);\n"
      "                      after that the device stays away and usbgadget exits 1\n"
      "  --gap-ms N          time off the bus after the TCP server closed (default 300)\n"
      "  --control PATH      FIFO (made if missing) taking command lines:\n"
      "                      leave | return | restart <ms> | halt in | halt out | quit\n"
      "  --transcript PATH   write one line per transfer (\"out 30\", \"in 30\")\n"
      "  --no-zlp            no zero-length packet after an IN write that fills packets\n"
      "  --name NAME         configfs gadget name (default usbgadget)\n"
      "  --udc NAME          device controller (default: the first one)\n"
      "Events go to standard output, one line each, prefixed \"usbgadget: \".\n",
      static_cast<unsigned>(USBGADGET_DEFAULT_VENDOR_ID));
}

unsigned long number(const char* opt, const char* text, unsigned long max) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v > max)
    throw std::runtime_error(std::string(opt) + ": not a number up to " + std::to_string(max) +
                             ": " + text);
  return v;
}

int connectTcp(const std::string& hostPort) {
  auto colon = hostPort.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("--connect wants HOST:PORT");
  std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) throw std::runtime_error("--connect " + hostPort + ": " + gai_strerror(rc));
  int fd = -1;
  for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(res);
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return fd;
}

// Keeps trying until the module's server listens again (it restarts behind
// the pipe) or the time is up.
int connectWithin(const std::string& hostPort, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int fd = connectTcp(hostPort);
    if (fd >= 0) return fd;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ::signal(SIGPIPE, SIG_IGN);
  usbgadget::Options opt;
  opt.identity.vendorId = USBGADGET_DEFAULT_VENDOR_ID;
  opt.identity.productId = 0;
  std::string connect, controlPath, transcriptPath;
  int peerFd = -1;
  long reconnectMs = 10000;
  long gapMs = 300;
  bool productGiven = false;
  unsigned long model = 0;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto value = [&]() -> const char* {
        if (i + 1 >= argc) throw std::runtime_error(a + " wants a value");
        return argv[++i];
      };
      if (a == "--vendor-id") opt.identity.vendorId = static_cast<uint16_t>(number("--vendor-id", value(), 0xFFFF));
      else if (a == "--product-id") {
        opt.identity.productId = static_cast<uint16_t>(number("--product-id", value(), 0xFFFF));
        productGiven = true;
      } else if (a == "--model") model = number("--model", value(), 0xFF);
      else if (a == "--serial") opt.identity.serial = value();
      else if (a == "--class") opt.interfaceClass.cls = static_cast<uint8_t>(number("--class", value(), 0xFF));
      else if (a == "--subclass") opt.interfaceClass.subclass = static_cast<uint8_t>(number("--subclass", value(), 0xFF));
      else if (a == "--protocol") opt.interfaceClass.protocol = static_cast<uint8_t>(number("--protocol", value(), 0xFF));
      else if (a == "--connect") connect = value();
      else if (a == "--reconnect-ms") reconnectMs = static_cast<long>(number("--reconnect-ms", value(), 3600000));
      else if (a == "--gap-ms") gapMs = static_cast<long>(number("--gap-ms", value(), 600000));
      else if (a == "--control") controlPath = value();
      else if (a == "--transcript") transcriptPath = value();
      else if (a == "--no-zlp") opt.zeroLengthPackets = false;
      else if (a == "--name") opt.name = value();
      else if (a == "--udc") opt.udc = value();
      else if (a == "-h" || a == "--help") {
        usage();
        return 0;
      } else {
        usage();
        throw std::runtime_error("unknown option " + a);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "usbgadget: %s\n", e.what());
    return 2;
  }
  if (!productGiven) opt.identity.productId = static_cast<uint16_t>(model);
  if (opt.identity.vendorId == 0) {
    std::fprintf(stderr, "usbgadget: no vendor id (--vendor-id)\n");
    return 2;
  }

  auto say = [](const std::string& e) { std::printf("usbgadget: %s\n", e.c_str()); };
  try {
    if (!transcriptPath.empty()) {
      opt.transcript = std::fopen(transcriptPath.c_str(), "w");
      if (!opt.transcript) throw std::runtime_error("cannot write " + transcriptPath + ": " + std::strerror(errno));
    }
    int controlFd = -1;
    if (!controlPath.empty()) {
      if (::mkfifo(controlPath.c_str(), 0600) != 0 && errno != EEXIST)
        throw std::runtime_error("mkfifo " + controlPath + ": " + std::strerror(errno));
      // Read-write, so the FIFO never reports end of file between writers.
      controlFd = ::open(controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      if (controlFd < 0) throw std::runtime_error("open " + controlPath + ": " + std::strerror(errno));
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

    auto limit = std::chrono::milliseconds(reconnectMs);
    if (!connect.empty()) {
      peerFd = connectWithin(connect, limit);
      if (peerFd < 0) throw std::runtime_error("cannot connect to " + connect);
    }
    usbgadget::Gadget gadget(opt, say);
    gadget.setUp();
    char idText[64];
    std::snprintf(idText, sizeof idText, "ready vid=%04x pid=%04x serial=", opt.identity.vendorId,
                  opt.identity.productId);
    say(idText + opt.identity.serial);
    bool gaveUp = false;
    usbgadget::Gadget::PeerReconnect again;
    if (!connect.empty()) {
      again = [&]() {
        // A restarting module is away for a while even when its server
        // listens again at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        int fd = connectWithin(connect, limit);
        gaveUp = fd < 0;
        return fd;
      };
    }
    gadget.run(peerFd, controlFd, stopFd, again);
    say("stopped");
    return gaveUp ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "usbgadget: %s\n", e.what());
    return 1;
  }
}
