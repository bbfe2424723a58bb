// The search for link-sharing servers, by local multicast or by beacon, and
// the process-wide beacon interface lock.

#include "aNetworkDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "aMulticast.h"
#include "aZmqSignals.h"

namespace {

constexpr size_t _BACKUP_CAPACITY = 100;
// Room for more than an answer, so that a longer datagram shows its length
// instead of being cut to the size of a valid one.
constexpr size_t kReceiveBufferSize = 512;
constexpr std::chrono::milliseconds kBeaconWait{kDiscoveryBeaconIntervalMS};

std::mutex _interfaceLock;
std::string _backupInterface;

void _configureBackup() {
  if (_backupInterface.capacity() < _BACKUP_CAPACITY)
    _backupInterface.reserve(_BACKUP_CAPACITY);
}

bool _isValidIpAddress(const char* text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text, &address) == 1;
}

bool _isValidBeaconConfig(const char* text) {
  return text && (*text == '\0' || std::strcmp(text, "*") == 0 || _isValidIpAddress(text));
}

std::string sCurrentInterface() {
  aZmq_LeaveSignalsAlone();
  const char* value = zsys_interface();
  return value ? value : "";
}

// Asks the server holding slot i, if any, for its answer.
void sAskSlot(aDiscoverySearch& search, int slot) {
  const uint16_t requestPort = static_cast<uint16_t>(kDiscoveryMulticastRequestPort + slot);
  const uint16_t answerPort = static_cast<uint16_t>(kDiscoveryMulticastAnswerPort + slot);
  // A free request port means no server holds the slot.
  aMulticast* probe = aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress, requestPort, false);
  if (probe) {
    aMulticast_Destroy(&probe);
    return;
  }
  aMulticast* answers =
      aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress, answerPort, false);
  aMulticast* requests =
      aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress, requestPort, true);
  const auto& request = kDiscoveryMulticastRequest;
  if (answers && requests &&
      aMulticast_Send(requests, request.data(), request.size()) == static_cast<int>(request.size())) {
    uint8_t answer[kReceiveBufferSize];
    const int n = aMulticast_Receive(answers, answer, sizeof answer);
    if (n > 0)
      aDiscovery_HandleAnswer(&search, answer, static_cast<size_t>(n), true);
  }
  if (answers)
    aMulticast_Destroy(&answers);
  if (requests)
    aMulticast_Destroy(&requests);
}

void _findLinkSpecs_multicast(aDiscoverySearch& search) {
  for (int slot = 0; slot < kDiscoveryMulticastSlots && !search.stopped; ++slot)
    sAskSlot(search, slot);
}

void _findLinkSpecs_beacon(aDiscoverySearch& search) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (!beacon)
    return;
  zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(kDiscoveryBeaconPort));
  char* own = zstr_recv(beacon);
  // Without an interface the beacon can neither send nor hear anything.
  const bool usable = own && *own;
  zstr_free(&own);
  if (usable) {
    zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, kDiscoveryBeaconFilterSize,
               kDiscoveryBeaconIntervalMS);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    // The search lasts its 22 attempts' worth of time however busy the
    // port is: counting deliveries instead would let the tags of other
    // searches and the repeats of one answer end it before slower servers
    // have answered.
    const auto deadline = std::chrono::steady_clock::now() + kDiscoveryBeaconAttempts * kBeaconWait;
    while (!search.stopped) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        break;
      zsock_set_rcvtimeo(beacon, static_cast<int>(std::min(left, kBeaconWait).count()));
      zmsg_t* delivery = zmsg_recv(beacon);
      if (!delivery)
        continue;
      zframe_t* sender = zmsg_first(delivery);
      zframe_t* payload = zmsg_next(delivery);
      if (sender && payload)
        aDiscovery_HandleAnswer(&search, zframe_data(payload), zframe_size(payload), false);
      zmsg_destroy(&delivery);
    }
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zactor_destroy(&beacon);
}

void _findLinkSpecs_beaconHelper(aDiscoverySearch& search, uint32_t networkInterface) {
  char text[kDiscoveryAddressTextSize];
  if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0)
    return;
  if (!zBeaconInterface_backupSetAndLock(text))
    return;
  _findLinkSpecs_beacon(search);
  zBeaconInterface_restoreAndUnlock();
}

}  // namespace

uint8_t aDiscovery_Enumerate_aLanicModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
  if (!callback)
    return 0;
  aDiscoverySearch search;
  search.callback = callback;
  search.ref = ref;
  const bool local = networkInterface == 0 || networkInterface == kDiscoveryLoopbackAddress;
  uint32_t interfaces[kDiscoveryMaxInterfaces];
  const uint32_t listed = aDiscovery_GetIPv4Interfaces(interfaces, kDiscoveryMaxInterfaces);
  if (local || listed == 0)
    _findLinkSpecs_multicast(search);
  else
    _findLinkSpecs_beaconHelper(search, networkInterface);
  return search.count;
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* interfaces, uint32_t capacity) {
  if (!interfaces)
    return 0;
  ziflist_t* list = ziflist_new();
  if (!list)
    return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(list); name && count < capacity; name = ziflist_next(list)) {
    in_addr address{};
    const char* text = ziflist_address(list);
    if (text && ::inet_pton(AF_INET, text, &address) == 1)
      interfaces[count++] = address.s_addr;
  }
  ziflist_destroy(&list);
  return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length) {
  if (!buffer || length < kDiscoveryAddressTextSize)
    return 0;
  std::memset(buffer, 0, length);
  const in_addr a{address};
  if (!::inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(length)))
    return 0;
  return std::strlen(buffer);
}

bool aDiscovery_HandleAnswer(aDiscoverySearch* search, const uint8_t* data, size_t size, bool localOnly) {
  if (!search || search->stopped)
    return false;
  if (!data || size != sizeof(linkSpec))
    return true;
  linkSpec spec;
  std::memcpy(&spec, data, sizeof spec);
  if (localOnly && spec.address != kDiscoveryLoopbackAddress)
    return true;
  for (const linkSpec& known : search->seen) {
    if (known.serialNumber == spec.serialNumber)
      return true;
  }
  return aDiscovery_Report(search, spec);
}

bool zBeaconInterface_setAndLock(const char* interface) {
  if (!_isValidBeaconConfig(interface))
    return false;
  _interfaceLock.lock();
  aZmq_LeaveSignalsAlone();
  zsys_set_interface(interface);
  return true;
}

bool zBeaconInterface_backupSetAndLock(const char* interface) {
  if (!_isValidBeaconConfig(interface))
    return false;
  _interfaceLock.lock();
  _configureBackup();
  _backupInterface = sCurrentInterface();
  zsys_set_interface(interface);
  return true;
}

void zBeaconInterface_restoreAndUnlock() {
  zsys_set_interface(_backupInterface.c_str());
  _interfaceLock.unlock();
}

void zBeaconInterface_unlock() {
  _interfaceLock.unlock();
}

std::string zBeaconInterface_get() {
  return sCurrentInterface();
}

std::string zBeaconInterface_getAndLock() {
  _interfaceLock.lock();
  return sCurrentInterface();
}

std::string zBeaconInterface_getBackup() {
  return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock() {
  _interfaceLock.lock();
  return _backupInterface;
}
