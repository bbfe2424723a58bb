// A UEI get round trip over TCP on loopback against the simulated module,
// median and p99, next to the same request bytes as a bare socket
// ping-pong and as one raw packet through the link engine:
//   (a) bare socket: write the get request, read its 9-byte reply;
//   (b) link engine: queue the request packet, await the reply packet;
//   (c) SystemClass::getSerialNumber: drain, request, filter, value.
// Usage: uei_bench [round trips]
#include "../bench_support.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "Module.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "SystemClass.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Tovanire::Jorvanite;
constexpr const char* kHost = "127.0.0.4";

// A get of the serial number (option 9 of the system entity) and its reply.
const uint8_t kRequest[] = {0x03, 0x49, 0x20};
const uint8_t kRequestWire[] = {0x04, 0x03, 0x03, 0x49, 0x20};
constexpr size_t kReplyWire = 9;

using bench::percentiles;
using bench::Percentiles;

uint32_t hostAddress() { return bench::hostAddress(kHost); }

[[noreturn]] void fail(const char* what, int i) {
  std::fprintf(stderr, "uei_bench: %s (round trip %d)\n", what, i);
  std::exit(1);
}

std::vector<double> timed(int n, const std::function<bool()>& once) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (!once()) fail("no reply", i);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return us;
}

int connectSocket(uint16_t port) {
  const int fd = bench::connectNoDelay(kHost, port);
  if (fd < 0) fail("cannot connect", 0);
  return fd;
}

bool socketGet(int fd) { return bench::pingPong(fd, kRequestWire, sizeof kRequestWire, kReplyWire); }

bool isSerialReply(const aPacket* p, void*) {
  return p->address == 4 && p->length == 7 && p->data[0] == 0x03 && p->data[1] == 0x09;
}

bool linkGet(aLinkRef ref, const aPacket* request) {
  if (aLink_PutPacket(ref, request) != aErrNone) return false;
  aPacket* in = aLink_AwaitFirst(ref, isSerialReply, nullptr, 1000);
  if (!in) return false;
  aPacket_Destroy(&in);
  return true;
}

void print(const char* what, Percentiles p, double base) {
  std::printf("  %-40s %7.1f %7.1f   (%.2fx median)\n", what, p.median, p.p99, p.median / base);
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int warmup = std::max(1, trips / 10);

  auto sim = jvsim::SimModule::overTcp(kHost, 0);
  jvsim::SimCommands::install(*sim);
  sim->start();
  const uint16_t port = sim->tcp()->port();

  // The bare socket first, alone on the module; then the library.
  int fd = connectSocket(port);
  timed(warmup, [&] { return socketGet(fd); });
  const Percentiles bare = percentiles(timed(trips, [&] { return socketGet(fd); }));
  close(fd);

  Module module(4, false, 0);
  linkSpec spec{};
  spec.type = LINK_TCPIP;
  spec.address = hostAddress();
  spec.port = port;
  if (module.connectFromSpec(spec) != aErrNone) {
    std::fprintf(stderr, "uei_bench: no link to %s:%u\n", kHost, port);
    return 1;
  }
  const aLinkRef ref = module.getLink()->getLinkRef();
  aPacket* request = aPacket_CreateWithData(4, sizeof kRequest, kRequest);
  timed(warmup, [&] { return linkGet(ref, request); });
  const Percentiles raw = percentiles(timed(trips, [&] { return linkGet(ref, request); }));
  aPacket_Destroy(&request);

  SystemClass sys;
  sys.init(&module, 0);
  uint32_t serial = 0;
  auto get = [&] { return sys.getSerialNumber(&serial) == aErrNone && serial == sim->config().serial; };
  timed(warmup, get);
  const Percentiles uei = percentiles(timed(trips, get));

  std::printf("UEI get round trip, %d requests (us)            median     p99\n", trips);
  print("bare socket ping-pong", bare, bare.median);
  print("one packet through the link engine", raw, bare.median);
  print("SystemClass::getSerialNumber", uei, bare.median);
  return 0;
}
