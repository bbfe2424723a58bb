// A 64 KiB byte-block set (2731 chunks) through the object layer to the
// simulated module, timed from the first chunk queued to the module's one
// answer, with the CPU time the calling thread spent on it. Three links:
//   (a) TCP on loopback;
//   (b) a pseudo-terminal (the serial link);
//   (c) TCP through a relay that lets host bytes through at a fixed rate,
//       so the link writes slower than the caller makes chunks and the
//       output queue stays full for most of the transfer.
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
  double wallMs, cpuMs;
  bool ok;
};

Result transfer(Link& link, uint8_t address, const std::vector<uint8_t>& block) {
  uei request{};
  request.address = address;
  request.command = cmdSYSTEM;
  request.option = kOptBlock | ueiOPTION_SET;
  request.specifier = ueiSPECIFIER_REQUEST;
  request.type = ueiTypeBytes;
  request.count = block.size();
  request.value.bytes = const_cast<uint8_t*>(block.data());
  const double cpu0 = threadCpuMs();
  const auto t0 = bench::Clock::now();
  aErr err = link.sendUEI(request);
  uei reply{};
  reply.type = ueiTypeBytes;
  reply.count = block.size();
  if (err == aErrNone) err = link.receiveUEI(address, cmdSYSTEM, kOptBlock | ueiOPTION_ACK, 0, &reply);
  const double wall = bench::usSince(t0) / 1e3;
  const bool ok = err == aErrNone && !(reply.specifier & ueiSPECIFIER_ERROR);
  if (!ok) std::fprintf(stderr, "block_bench: transfer failed: %u, index 0x%02X\n", err, reply.specifier);
  return {wall, threadCpuMs() - cpu0, ok};
}

void measure(const char* what, linkSpec spec, uint8_t address, int runs) {
  Module module(address, false, 0);
  if (module.connectFromSpec(spec) != aErrNone) {
    std::fprintf(stderr, "block_bench: %s: no link\n", what);
    std::exit(1);
  }
  std::vector<uint8_t> block(kBlockBytes);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
  transfer(*module.getLink(), address, block);  // warm-up
  std::vector<double> wall, cpu;
  int failed = 0;
  for (int i = 0; i < runs; ++i) {
    const Result r = transfer(*module.getLink(), address, block);
    if (!r.ok) ++failed;
    wall.push_back(r.wallMs);
    cpu.push_back(r.cpuMs);
  }
  const double mWall = bench::percentiles(wall).median;
  std::printf("  %-34s %9.1f %9.1f %9.0f %9.2f %s\n", what, mWall, bench::percentiles(wall).p99,
              kBlockBytes / 1024.0 / (mWall / 1e3), bench::percentiles(cpu).median,
              failed ? (std::to_string(failed) + " failed").c_str() : "");
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

  std::printf("64 KiB byte-block set, %d transfers per link     median ms   max ms    KiB/s  caller CPU ms (median)\n",
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
