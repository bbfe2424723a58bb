#include "SimRouter.h"

#include <cstdio>
#include <stdexcept>

namespace jvsim {

SimRouter::SimRouter(std::shared_ptr<SimCommands> own) : own_(std::move(own)) {
  if (!own_) throw std::invalid_argument("a router needs its own command layer");
}

std::shared_ptr<SimRouter> SimRouter::install(SimModule& module, std::shared_ptr<SimCommands> own) {
  auto router = std::make_shared<SimRouter>(std::move(own));
  module.addHandler(router);
  return router;
}

std::shared_ptr<SimCommands> SimRouter::addSubModule(uint8_t busAddress, CommandConfig config) {
  if (busAddress == 0 || (busAddress & 1) || busAddress == own_->address()) {
    throw std::invalid_argument("a sub-module needs an even bus address other than the router's");
  }
  config.address = busAddress;
  if (config.router == 0) config.router = own_->address();
  auto layer = std::make_shared<SimCommands>(std::move(config));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subs_[busAddress] = {layer};
  }
  own_->addI2CDevice(busAddress);
  return layer;
}

std::shared_ptr<SimCommands> SimRouter::addSubModule(uint8_t busAddress, uint32_t serial, uint8_t model) {
  CommandConfig c;
  c.serial = serial;
  c.model = model;
  char name[24];
  std::snprintf(name, sizeof name, "SimModule %02X", busAddress);
  c.name = name;
  return addSubModule(busAddress, c);
}

void SimRouter::addSubHandler(uint8_t busAddress, std::shared_ptr<CommandHandler> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = subs_.find(busAddress);
  if (it == subs_.end()) throw std::invalid_argument("no sub-module at that bus address");
  it->second.push_back(std::move(handler));
}

void SimRouter::removeSubModule(uint8_t busAddress) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    subs_.erase(busAddress);
  }
  own_->removeI2CDevice(busAddress);
}

std::shared_ptr<SimCommands> SimRouter::subModule(uint8_t busAddress) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = subs_.find(busAddress);
  return it == subs_.end() ? nullptr : std::static_pointer_cast<SimCommands>(it->second.front());
}

bool SimRouter::routing() const { return own_->get(kOptRouteToMe) != 0; }

bool SimRouter::handle(SimModule& module, const Packet& packet) {
  std::vector<std::shared_ptr<CommandHandler>> handlers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = subs_.find(packet.address);
    if (it == subs_.end()) return false;
    handlers = it->second;
  }
  if (!routing()) {
    unrouted_++;
    char text[48];
    std::snprintf(text, sizeof text, "not routed to %02X (routeToMe off)", packet.address);
    module.transcript().add(Dir::Event, {}, text);
    return true;
  }
  routed_++;
  for (auto& h : handlers) {
    if (h->handle(module, packet)) break;
  }
  return true;
}

}  // namespace jvsim
