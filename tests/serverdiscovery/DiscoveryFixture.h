#pragma once
// Pieces the shared-link discovery tests have in common: a server record
// built by hand on a made-up link entry, and a callback that keeps what the
// search reports.

#include <czmq.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aNetworkDiscovery.h"
#include "aServer.h"
#include "aServerDiscovery.h"

namespace netdisc {

inline uint32_t Little32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline void PutLittle32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 128-byte answer written field by field at its wire offsets.
inline std::vector<uint8_t> AnswerBytes(uint32_t serial, uint32_t model, uint32_t address, uint32_t port) {
  std::vector<uint8_t> bytes(128, 0);
  PutLittle32(&bytes[0], LINK_ALANIC);
  PutLittle32(&bytes[4], serial);
  PutLittle32(&bytes[20], model);
  PutLittle32(&bytes[24], address);
  PutLittle32(&bytes[28], port);
  return bytes;
}

// The server record fields discovery reads, on a link entry of its own.
struct ServerRecord {
  explicit ServerRecord(uint32_t serial, uint16_t frontPort = 0, bool localOnly = true,
                        uint32_t networkInterface = kDiscoveryLoopbackAddress)
      : server(std::make_unique<aServer>()) {
    std::memset(&item, 0, sizeof item);
    item.identifier = serial;
    server->linkEntry = &item;
    server->frontPort = frontPort;
    server->localOnly = localOnly;
    server->networkInterface = networkInterface;
  }
  ServerRecord(const ServerRecord&) = delete;
  ServerRecord& operator=(const ServerRecord&) = delete;

  linkItem item;
  std::unique_ptr<aServer> server;
};

// Keeps a copy of every reported specifier and counts each; stops after
// stopAfter reports.
struct Collected {
  std::vector<linkSpec> specs;
  size_t stopAfter = 1000;
  bool succeed = true;
};

inline bool Collect(const linkSpec* spec, bool* success, void* ref) {
  auto* c = static_cast<Collected*>(ref);
  c->specs.push_back(*spec);
  *success = c->succeed;
  return c->specs.size() < c->stopAfter;
}

inline const linkSpec* FindSerial(const Collected& c, uint32_t serial) {
  for (const linkSpec& s : c.specs) {
    if (s.serialNumber == serial) return &s;
  }
  return nullptr;
}

}  // namespace netdisc
