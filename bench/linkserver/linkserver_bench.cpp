// Echo round trips to the simulated module on its USB driver node: on the
// plain USB link, then through a link-sharing server from the process's own
// client link. Prints median and 99th percentile per round trip.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../bench_support.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "aLinkTable.h"
#include "aPacket.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;
constexpr int kRounds = 500;

bool isEcho(const aPacket* p, void*) { return p->length > 0 && p->data[0] == 0x17; }

// Per-round-trip times in µs; empty when a reply went missing.
std::vector<double> roundTrips(aLinkRef ref) {
  std::vector<double> times;
  for (int i = 0; i < kRounds; ++i) {
    const uint8_t data[] = {0x17, static_cast<uint8_t>(i)};
    aPacket* out = aPacket_CreateWithData(4, sizeof data, data);
    const auto t0 = bench::Clock::now();
    aLink_PutPacket(ref, out);
    aPacket_Destroy(&out);
    aPacket* in = aLink_AwaitFirst(ref, isEcho, nullptr, 3000);
    if (!in) return {};
    times.push_back(bench::usSince(t0));
    aPacket_Destroy(&in);
  }
  return times;
}

void report(const char* name, const std::vector<double>& t) {
  if (t.empty()) {
    std::printf("%-28s a reply went missing\n", name);
    return;
  }
  const bench::Percentiles p = bench::percentiles(t);
  std::printf("%-28s median %8.1f us   p99 %8.1f us   (%d round trips)\n", name, p.median, p.p99, kRounds);
}

}  // namespace

int main() {
  const std::string format =
      (std::filesystem::temp_directory_path() / ("jvsrvbench-" + std::to_string(getpid()) + "-%08X")).string();
  char path[512];
  std::snprintf(path, sizeof path, format.c_str(), kSerial);
  jvusb_set_node_path_format(format.c_str());
  auto sim = jvsim::SimModule::overPty(path);
  jvsim::SimCommands::install(*sim);  // answers the model query the server makes
  sim->start();

  aLinkRef usb = aLink_CreateUSB(kSerial);
  if (!usb) {
    std::fprintf(stderr, "no USB link to the simulated module\n");
    return 1;
  }
  roundTrips(usb);  // warm-up
  report("direct USB link", roundTrips(usb));
  aLink_Destroy(&usb);

  uint16_t port = 0;
  uint32_t iface = bench::hostAddress("127.0.0.1");
  aLinkRef client = aLink_CreateServer(kSerial, &port, &iface, true);
  if (!client) {
    std::fprintf(stderr, "no link-sharing server on the simulated module\n");
    return 1;
  }
  roundTrips(client);
  report("through the sharing server", roundTrips(client));
  aLink_Destroy(&client);
  jvusb_set_node_path_format(nullptr);
  return 0;
}
