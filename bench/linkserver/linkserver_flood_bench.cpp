// The link-sharing server under careless clients, on the simulated module's
// USB driver node: its resident size while one client sends requests
// without reading any answer, and how long another client's request waits
// behind requests to a module address nobody answers.
//
//   linkserver_flood_bench [requests]   (2000000 by default)
#include <czmq.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "../../tests/support/ResidentSize.h"
#include "../bench_support.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "aLinkTable.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;
constexpr uint8_t kNobody = 0x0A;  // a module address nobody answers
constexpr int kUnanswered = 30;

double residentMiB() { return static_cast<double>(residentBytes()) / (1024.0 * 1024.0); }

zsock_t* rawClient(uint16_t port) {
  zsock_t* s = zsock_new(ZMQ_DEALER);
  zsock_set_linger(s, 0);
  zsock_connect(s, "tcp://127.0.0.1:%u", static_cast<unsigned>(port));
  return s;
}

void send(zsock_t* s, uint8_t address, uint8_t tag) {
  const uint8_t frame[] = {address, 2, 0x17, tag};
  zframe_t* f = zframe_new(frame, sizeof frame);
  zframe_send(&f, s, 0);
}

// The resident size once it has stopped growing for a second (at most 30 s).
double settledResidentMiB() {
  double last = residentMiB();
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double now = residentMiB();
    if (now <= last + 0.5) return now;
    last = now;
  }
  return last;
}

}  // namespace

int main(int argc, char** argv) {
  const long requests = argc > 1 ? std::atol(argv[1]) : 2000000;
  const std::string format =
      (std::filesystem::temp_directory_path() / ("jvfloodbench-" + std::to_string(getpid()) + "-%08X")).string();
  char path[512];
  std::snprintf(path, sizeof path, format.c_str(), kSerial);
  jvusb_set_node_path_format(format.c_str());
  auto sim = jvsim::SimModule::overPty(path);
  jvsim::SimCommands::install(*sim);
  sim->start();
  uint16_t port = 0;
  uint32_t iface = bench::hostAddress("127.0.0.1");
  aLinkRef own = aLink_CreateServer(kSerial, &port, &iface, true);
  if (!own) {
    std::fprintf(stderr, "no link-sharing server on the simulated module\n");
    return 1;
  }

  // Another client's wait behind requests to an address nobody answers.
  zsock_t* a = rawClient(port);
  zsock_t* b = rawClient(port);
  for (int i = 0; i < kUnanswered; ++i) send(a, kNobody, static_cast<uint8_t>(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // A's first is with the module
  const auto t0 = bench::Clock::now();
  send(b, 4, 0xB1);
  zsock_set_rcvtimeo(b, 120000);
  zframe_t* answer = zframe_recv(b);
  std::printf("answer behind %d unanswered requests of another client: %.3f s%s\n", kUnanswered,
              bench::usSince(t0) / 1e6, answer ? "" : " (none)");
  zframe_destroy(&answer);
  zsock_destroy(&a);
  zsock_destroy(&b);

  // One client sends without reading, once to the address nobody answers,
  // once to the module.
  for (uint8_t address : {kNobody, uint8_t{4}}) {
    const double before = residentMiB();
    zsock_t* flood = rawClient(port);
    const double step = static_cast<double>(requests) / 4;
    std::printf("flood to %s: resident %.1f MiB", address == 4 ? "the module" : "nobody", before);
    for (long i = 1; i <= requests; ++i) {
      send(flood, address, static_cast<uint8_t>(i));
      if (i % static_cast<long>(step) == 0) std::printf(", %.1f MiB after %ld", residentMiB(), i);
    }
    std::printf(", settled %.1f MiB\n", settledResidentMiB());
    std::fflush(stdout);
    zsock_destroy(&flood);
  }
  aLink_Destroy(&own);
  jvusb_set_node_path_format(nullptr);
  return 0;
}
