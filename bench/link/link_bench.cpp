// Link engine over TCP on loopback against the simulated module, in one run:
//   (a) round trip of one packet out and its echo back through the link,
//       median and p99, next to a bare socket ping-pong of the same bytes
//       against the same module;
//   (b) packets per second one way, each direction;
//   (c) CPU time an idle open link uses over 10 s.
// Usage: link_bench [round trips] [packets one way] [idle seconds]
#include "../bench_support.h"
#include "aLinkInternal.h"
#include "aLinkTableInternal.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "SimModule.h"
#include "aLink.h"
#include "aLinkTable.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kHost = "127.0.0.2";

using bench::usSince;

using bench::percentiles;
using bench::Percentiles;

uint32_t hostAddress() { return bench::hostAddress(kHost); }

bool isEcho(const aPacket* p, void*) { return p->length > 0 && p->data[0] == jvsim::kCmdEcho; }

const uint8_t kEchoData[] = {jvsim::kCmdEcho, 0x11, 0x22, 0x33};
const uint8_t kEchoWire[] = {0x04, 0x04, jvsim::kCmdEcho, 0x11, 0x22, 0x33};

std::vector<double> linkRoundTrips(aLinkRef ref, int n) {
  std::vector<double> us;
  us.reserve(n);
  aPacket* out = aPacket_CreateWithData(4, sizeof kEchoData, kEchoData);
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    aLink_PutPacket(ref, out);
    aPacket* in = aLink_AwaitFirst(ref, isEcho, nullptr, 1000);
    us.push_back(usSince(t0));
    if (!in) {
      std::fprintf(stderr, "link_bench: echo %d lost\n", i);
      std::exit(1);
    }
    aPacket_Destroy(&in);
  }
  aPacket_Destroy(&out);
  return us;
}

std::vector<double> socketRoundTrips(uint16_t port, int n) {
  const int fd = bench::connectNoDelay(kHost, port);
  if (fd < 0) {
    std::perror("connect");
    std::exit(1);
  }
  std::vector<double> us;
  us.reserve(n);
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    if (!bench::pingPong(fd, kEchoWire, sizeof kEchoWire, sizeof kEchoWire)) {
      std::fprintf(stderr, "link_bench: socket echo %d lost\n", i);
      std::exit(1);
    }
    us.push_back(usSince(t0));
  }
  close(fd);
  return us;
}

double hostToModule(aLinkRef ref, jvsim::SimModule& sim, int n, bool pooled) {
  aLink_EnablePooledPackets(ref, pooled);
  aLink* link = aLink_GetLinkObject(ref);
  const uint32_t before = sim.stats().packetsIn;
  const uint8_t data[] = {0x18, 0x01};  // a command the module ignores
  aPacket* p = aPacket_CreateWithData(4, sizeof data, data);
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    // Stay well below the output queue's 1000-packet limit.
    while (aPacketFifo_GetLength(link->outputFifo) > 500) std::this_thread::sleep_for(std::chrono::microseconds(50));
    aLink_PutPacket(ref, p);
  }
  while (sim.stats().packetsIn - before < static_cast<uint32_t>(n)) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (usSince(t0) > 60e6) break;
  }
  double s = usSince(t0) / 1e6;
  aPacket_Destroy(&p);
  aLink_EnablePooledPackets(ref, false);
  return (sim.stats().packetsIn - before) / s;
}

double moduleToHost(aLinkRef ref, jvsim::SimModule& sim, int n) {
  constexpr int kBurst = 500;  // the input queue holds 1000
  int received = 0;
  auto t0 = Clock::now();
  for (int sent = 0; sent < n; sent += kBurst) {
    sim.flood(std::min(kBurst, n - sent));
    for (int k = 0; k < std::min(kBurst, n - sent); ++k) {
      aPacket* in = aLink_AwaitPacket(ref, 1000);
      if (!in) break;
      ++received;
      aPacket_Destroy(&in);
    }
  }
  double s = usSince(t0) / 1e6;
  if (received != n) std::fprintf(stderr, "link_bench: %d of %d packets arrived\n", received, n);
  return received / s;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int packets = argc > 2 ? std::atoi(argv[2]) : 200000;
  const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 10;

  auto sim = jvsim::SimModule::overTcp(kHost, 0);
  sim->start();
  const uint16_t port = sim->tcp()->port();

  // The bare socket first, alone on the module; then the link.
  socketRoundTrips(port, trips / 10);  // warm-up
  Percentiles bare = percentiles(socketRoundTrips(port, trips));

  aLinkRef ref = aLink_CreateTCPIP(hostAddress(), port);
  if (!ref) {
    std::fprintf(stderr, "link_bench: no link to %s:%u\n", kHost, port);
    return 1;
  }
  linkRoundTrips(ref, trips / 10);
  Percentiles viaLink = percentiles(linkRoundTrips(ref, trips));

  std::printf("round trip, %d packets of %zu bytes (us)   median    p99\n", trips, sizeof kEchoWire);
  std::printf("  bare socket ping-pong                   %7.1f %7.1f\n", bare.median, bare.p99);
  std::printf("  through the link                        %7.1f %7.1f   (%.2fx median)\n", viaLink.median,
              viaLink.p99, viaLink.median / bare.median);

  std::printf("one way, %d packets (packets/s)\n", packets);
  std::printf("  host to module, unpooled                %9.0f\n", hostToModule(ref, *sim, packets, false));
  std::printf("  host to module, pooled                  %9.0f\n", hostToModule(ref, *sim, packets, true));
  std::printf("  module to host                          %9.0f\n", moduleToHost(ref, *sim, packets));

  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double c0 = cpuSeconds();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double cpu = cpuSeconds() - c0;
  const double wall = usSince(t0) / 1e6;
  std::printf("idle link, %.1f s: %.4f s CPU = %.3f%% of one core (the simulated module's thread included)\n", wall,
              cpu, 100.0 * cpu / wall);

  aLink_Destroy(&ref);
  return 0;
}
