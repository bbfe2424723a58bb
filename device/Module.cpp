#include "Module.h"

#include <cstring>

#include "aPacket.h"
#include "aTime.h"
#include "uei.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr int kAddressTries = 4;
constexpr uint64_t kAddressRetryMS = 5;
constexpr uint8_t kMaxEcho = aPACKET_MAX_DATA - 1;

constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : m_link(new Link("Link")), m_address(address), m_networking(networking), m_model(model) {}

Module::~Module() {
  delete m_link;
}

aErr Module::_autoNetwork() {
  if (!m_networking || !m_link)
    return aErrNone;
  aErr err = aErrNotReady;
  uint8_t address = 0;
  for (int i = 0; i < kAddressTries; ++i) {
    err = m_link->getModuleAddress(&address);
    if (err == aErrNone)
      break;
    aTime_MSSleep(kAddressRetryMS);
  }
  if (err == aErrNone && address != 0 && address != m_address)
    m_address = address;
  return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0)
    return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!m_link)
    return aErrInitialization;
  const aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (!m_link)
    return aErrInitialization;
  if (m_link->isConnected())
    return aErrBusy;
  aErr err = m_link->setLinkSpecifier(spec);
  if (err != aErrNone)
    return err;
  err = m_link->connect();
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::reconnect() {
  if (!m_link)
    return aErrInitialization;
  const aErr err = m_link->connect();
  return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (!m_link)
    return aErrInitialization;
  if (m_link->isConnected())
    return aErrNone;
  if (!router || !router->m_link)
    return aErrInitialization;
  linkSpec spec;
  aErr err = router->m_link->getLinkSpecifier(&spec);
  if (err != aErrNone)
    return err;
  aLanicConfig config;
  router->m_link->getConfig(&config);
  err = m_link->setConfig(config);
  if (err != aErrNone)
    return err;
  if (config.enabled) {
    // The router's link runs a sharing server: reach it as its client.
    spec.type = LINK_ALANIC;
    spec.address = config.networkInterface;
    spec.port = config.port;
  }
  err = m_link->setLinkSpecifier(spec);
  if (err != aErrNone)
    return err;
  err = m_link->connectThroughLinkModule(*router->m_link);
  if (err == aErrNone)
    m_networking = false;
  return err;
}

bool Module::isConnected() const {
  return m_link && m_link->isConnected();
}

uint32_t Module::getStatus() const {
  return m_link ? m_link->getStatus() : linkStatePacketError;
}

aErr Module::disconnect() {
  return m_link ? m_link->disconnect() : aErrInitialization;
}

uint8_t Module::getModuleAddress() const {
  return m_address;
}

aErr Module::setModuleAddress(uint8_t address) {
  m_address = address;
  return aErrNone;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  return m_link ? m_link->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(aLanicConfig* config) const {
  if (!config)
    return aErrParam;
  return m_link ? m_link->getConfig(config) : aErrNotReady;
}

aErr Module::setConfig(aLanicConfig config) {
  return m_link ? m_link->setConfig(config) : aErrNotReady;
}

Link* Module::getLink() const {
  return m_link;
}

void Module::setNetworkingMode(bool networking) {
  m_networking = networking;
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (!isConnected())
    return aErrConnection;
  if (length > kMaxEcho || (length && !data))
    return aErrParam;
  const uint8_t prefix = cmdDEBUG;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 1;
  const aErr err = m_link->exchangeCommand(m_address, cmdDEBUG, length, data, &prefix, &replyLength, reply, true);
  if (err != aErrNone)
    return err;
  const bool same = replyLength == length + 1 && (length == 0 || std::memcmp(&reply[1], data, length) == 0);
  return same ? aErrNone : aErrIO;
}

aErr Module::_query(const uint8_t* request, uint8_t requestLength, uint8_t prefixLength, uint8_t* reply,
                    uint8_t* replyLength) {
  if (!isConnected())
    return aErrConnection;
  uint8_t prefix[2] = {cmdMODULE_INFO, request[0]};
  *replyLength = prefixLength;
  return m_link->exchangeCommand(m_address, cmdMODULE_INFO, requestLength, request, prefix, replyLength, reply, true);
}

aErr Module::getBuild(uint32_t* build) {
  if (!build)
    return aErrParam;
  if (!m_link)
    return aErrInitialization;
  const uint8_t request[] = {kInfoBuild};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  aErr err = _query(request, sizeof request, 2, reply, &length);
  if (err != aErrNone)
    return err;
  if (length != 6)
    return aErrSize;
  *build = aUEI_RetrieveInt(&reply[2]);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if ((flags & 0x3F) != 0 || flags == (ueiOPTION_GET | ueiOPTION_SET))
    return aErrParam;
  const uint8_t request[] = {kInfoHasUEI, command, option, index, flags};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  aErr err = _query(request, sizeof request, 1, reply, &length);
  if (err != aErrNone)
    return err;
  if (length != 6 || std::memcmp(&reply[1], request, 4) != 0)
    return aErrUnknown;
  return static_cast<aErr>(reply[5]);
}

aErr Module::_infoByte(const uint8_t* request, uint8_t requestLength, uint8_t* value) {
  if (!value)
    return aErrParam;
  *value = 0;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr err = _query(request, requestLength, 1, reply, &length);
  if (err != aErrNone)
    return err;
  // The answer echoes the request and adds one byte.
  if (length != requestLength + 2 || std::memcmp(&reply[1], request, requestLength) != 0)
    return aErrUnknown;
  *value = reply[length - 1];
  return aErrNone;
}

aErr Module::classQuantity(uint8_t command, uint8_t* quantity) {
  const uint8_t request[] = {kInfoClassQuantity, command};
  return _infoByte(request, sizeof request, quantity);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* quantity) {
  const uint8_t request[] = {kInfoSubClassQuantity, command, index};
  return _infoByte(request, sizeof request, quantity);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
  const uint8_t request[] = {kInfoEntityGroup, command, index};
  return _infoByte(request, sizeof request, group);
}

}  // namespace Tovanire::Jorvanite
