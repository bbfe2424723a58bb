#pragma once
// One addressable module: owns its Link, keeps the module address every
// request carries, and connects in one of four ways: by transport and
// serial number (discovery), from a link specifier, again with the stored
// specifier, or through a router module whose link it shares. After a
// direct connection it can learn its address from the module (automatic
// addressing). It also runs the echo test (command 0x17) and the
// module-information queries (command 0x49).
//
// Every operation returns an aErr unless stated. Queries on a Module that is
// not connected give aErrConnection; no reply within 1000 ms aErrTimeout.
// Their replies are taken only from this module's address, so modules that
// share a router's link never take each other's; before each query, late
// answers of this module to an earlier one are dropped so they never answer it.
//
// Threads: a Module is used from one thread at a time; Modules sharing one
// link may be used from different threads.

#include <cstdint>

#include "Link.h"
#include "aError.h"
#include "aLinkSpecifier.h"

namespace Tovanire::Jorvanite {

class Module {
 public:
  // Automatic addressing on.
  explicit Module(uint8_t address, uint8_t model = 0);
  Module(uint8_t address, bool networking, uint8_t model);
  virtual ~Module();
  // A Module owns its Link: copies would close it twice.
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // aErrParam for serial number 0; else discoverAndConnect.
  aErr connect(linkType type, uint32_t serialNumber);
  // Serial number 0 takes the first module of this module's model (any
  // module when the model is 0). With automatic addressing on, a
  // successful connection then asks the module for its address (up to 4
  // tries); aErrNotReady when it never answers, the link staying open.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(linkSpec spec);  // aErrBusy when already connected
  aErr reconnect();
  // Shares a connected router's link (the same link id) and keeps this
  // module's own address for good. aErrNone, changing nothing, when this
  // module is already connected.
  aErr connectThroughLinkModule(Module* router);

  bool isConnected() const;
  uint32_t getStatus() const;
  aErr disconnect();  // closes the link; address, model, specifier and configuration stay

  uint8_t getModuleAddress() const;
  aErr setModuleAddress(uint8_t address);
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr getConfig(aLanicConfig* config) const;
  aErr setConfig(aLanicConfig config);  // aErrMode while connected
  Link* getLink() const;
  void setNetworkingMode(bool networking);

  // Echo test: 0x17 and up to 27 bytes; aErrIO when the echo differs.
  aErr debug(const uint8_t* data, uint8_t length);
  // Module information. getBuild: aErrSize for a reply of the wrong length;
  // the others: aErrUnknown for a reply of the wrong length or echo.
  aErr getBuild(uint32_t* build);
  // The module's answer whether it has the option in that form (flags 0,
  // 0x40 get or 0x80 set); aErrNone means it has. aErrParam for other flags.
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t command, uint8_t* quantity);
  aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* quantity);
  aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

  // The packet log of the module's Link (Link::enablePacketLog);
  // aErrConfiguration when the module has no Link.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

 private:
  aErr _autoNetwork();
  aErr _query(const uint8_t* request, uint8_t requestLength, uint8_t prefixLength, uint8_t* reply,
              uint8_t* replyLength);
  aErr _infoByte(const uint8_t* request, uint8_t requestLength, uint8_t* value);

  Link* m_link;
  uint8_t m_address;
  bool m_networking;
  uint8_t m_model;
};

}  // namespace Tovanire::Jorvanite
