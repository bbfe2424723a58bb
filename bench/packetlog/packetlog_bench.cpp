// Packet log and store slots, in one run:
//   (a) ns per record put into a full 64 KiB ring (30-byte packets, so
//       every put also drops the oldest record) and per record taken;
//   (b) link round trip of one echo over TCP to the simulated module,
//       median and p99, with logging off and with the logger writing a file;
//   (c) writing and reading back a 4000-byte store slot: ms each.
// Usage: packetlog_bench [ring records] [round trips]
#include "../bench_support.h"
#include "aPacketLogInternal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Link.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "SimStore.h"
#include "aLinkTable.h"
#include "aPacketLog.h"

namespace {

using bench::Clock;
using Tovanire::Jorvanite::Link;
constexpr const char* kHost = "127.0.0.11";

double nsPer(Clock::time_point t0, long n) {
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / static_cast<double>(n);
}

void ringFigures(long records) {
  aPacketLog* ring = aPacketLog_Create(aPACKETLOG_DEFAULT_SIZE);
  uint8_t wire[30] = {4, 28};
  for (long i = 0; i < aPACKETLOG_DEFAULT_SIZE / 32 + 1; ++i) aPacketLog_Put(ring, aPacketLogSent, 30, wire);
  auto t0 = Clock::now();
  for (long i = 0; i < records; ++i) {
    wire[2] = static_cast<uint8_t>(i);
    aPacketLog_Put(ring, aPacketLogSent, 30, wire);
  }
  const double put = nsPer(t0, records);
  uint8_t type = 0, out[64];
  long taken = 0;
  t0 = Clock::now();
  for (uint32_t length = sizeof out; aPacketLog_Get(ring, &type, &length, out) == aErrNone; length = sizeof out) ++taken;
  const double get = nsPer(t0, taken);
  std::printf("ring 64 KiB, 30-byte records: put (full, dropping) %.1f ns, get %.1f ns (%ld records)\n", put, get,
              taken);
  aPacketLog_Destroy(&ring);
}

bool isEcho(const aPacket* p, void*) { return p->length > 0 && p->data[0] == jvsim::kCmdEcho; }

bench::Percentiles roundTrips(aLinkRef ref, int n) {
  const uint8_t data[] = {jvsim::kCmdEcho, 1, 2, 3};
  aPacket* out = aPacket_CreateWithData(4, sizeof data, data);
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    aLink_PutPacket(ref, out);
    aPacket* in = aLink_AwaitFirst(ref, isEcho, nullptr, 1000);
    us.push_back(bench::usSince(t0));
    if (!in) {
      std::fprintf(stderr, "packetlog_bench: echo %d lost\n", i);
      std::exit(1);
    }
    aPacket_Destroy(&in);
  }
  aPacket_Destroy(&out);
  return bench::percentiles(us);
}

}  // namespace

int main(int argc, char** argv) {
  const long records = argc > 1 ? std::atol(argv[1]) : 2000000;
  const int trips = argc > 2 ? std::atoi(argv[2]) : 2000;
  ringFigures(records);

  auto sim = jvsim::SimModule::overTcp(kHost);
  jvsim::SimCommands::install(*sim);
  auto store = jvsim::SimStore::of(*sim);
  store->addSlot(1, 1, 4000);
  sim->start();
  linkSpec spec{};
  spec.type = LINK_TCPIP;
  spec.address = bench::hostAddress(kHost);
  spec.port = sim->tcp()->port();
  Link link("bench");
  link.setLinkSpecifier(spec);
  if (link.connect() != aErrNone) {
    std::fprintf(stderr, "packetlog_bench: no link\n");
    return 1;
  }
  const bench::Percentiles off = roundTrips(link.getLinkRef(), trips);
  char path[] = "/tmp/packetlog-bench-XXXXXX";
  close(mkstemp(path));
  link.enablePacketLog(path);
  const bench::Percentiles on = roundTrips(link.getLinkRef(), trips);
  link.disablePacketLog();
  std::remove(path);
  std::printf("echo round trip, %d trips: log off median %.0f us p99 %.0f us; logging to a file median %.0f us p99 %.0f us\n",
              trips, off.median, off.p99, on.median, on.p99);

  std::vector<uint8_t> data(4000), back(4001);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  auto t0 = Clock::now();
  const aErr wrote = link.loadStoreSlot(4, 1, 1, data.data(), data.size());
  const double writeMs = bench::usSince(t0) / 1000;
  size_t received = 0;
  t0 = Clock::now();
  const aErr read = link.unloadStoreSlot(4, 1, 1, back.data(), back.size(), &received);
  const double readMs = bench::usSince(t0) / 1000;
  std::printf("store slot of 4000 bytes: write %.1f ms (%s), read back %.1f ms (%s, %s)\n", writeMs,
              aError_GetErrorText(wrote), readMs, aError_GetErrorText(read),
              received == data.size() && std::equal(data.begin(), data.end(), back.begin()) ? "same" : "DIFFERENT");
  return 0;
}
