// Link: configuration, specifier, connecting, waiting for the link to run,
// closing and resetting, and the module address query.
#include "Link.h"

#include <cstring>
#include <mutex>

#include "LinkImpl.h"
#include "aDiscovery.h"
#include "aLinkTable.h"
#include "aOpenFailure.h"
#include "aTime.h"

namespace Tovanire::Jorvanite {

namespace {

// Held by every Link for the whole call that creates its link-engine
// connection, so that two Links opening the same module never race in the
// link table's create-or-share step.
std::mutex linkCreateHelperSerializer;

constexpr uint16_t kConnectPolls = 200;
constexpr uint64_t kPollSleepMS = 10;
constexpr uint64_t kAddressReplyMS = 1000;
constexpr uint32_t kNoLinkStatus = 8;

bool MatchMagic(const aPacket* packet, void*) {
  return packet->length == 0;
}

// Enumeration callback: the first module of the template's model (any
// model when it is 0) is copied over the template.
bool cbModelCallback(const linkSpec* candidate, bool* success, void* ref) {
  linkSpec* wanted = static_cast<linkSpec*>(ref);
  if (wanted->model != 0 && candidate->model != wanted->model)
    return true;
  std::memcpy(wanted, candidate, sizeof(linkSpec));
  *success = true;
  return false;
}

bool _fallbackHelper(aErr result, linkType type, bool fallback) {
  const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
  return retryable && (type == LINK_USB || type == LINK_ALANIC) && fallback;
}

// Opens the link the specifier names; *made receives the creator's id (0
// when it made none). With a nonzero `shareWith` a client link shares that id.
aErr sCreateLink(const linkSpec& spec, aLanicConfig* config, aLinkRef shareWith, aLinkRef* made) {
  switch (spec.type) {
    case LINK_USB:
      *made = config->enabled
                  ? aLink_CreateServer(spec.serialNumber, &config->port, &config->networkInterface, config->localOnly)
                  : aLink_CreateUSB(spec.serialNumber);
      return aErrNone;
    case LINK_TCPIP:
      *made = aLink_CreateTCPIP(spec.address, static_cast<uint16_t>(spec.port & 0xFFFF));
      return aErrNone;
    case LINK_SERIAL: {
      // The device name lies in a fixed field that a peer may have filled to
      // the brim: never read past it.
      char path[sizeof spec.portName + 1];
      const size_t n = strnlen(spec.portName, sizeof spec.portName);
      std::memcpy(path, spec.portName, n);
      path[n] = '\0';
      *made = aLink_CreateSerial(spec.serialNumber, path, spec.address);
      return aErrNone;
    }
    case LINK_ALANIC:
      if (!config->enabled)
        return aErrConfiguration;
      *made = aLink_CreateClient(spec.address, static_cast<uint16_t>(spec.port & 0xFFFF), shareWith);
      return aErrNone;
    default:
      return aErrMode;
  }
}

}  // namespace

aLanicConfig::aLanicConfig() : enabled(true), fallback(true), localOnly(true), port(0), networkInterface(0) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&networkInterface, loopback, sizeof loopback);
}

Link::impl::impl(Link* link, const char* linkName) : owner(link) {
  if (linkName) {
    const size_t n = strnlen(linkName, kMaxNameLength);
    name = new char[n + 1];
    std::memcpy(name, linkName, n);
    name[n] = '\0';
  }
}

Link::impl::~impl() {
  stopPacketLogger();
  if (linkRef)
    aLink_Destroy(&linkRef);
  if (logger)
    aLogger_Destroy(&logger);
  if (spec)
    aLinkSpec_Destroy(&spec);
  delete[] name;
}

Link::Link(const char* name) : m_pImpl(new impl(this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_pImpl(new impl(this, name)) {
  m_pImpl->spec = aLinkSpec_Copy(spec);
}

Link::~Link() {
  m_pImpl->installStreamFilter(false);
  delete m_pImpl;
}

aErr Link::getConfig(aLanicConfig* config) const {
  if (!config)
    return aErrParam;
  *config = m_pImpl->config;
  return aErrNone;
}

aErr Link::setConfig(aLanicConfig config) {
  if (isConnected())
    return aErrMode;
  m_pImpl->config = config;
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!spec)
    return aErrParam;
  if (!m_pImpl->spec)
    return aErrNotFound;
  std::memcpy(spec, m_pImpl->spec, sizeof(linkSpec));
  return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
  if (isConnected())
    return aErrBusy;
  linkSpec* copy = aLinkSpec_Copy(spec);
  if (!copy)
    return aErrMemory;
  if (m_pImpl->spec)
    aLinkSpec_Destroy(&m_pImpl->spec);
  m_pImpl->spec = copy;
  return aErrNone;
}

const char* Link::getName() const {
  return m_pImpl->name;
}

aErr Link::connectionSteps(aLinkRef shareWith) {
  if (!m_pImpl->spec)
    return aErrConfiguration;
  // The module is known from here on: what finding it met explains nothing
  // about this open.
  aOpenFailure_Clear();
  aLinkRef made = 0;
  aErr err;
  {
    std::lock_guard<std::mutex> hold(linkCreateHelperSerializer);
    err = sCreateLink(*m_pImpl->spec, &m_pImpl->config, shareWith, &made);
  }
  if (err != aErrNone)
    return err;
  if (!made)
    return aErrConnection;
  if (shareWith && made != shareWith) {
    // Sharing a router's link means its very id; a link of our own would
    // carry our requests past the router's routing.
    aLink_Destroy(&made);
    return aErrConnection;
  }
  m_pImpl->linkRef = made;
  return waitForLink(kConnectPolls);
}

aErr Link::connect() {
  if (m_pImpl->linkRef)
    return aErrConnection;
  return connectionSteps(0);
}

aErr Link::connectThroughLinkModule(Link& router) {
  if (!router.m_pImpl || !router.m_pImpl->linkRef)
    return aErrInitialization;
  if (m_pImpl->linkRef)
    return aErrConnection;
  return connectionSteps(router.m_pImpl->linkRef);
}

aErr Link::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
  const uint32_t networkInterface = m_pImpl->config.networkInterface;
  linkSpec* found = nullptr;
  if (serialNumber) {
    found = aDiscovery_FindModule(type, serialNumber, networkInterface);
  } else {
    linkSpec* wanted = aLinkSpec_Create(type);
    if (!wanted)
      return aErrMemory;
    wanted->serialNumber = 0;
    wanted->module = 0;
    wanted->router = 0;
    wanted->model = model;
    if (aDiscovery_EnumerateModules(type, cbModelCallback, wanted, networkInterface) != 0) {
      found = wanted;
    } else {
      aLinkSpec_Destroy(&wanted);
    }
  }
  if (!found)
    return aErrNotFound;
  setLinkSpecifier(*found);
  aLinkSpec_Destroy(&found);
  return connect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  const bool heldBefore = m_pImpl->linkRef != 0;
  aErr err = discoveryAndConnectHelper(type, serialNumber, model);
  if (_fallbackHelper(err, type, m_pImpl->config.fallback)) {
    // A link this attempt made that never came up would otherwise block the
    // second attempt's connect and stay held.
    if (!heldBefore && m_pImpl->linkRef)
      aLink_Destroy(&m_pImpl->linkRef);
    err = discoveryAndConnectHelper(type == LINK_ALANIC ? LINK_USB : LINK_ALANIC, serialNumber, model);
  }
  return err;
}

aErr Link::waitForLink(uint16_t polls) {
  uint32_t status = aLink_GetStatus(m_pImpl->linkRef);
  switch (status) {
    case linkStateRunning:
      return aErrNone;
    case linkStateStopped:
    case linkStateStarting:
    case linkStateSyncing:
      for (uint16_t i = 0; status != linkStateRunning && i < polls; ++i) {
        aTime_MSSleep(kPollSleepMS);
        status = aLink_GetStatus(m_pImpl->linkRef);
      }
      if (status == linkStateRunning)
        return aErrNone;
      aOpenFailure_Note(aOpenStepStartLink, aOpenCauseNoAnswer, 0, static_cast<uint32_t>(polls * kPollSleepMS));
      return aErrConnection;
    case linkStateStopping:
      return aErrBusy;
    case linkStateNoStream:
    case linkStateStreamError:
    case linkStatePacketError:
      aOpenFailure_Note(aOpenStepStartLink, aOpenCauseNone);
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

bool Link::isConnected() const {
  return m_pImpl->linkRef != 0 && aLink_GetStatus(m_pImpl->linkRef) == linkStateRunning;
}

uint32_t Link::getStatus() const {
  return m_pImpl->linkRef ? aLink_GetStatus(m_pImpl->linkRef) : kNoLinkStatus;
}

aLinkRef Link::getLinkRef() const {
  return m_pImpl->linkRef;
}

aErr Link::disconnect() {
  m_pImpl->stopPacketLogger();
  if (m_pImpl->linkRef)
    m_pImpl->installStreamFilter(false);  // a shared link outlives us: take our filter off
  if (m_pImpl->linkRef)
    aLink_Destroy(&m_pImpl->linkRef);
  return aErrNone;
}

aErr Link::reset() {
  if (!m_pImpl->linkRef)
    return aErrConnection;
  return m_pImpl->restoreStreamFilter(aLink_Reset(m_pImpl->linkRef));  // a restarted link has no filter
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (!address)
    return aErrParam;
  *address = 0;
  if (!isConnected())
    return aErrNotReady;
  const aErr err = aLink_QueryModuleAddress(m_pImpl->linkRef, kAddressReplyMS, false, address);
  // Unanswered, or the link stopped running meanwhile: the module is not ready.
  return err == aErrTimeout || err == aErrConnection ? aErrNotReady : err;
}

aErr Link::enablePooledPackets(bool pooled) {
  if (!m_pImpl->linkRef)
    return aErrConnection;
  return aLink_EnablePooledPackets(m_pImpl->linkRef, pooled);
}

aErr Link::getConnectionEpoch(uint64_t* epoch) const {
  if (!epoch)
    return aErrParam;
  if (!m_pImpl->linkRef)
    return aErrConnection;
  return aLink_GetConnectionEpoch(m_pImpl->linkRef, epoch);
}

aErr Link::probe() {
  if (!m_pImpl->linkRef)
    return aErrConnection;
  return aLink_Probe(m_pImpl->linkRef);
}

aErr Link::takeProbeAnswer(uint64_t ms) {
  if (!m_pImpl->linkRef)
    return aErrConnection;
  aPacket* answer = ms > 0 ? aLink_AwaitFirst(m_pImpl->linkRef, MatchMagic, nullptr, ms)
                           : aLink_GetFirst(m_pImpl->linkRef, MatchMagic, nullptr);
  if (!answer)
    return aErrTimeout;
  aPacket_Destroy(&answer);
  return aErrNone;
}

aErr Link::answersAnew(uint64_t ms) {
  if (!m_pImpl->linkRef)
    return aErrConnection;
  return aLink_AnswersAnew(m_pImpl->linkRef, ms);
}

}  // namespace Tovanire::Jorvanite
