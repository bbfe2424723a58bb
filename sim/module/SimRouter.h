// A simulated router module: its own command layer, plus sub-modules on its
// I2C network, each with a command layer of its own and reached over the
// router's link. With routeToMe set on the router (system option 20), a
// packet addressed to a sub-module goes to it and its answers come back
// with the sub-module's address; with routeToMe off such packets go
// unanswered. The router's I2C entity acknowledges at each sub-module's bus
// address and answers probes of every other address at once with status
// bit 7 set (0x86, no acknowledge).
//
// In-process use:
//
//   auto sim = jvsim::SimModule::overTcp("127.0.0.1");
//   auto own = jvsim::SimCommands::install(*sim);
//   auto router = jvsim::SimRouter::install(*sim, own);
//   auto a = router->addSubModule(0x0A, 0x00A0000A);   // bus address, serial
//   auto b = router->addSubModule(0x0C, 0x00A0000C, 0x11);
//   a->faults().silence = -1;                            // one sub-module goes quiet
//   sim->start();
//
// Sub-modules may be added before start() or while the module runs. Further
// handlers for a sub-module (a loader) go in with addSubHandler; they are
// given the router's SimModule to send with and must address their replies
// to the request packet's address.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "SimCommands.h"

namespace jvsim {

class SimRouter : public CommandHandler {
 public:
  explicit SimRouter(std::shared_ptr<SimCommands> own);

  static std::shared_ptr<SimRouter> install(SimModule& module, std::shared_ptr<SimCommands> own);

  // A sub-module at an even bus address other than the router's own; its
  // system entity reports that address as its module address and the
  // router's address as its router. Throws std::invalid_argument otherwise.
  std::shared_ptr<SimCommands> addSubModule(uint8_t busAddress, CommandConfig config);
  std::shared_ptr<SimCommands> addSubModule(uint8_t busAddress, uint32_t serial, uint8_t model = 0x13);
  void addSubHandler(uint8_t busAddress, std::shared_ptr<CommandHandler> handler);
  void removeSubModule(uint8_t busAddress);
  std::shared_ptr<SimCommands> subModule(uint8_t busAddress) const;

  bool routing() const;
  uint32_t routedPackets() const { return routed_; }
  uint32_t unroutedPackets() const { return unrouted_; }

  bool handle(SimModule& module, const Packet& packet) override;

 private:
  std::shared_ptr<SimCommands> own_;
  mutable std::mutex mutex_;
  std::map<uint8_t, std::vector<std::shared_ptr<CommandHandler>>> subs_;  // first: the SimCommands
  std::atomic<uint32_t> routed_{0};
  std::atomic<uint32_t> unrouted_{0};
};

}  // namespace jvsim
