// Link and Module: the packet log written to a text file by a logger thread.
#include <cstdio>
#include <map>
#include <mutex>

#include "Link.h"
#include "LinkImpl.h"
#include "Module.h"
#include "aFile.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace Tovanire::Jorvanite {

namespace {

constexpr uint64_t kIdleMS = 5;
const char kStart[] = "START";  // written with its terminating NUL

// Moves the oldest record of the link's ring into the file as one line;
// false when there was none. The buffer holds the longest record there can
// be, so no record ever stalls the ring's reader.
bool sWriteOneRecord(aFile* file, aLinkRef ref) {
  uint8_t record[aPACKETLOG_MAX_RECORD + 1];
  uint8_t type = 0;
  uint32_t length = sizeof record;
  if (aLink_PacketDebug_Read(ref, &type, &length, record) != aErrNone)
    return false;
  // Header, then up to five characters per byte ("0xFF "), then "\r\n".
  char line[16 + 5 * sizeof record + 2];
  int used = std::snprintf(line, sizeof line, "%d %s ", static_cast<int>(length), type == aPacketLogSent ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (type == aPacketLogText) {
      line[used++] = static_cast<char>(record[i]);
    } else {
      used += std::snprintf(line + used, sizeof line - used, "0x%X ", record[i]);
    }
  }
  line[used++] = '\r';
  line[used++] = '\n';
  aFile_Write(file, line, static_cast<size_t>(used), nullptr);
  return true;
}

// The Links with the packet log on, per link id. A link's recording is one
// switch that a router and the modules behind it share, so it goes off only
// when the last Link that turned it on lets go.
std::mutex gLogUsersMutex;
std::map<aLinkRef, unsigned> gLogUsers;

void sJoinLog(aLinkRef ref) {
  std::lock_guard<std::mutex> hold(gLogUsersMutex);
  ++gLogUsers[ref];
}

// True when the caller was the last Link logging on the id.
bool sLeaveLog(aLinkRef ref) {
  std::lock_guard<std::mutex> hold(gLogUsersMutex);
  const auto users = gLogUsers.find(ref);
  if (users == gLogUsers.end())
    return true;
  if (--users->second > 0)
    return false;
  gLogUsers.erase(users);
  return true;
}

}  // namespace

void Link::impl::readDebugBuffer(void* file, uint32_t linkRef) {
  // Nothing to write: pause, so the logger thread never spins on an empty ring.
  if (!sWriteOneRecord(static_cast<aFile*>(file), linkRef))
    aTime_MSSleep(kIdleMS);
}

aErr Link::impl::stopPacketLogger() {
  const bool last = loggingOn && sLeaveLog(loggingOn);
  const aLinkRef ref = loggingOn;
  loggingOn = 0;
  if (last)
    aLink_PacketDebug_Disable(ref);
  const aErr err = aLogger_Disable(logger);
  // Once nobody records, what the ring still holds goes to the file, so it
  // ends with the last record made; while others record, their loggers read on.
  if (err == aErrNone && last) {
    while (sWriteOneRecord(logger->file, ref)) {
    }
  }
  return err;
}

aErr Link::enablePacketLog(const char* path) {
  const aLinkRef ref = m_pImpl->linkRef;
  if (!ref)
    return aErrConfiguration;
  if (!path)
    return aErrParam;
  aErr err = aLink_PacketDebug_Enable(ref);
  if (err != aErrNone)
    return err;
  // This Link turned recording on, so it is one that may turn it off, even
  // when its logger cannot be made.
  if (m_pImpl->loggingOn != ref) {
    sJoinLog(ref);
    m_pImpl->loggingOn = ref;
  }
  aLogger*& logger = m_pImpl->logger;
  if (!logger) {
    logger = aLogger_Create(ref, impl::readDebugBuffer, path);
    if (!logger)
      return aErrIO;
  } else if (logger->value != ref) {
    // Reconnected since the logger was made: it follows the link now held.
    err = aLogger_Disable(logger);
    if (err != aErrNone)
      return err;
    aLogger_SetValue(logger, ref);
  }
  err = aLogger_Enable(logger);
  if (err == aErrNone) {
    aLink_PacketDebug_Write(ref, aPacketLogText, sizeof kStart, reinterpret_cast<const uint8_t*>(kStart));
  }
  return err;
}

aErr Link::disablePacketLog() {
  if (!m_pImpl->linkRef)
    return aErrConfiguration;
  return m_pImpl->stopPacketLogger();
}

aErr Module::enablePacketLog(const char* path) {
  if (!m_link)
    return aErrConfiguration;
  return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (!m_link)
    return aErrConfiguration;
  return m_link->disablePacketLog();
}

}  // namespace Tovanire::Jorvanite
