// A firmware update over TCP on loopback against the simulated module, next
// to the protocol's own floor measured in the same run: the request/reply
// round trips the update needs (counted by the module) times the median
// round trip of one DATA-sized packet over a bare socket to the same
// module. Both piece forms are timed: DATA packets (-m 0) and one UEI byte
// block per piece (-m 1). The update is the loader phase, the firmware
// phase and the reboot of the updater's own flow; finding the module and
// choosing the build are left out. "transfer" ends when the module has the
// REBOOT request; the ratio compares it with the floor (the reboot wait
// polls the link every 250 ms, which no round trip accounts for).
// Usage: update_bench [firmware KiB] [bare round trips] [runs per form]
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
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdFixture.h"
#include "Module.h"
#include "SimCommands.h"
#include "SimLoader.h"
#include "SimModule.h"
#include "UpdaterDisplayInterface.h"
#include "Updater_Discover.h"
#include "Updater_Update.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kHost = "127.0.0.1";
constexpr uint8_t kAddress = 4;
constexpr uint32_t kSerial = 0x40F5849A;

using bench::usSince;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char* text) override { std::fprintf(stderr, "update_bench: %s\n", text); }
};

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

std::string writeBird(size_t firmwareBytes) {
  birdsim::Image image;
  image.blocks.push_back(birdsim::loader(0x20000000, noise(2048, 1)));
  image.blocks.push_back(birdsim::firmware(0x8000, noise(firmwareBytes, 2)));
  image.blocks.push_back(birdsim::serialOffsets(0x8100, 0x8200));
  image.blocks.push_back(birdsim::descriptor(99528558, "2.16.0", kSerial, "Norquil"));
  const std::string path = "/tmp/update_bench_" + std::to_string(getpid()) + ".bird";
  std::string why;
  if (!birdsim::writeFile(path, birdsim::file(image), &why)) {
    std::fprintf(stderr, "update_bench: %s\n", why.c_str());
    std::exit(1);
  }
  return path;
}

// One DATA packet out (30 bytes on the wire) and the module's echo back,
// with no link engine in between.
double bareRoundTripUs(uint16_t port, int n) {
  const int fd = bench::connectNoDelay(kHost, port);
  if (fd < 0) {
    std::perror("update_bench: connect");
    std::exit(1);
  }
  uint8_t wire[30] = {kAddress, 28, jvsim::kCmdEcho};
  for (int i = 3; i < 30; ++i) wire[i] = static_cast<uint8_t>(i);
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (!bench::pingPong(fd, wire, sizeof wire, sizeof wire)) {
      std::fprintf(stderr, "update_bench: bare echo %d lost\n", i);
      std::exit(1);
    }
    us.push_back(usSince(t0));
  }
  close(fd);
  return median(us);
}

// Notes when the module receives REBOOT (the end of the transfer proper),
// passing every packet on to the layers after it.
class RebootWatch : public jvsim::CommandHandler {
 public:
  bool handle(jvsim::SimModule&, const jvsim::Packet& packet) override {
    if (packet.data.size() >= 2 && packet.data[0] == jvsim::kCmdUpgrade && packet.data[1] == jvsim::upgrade::kReboot) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!seen_) at_ = Clock::now();
      seen_ = true;
    }
    return false;
  }
  Clock::time_point at() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_;
  }

 private:
  mutable std::mutex mutex_;
  bool seen_ = false;
  Clock::time_point at_{};
};

struct Run {
  double transferMs;  // until the module has the REBOOT
  double ms;          // until the flow returns (reboot seen)
  uint64_t roundTrips;
};

Run updateOnce(const std::string& birdPath, bool uei, double* bareUs, int bareTrips) {
  auto sim = jvsim::SimModule::overTcp(kHost, 0, jvsim::SimConfig{kAddress, kSerial, 0x13, 0, 1000});
  auto watch = std::make_shared<RebootWatch>();
  sim->addHandler(watch);
  auto commands = jvsim::SimCommands::install(*sim);
  auto loader = jvsim::SimLoader::install(*sim, commands);
  sim->start();
  if (bareUs) *bareUs = bareRoundTripUs(sim->tcp()->port(), bareTrips);

  BirdFile bird(birdPath);
  bird.ReplaceSerialNumber(kSerial);
  QuietDisplay display;
  Tovanire::Jorvanite::Module module(kAddress, 0);
  _disableLinkSharing(module, display);
  linkSpec spec{};
  spec.type = LINK_TCPIP;
  spec.serialNumber = kSerial;
  inet_pton(AF_INET, kHost, &spec.address);
  spec.port = sim->tcp()->port();
  if (module.connectFromSpec(spec) != aErrNone) {
    std::fprintf(stderr, "update_bench: cannot connect\n");
    std::exit(1);
  }

  const auto t0 = Clock::now();
  aErr err = _transfer_loader(display, module, bird);
  if (err == aErrNone) err = _transfer_firmware(display, module, bird, false, uei);
  const double ms = usSince(t0) / 1000.0;
  const double transferMs = std::chrono::duration<double, std::milli>(watch->at() - t0).count();
  if (err != aErrNone) {
    std::fprintf(stderr, "update_bench: update failed (%d)\n", err);
    std::exit(1);
  }
  module.disconnect();
  sim->stop();

  // Every request that waits for its answer: the loader's exchanges, and
  // with UEI blocks the two capability questions before the firmware.
  const jvsim::LoaderStats& s = loader->stats();
  const uint64_t trips = s.inits + s.prepares + s.dataPackets + s.ueiPieces + s.sums + s.writes + s.loads + (uei ? 2 : 0);
  return {transferMs, ms, trips};
}

}  // namespace

int main(int argc, char** argv) {
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int bareTrips = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  const std::string bird = writeBird(kib * 1024);

  std::printf("firmware %zu KiB over TCP on loopback, median of %d runs per form\n", kib, runs);
  std::printf("%-12s %12s %12s %12s %12s %10s %8s\n", "pieces as", "update ms", "transfer ms", "round trips",
              "bare rtt us", "floor ms", "ratio");
  for (bool uei : {false, true}) {
    std::vector<double> times, transfers, bares;
    uint64_t trips = 0;
    for (int r = 0; r < runs; ++r) {
      double bare = 0;
      Run run = updateOnce(bird, uei, &bare, bareTrips);
      times.push_back(run.ms);
      transfers.push_back(run.transferMs);
      bares.push_back(bare);
      trips = run.roundTrips;
    }
    const double ms = median(times);
    const double transfer = median(transfers);
    const double bare = median(bares);
    const double floorMs = static_cast<double>(trips) * bare / 1000.0;
    std::printf("%-12s %12.1f %12.1f %12llu %12.1f %10.1f %8.2f\n", uei ? "UEI blocks" : "DATA", ms, transfer,
                static_cast<unsigned long long>(trips), bare, floorMs, transfer / floorMs);
  }
  std::remove(bird.c_str());
  return 0;
}
