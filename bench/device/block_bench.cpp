// A 64 KiB byte-block set (2731 chunks) through the object layer to the
// simulated module, timed from the first chunk queued to the module's one
// answer, with the CPU time the calling thread spent on it. Three links:
//   (a) TCP on loopback;
//   (b) a pseudo-terminal (the serial link);
//   (c) TCP through a relay that lets host bytes through at a fixed rate.
//       The host's socket buffer grows to hold most of the block, so here
//       the time is the relay's and the feeder seldom waits.
// Each link is measured twice: with the object layer's feeder, which sleeps
// at a full output queue until the send thread makes room, and with the
// feeder it replaced, rebuilt here, which read the queue's length every 1 ms
// until it was below 500.
// Usage: block_bench [transfers per link] [relay bytes per second]
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../bench_support.h"
#include "Module.h"
#include "aLink.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aTime.h"
#include "SimCommands.h"
#include "SimModule.h"
#include "uei.h"

namespace {

using namespace Tovanire::Jorvanite;
constexpr const char* kHost = "127.0.0.6";
constexpr uint8_t kOptBlock = 50;  // a byte-block option the simulated module gets for this
constexpr size_t kBlockBytes = 64 * 1024;

double threadCpuMs() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Times the calling thread went to sleep of its own accord.
double threadSleeps() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_nvcsw);
}

// Forwards one host connection to the module: module bytes at once, host
// bytes no faster than `rate` bytes a second.
class Relay {
 public:
  Relay(uint16_t modulePort, double rate) : modulePort_(modulePort), rate_(rate) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = bench::hostAddress(kHost);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 1) != 0) {
      std::perror("relay");
      std::exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    accepter_ = std::thread([this] { run(); });
  }
  ~Relay() {
    shutdown(listenFd_, SHUT_RDWR);
    if (hostFd_ >= 0) shutdown(hostFd_, SHUT_RDWR);
    if (moduleFd_ >= 0) shutdown(moduleFd_, SHUT_RDWR);
    accepter_.join();
    for (auto& t : pumps_) t.join();
    close(listenFd_);
    if (hostFd_ >= 0) close(hostFd_);
    if (moduleFd_ >= 0) close(moduleFd_);
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    hostFd_ = accept(listenFd_, nullptr, nullptr);
    if (hostFd_ < 0) return;
    moduleFd_ = bench::connectNoDelay(kHost, modulePort_);
    int one = 1;
    setsockopt(hostFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pumps_.emplace_back([this] { pump(hostFd_, moduleFd_, rate_); });
    pumps_.emplace_back([this] { pump(moduleFd_, hostFd_, 0); });
  }
  static void pump(int from, int to, double rate) {
    uint8_t buf[512];
    const auto t0 = bench::Clock::now();
    double passed = 0;
    while (true) {
      const ssize_t n = recv(from, buf, rate > 0 ? 64 : sizeof buf, 0);
      if (n <= 0) break;
      if (send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
      passed += static_cast<double>(n);
      if (rate > 0) std::this_thread::sleep_until(t0 + std::chrono::duration<double>(passed / rate));
    }
    shutdown(to, SHUT_WR);
  }

  uint16_t modulePort_;
  double rate_;
  int listenFd_ = -1;
  int hostFd_ = -1;
  int moduleFd_ = -1;
  uint16_t port_ = 0;
  std::thread accepter_;
  std::vector<std::thread> pumps_;
};

std::shared_ptr<jvsim::SimCommands> install(jvsim::SimModule& sim) {
  auto cmds = jvsim::SimCommands::install(sim);
  jvsim::OptionSpec spec;
  spec.option = kOptBlock;
  spec.type = jvsim::ValueType::Bytes;
  spec.get = false;
  spec.set = true;
  spec.maxBytes = kBlockBytes;
  cmds->addOption(jvsim::kCmdSystem, 0, spec);
  return cmds;
}

struct Result {
  double wallMs, cpuMs, sleeps;
  bool ok;
};

// The previous feeder: the same chunks, the queue's length polled every 1 ms.
aErr pollingSend(aLinkRef ref, const uei& request) {
  aLink* link = aLink_GetLinkObject(ref);
  uint8_t data[aPACKET_MAX_DATA] = {request.command, request.option, request.specifier};
  uint64_t sent = 0;
  uint32_t number = 0;
  for (bool more = true; more;) {
    const uint64_t left = request.count - sent;
    const uint8_t chunk = static_cast<uint8_t>(left < ueiBYTES_CHUNK ? left : ueiBYTES_CHUNK);
    more = sent + chunk < request.count;
    std::memcpy(&data[3], request.value.bytes + sent, chunk);
    data[3 + chunk] = static_cast<uint8_t>((more ? ueiBYTES_CONTINUE : 0) | (number++ & ueiBYTES_SEQUENCE_MASK));
    sent += chunk;
    const auto deadline = bench::Clock::now() + std::chrono::milliseconds(4000);
    while (aPacketFifo_GetLength(link->outputFifo) >= 500) {
      if (aLink_GetStatus(ref) != linkStateRunning) return aErrConnection;
      if (bench::Clock::now() > deadline) return aErrTimeout;
      aTime_MSSleep(1);
    }
    aPacket* p = aPacket_CreateWithData(request.address, static_cast<uint8_t>(chunk + 4), data);
    const aErr err = aLink_PutPacket(ref, p);
    aPacket_Destroy(&p);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

Result transfer(Link& link, uint8_t address, const std::vector<uint8_t>& block, bool polling) {
  uei request{};
  request.address = address;
  request.command = cmdSYSTEM;
  request.option = kOptBlock | ueiOPTION_SET;
  request.specifier = ueiSPECIFIER_REQUEST;
  request.type = ueiTypeBytes;
  request.count = block.size();
  request.value.bytes = const_cast<uint8_t*>(block.data());
  const double cpu0 = threadCpuMs();
  const double sleeps0 = threadSleeps();
  const auto t0 = bench::Clock::now();
  aErr err = polling ? pollingSend(link.getLinkRef(), request) : link.sendUEI(request);
  uei reply{};
  reply.type = ueiTypeBytes;
  reply.count = block.size();
  if (err == aErrNone) err = link.receiveUEI(address, cmdSYSTEM, kOptBlock | ueiOPTION_ACK, 0, &reply);
  const double wall = bench::usSince(t0) / 1e3;
  const bool ok = err == aErrNone && !(reply.specifier & ueiSPECIFIER_ERROR);
  if (!ok) std::fprintf(stderr, "block_bench: transfer failed: %u, index 0x%02X\n", err, reply.specifier);
  return {wall, threadCpuMs() - cpu0, threadSleeps() - sleeps0, ok};
}

void measure(const char* what, linkSpec spec, uint8_t address, int runs) {
  Module module(address, false, 0);
  if (module.connectFromSpec(spec) != aErrNone) {
    std::fprintf(stderr, "block_bench: %s: no link\n", what);
    std::exit(1);
  }
  std::vector<uint8_t> block(kBlockBytes);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
  std::printf("  %s\n", what);
  for (bool polling : {true, false}) {
    transfer(*module.getLink(), address, block, polling);  // warm-up
    std::vector<double> wall, cpu, sleeps;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
      const Result r = transfer(*module.getLink(), address, block, polling);
      if (!r.ok) ++failed;
      wall.push_back(r.wallMs);
      cpu.push_back(r.cpuMs);
      sleeps.push_back(r.sleeps);
    }
    const double mWall = bench::percentiles(wall).median;
    std::printf("    %-30s %9.1f %9.1f %7.0f %9.2f %7.0f %s\n", polling ? "polled every 1 ms (previous)" : "woken by the send thread",
                mWall, bench::percentiles(wall).p99, kBlockBytes / 1024.0 / (mWall / 1e3),
                bench::percentiles(cpu).median, bench::percentiles(sleeps).median,
                failed ? (std::to_string(failed) + " failed").c_str() : "");
  }
}

linkSpec tcpSpec(uint16_t port) {
  linkSpec spec{};
  spec.type = LINK_TCPIP;
  spec.address = bench::hostAddress(kHost);
  spec.port = port;
  return spec;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
  const double rate = argc > 2 ? std::atof(argv[2]) : 200000;

  std::printf("64 KiB byte-block set, %d transfers per link\n"
              "                                   median ms  p99 ms   KiB/s  caller: CPU ms  sleeps (medians)\n",
              runs);
  {
    auto sim = jvsim::SimModule::overTcp(kHost, 0);
    install(*sim);
    sim->start();
    measure("TCP on loopback", tcpSpec(sim->tcp()->port()), sim->config().address, runs);
  }
  {
    auto sim = jvsim::SimModule::overPty();
    install(*sim);
    sim->start();
    linkSpec spec{};
    spec.type = LINK_SERIAL;
    spec.address = 230400;
    const std::string path = sim->pty()->path();
    std::strncpy(spec.portName, path.c_str(), sizeof spec.portName - 1);
    measure("pseudo-terminal (serial link)", spec, sim->config().address, runs);
  }
  {
    auto sim = jvsim::SimModule::overTcp(kHost, 0);
    install(*sim);
    sim->start();
    Relay relay(sim->tcp()->port(), rate);
    char what[64];
    std::snprintf(what, sizeof what, "TCP relay at %.0f B/s", rate);
    measure(what, tcpSpec(relay.port()), sim->config().address, runs);
  }
  return 0;
}
