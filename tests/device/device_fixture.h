// A simulated module with its command layer, reached over TCP on loopback or
// over a pseudo-terminal, and the specifier that reaches it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "SimCommands.h"
#include "SimModule.h"
#include "SimRouter.h"
#include "aLinkSpecifier.h"

namespace devicetest {

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::Dir;

enum class Via { Tcp, Pty };

inline const char* viaName(Via via) { return via == Via::Tcp ? "Tcp" : "Pty"; }

inline uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// Runs ahead of the command layer: sees each host packet first and may
// answer it itself (return true) or let it through.
class Interposer : public jvsim::CommandHandler {
 public:
  using Hook = std::function<bool(jvsim::SimModule&, const jvsim::Packet&)>;
  void set(Hook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }
  bool handle(jvsim::SimModule& module, const jvsim::Packet& packet) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return hook_ && hook_(module, packet);
  }

 private:
  std::mutex mutex_;
  Hook hook_;
};

struct Rig {
  std::unique_ptr<jvsim::SimModule> sim;
  std::shared_ptr<Interposer> hook = std::make_shared<Interposer>();
  std::shared_ptr<jvsim::SimCommands> cmds;
  std::shared_ptr<jvsim::SimRouter> router;
  linkSpec spec{};
  Via via = Via::Tcp;

  uint8_t address() const { return sim->config().address; }
  static Bytes wire(uint8_t addr, const Bytes& data) { return jvsim::Packet{addr, data}.wire(); }
  // Host packets seen with exactly these data bytes.
  size_t requests(uint8_t addr, const Bytes& data) const { return sim->transcript().count(Dir::In, wire(addr, data)); }
  // Module packets sent with exactly these data bytes; the module records a
  // write just after making it, so at least one is waited for briefly.
  size_t replies(uint8_t addr, const Bytes& data) const {
    sim->transcript().waitFor(Dir::Out, wire(addr, data), 1, 1s);
    return sim->transcript().count(Dir::Out, wire(addr, data));
  }
  bool waitReply(uint8_t addr, const Bytes& data, std::chrono::milliseconds within = 3s) const {
    return sim->transcript().waitFor(Dir::Out, wire(addr, data), 1, within);
  }
  void send(const Bytes& data) { sim->send(jvsim::Packet{address(), data}); }
  // Over TCP the module accepts the host on its own thread, after the host's
  // connect returned; what it sends before then goes nowhere. Wait for this
  // before the module speaks first.
  bool hostAccepted(std::chrono::milliseconds within = 10s) const {
    return via != Via::Tcp || sim->transcript().waitForEvent("connect", 1, within);
  }
};

// A started module; `withRouter` makes it a router (sub-modules added by the test).
inline std::unique_ptr<Rig> makeRig(Via via, jvsim::SimConfig config = {}, bool withRouter = false,
                                    const char* host = "127.0.0.3") {
  auto rig = std::make_unique<Rig>();
  rig->via = via;
  rig->sim = via == Via::Tcp ? jvsim::SimModule::overTcp(host, 0, config) : jvsim::SimModule::overPty({}, config);
  rig->sim->addHandler(rig->hook);
  rig->cmds = jvsim::SimCommands::install(*rig->sim);
  if (withRouter) rig->router = jvsim::SimRouter::install(*rig->sim, rig->cmds);
  rig->sim->start();
  if (via == Via::Tcp) {
    rig->spec.type = LINK_TCPIP;
    rig->spec.address = ipv4(host);
    rig->spec.port = rig->sim->tcp()->port();
  } else {
    rig->spec.type = LINK_SERIAL;
    rig->spec.address = 115200;
    const std::string path = rig->sim->pty()->path();
    std::strncpy(rig->spec.portName, path.c_str(), sizeof rig->spec.portName - 1);
  }
  rig->spec.serialNumber = config.serial;
  rig->spec.module = config.address;
  rig->spec.model = config.model;
  return rig;
}

}  // namespace devicetest
