// Discovery answers of a link-sharing server: the interface choice, the
// beacon and the local multicast responder.

#include "aServerDiscovery.h"

#include <arpa/inet.h>

#include <cstring>

#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aMulticast.h"
#include "aNetworkDiscovery.h"
#include "aServer.h"
#include "aTime.h"

namespace {

// Room for more than a request, so that a longer datagram shows its length
// instead of being cut to the size of a valid one.
constexpr size_t kRequestBufferSize = 64;
constexpr int kPortSearchRounds = 50;

bool _configureBeacon(aServer* server, zactor_t* beacon) {
  zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(kDiscoveryBeaconPort));
  char* host = zstr_recv(beacon);
  // The interface setting has been read: others may set it now. It is not
  // restored; the process-wide value stays as this server left it.
  zBeaconInterface_unlock();
  zsock_send(beacon, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER, kDiscoveryBeaconFilterSize);
  zsock_set_rcvtimeo(beacon, kDiscoveryBeaconIntervalMS);
  in_addr address{};
  // No interface found: the text is empty and answers carry 0.0.0.0.
  server->beaconHost = host && ::inet_pton(AF_INET, host, &address) == 1 ? address.s_addr : 0;
  zstr_free(&host);
  return true;
}

bool _createBeacon(aServer* server) {
  char text[kDiscoveryAddressTextSize];
  if (aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof text) == 0)
    return false;
  if (!zBeaconInterface_setAndLock(text))
    return false;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (!beacon) {
    zBeaconInterface_unlock();
    return false;
  }
  server->discoveryResponder = beacon;
  return _configureBeacon(server, beacon);
}

// The first free receive port j and its answer sender; both null when every
// port is held or the sender never opens.
void sChoosePorts(aMulticast*& receiver, aMulticast*& sender) {
  for (int round = 0; round < kPortSearchRounds; ++round) {
    int slot = 0;
    for (; slot < kDiscoveryMulticastSlots && !receiver; ++slot) {
      receiver = aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress,
                                   static_cast<uint16_t>(kDiscoveryMulticastRequestPort + slot), false);
    }
    if (!receiver)
      return;
    --slot;
    sender = aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress,
                               static_cast<uint16_t>(kDiscoveryMulticastAnswerPort + slot), true);
    if (sender)
      return;
    aMulticast_Destroy(&receiver);
  }
}

void sAnswerOne(aServer* server, aMulticast* receiver, aMulticast* sender) {
  uint8_t request[kRequestBufferSize];
  const int n = aMulticast_Receive(receiver, request, sizeof request);
  if (n <= 0 || !aServerDiscovery_IsMulticastRequest(request, static_cast<size_t>(n)))
    return;
  if (!_isDiscoveryConfigured(server))
    return;
  const linkSpec answer = _createNetworkSpec(server);
  aMulticast_Send(sender, &answer, sizeof answer);
}

}  // namespace

bool aServerDiscovery_IsMulticastRequest(const uint8_t* data, size_t size) {
  return data && size == kDiscoveryMulticastRequest.size() &&
         std::memcmp(data, kDiscoveryMulticastRequest.data(), size) == 0;
}

bool aServerDiscovery_IsBeaconRequest(const uint8_t* data, size_t size) {
  return data && size >= kDiscoveryBeaconFilterSize &&
         std::memcmp(data, DISCOVERY_BEACON_FILTER, kDiscoveryBeaconFilterSize) == 0;
}

linkSpec _createNetworkSpec(const aServer* server) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = LINK_ALANIC;
  if (!server)
    return spec;
  spec.serialNumber = server->linkEntry ? server->linkEntry->identifier : 0;
  spec.model = server->model.load();
  spec.address = server->beaconHost;
  spec.port = server->frontPort;
  return spec;
}

bool _isDiscoveryConfigured(const aServer* server) {
  return server && server->model.load() != 0;
}

aErr _configureInterface(aServer* server) {
  if (!server)
    return aErrParam;
  uint32_t interfaces[kDiscoveryMaxInterfaces];
  const uint32_t listed = aDiscovery_GetIPv4Interfaces(interfaces, kDiscoveryMaxInterfaces);
  if (!server->localOnly && listed > 0) {
    if (server->networkInterface == 0 || server->networkInterface == kDiscoveryLoopbackAddress)
      server->networkInterface = interfaces[0];
    server->beacon = true;
    return _createBeacon(server) ? aErrNone : aErrResource;
  }
  server->beaconHost = kDiscoveryLoopbackAddress;
  server->beacon = false;
  server->discoveryResponder = zactor_new(_serverWorker_multicastDiscovery, server);
  if (!server->discoveryResponder)
    return aErrResource;
  zsock_wait(server->discoveryResponder);
  return aErrNone;
}

void _stopDiscoveryResponder(aServer* server) {
  if (!server || !server->discoveryResponder)
    return;
  if (!server->beacon) {
    zsock_signal(server->discoveryResponder, 0);
    zsock_wait(server->discoveryResponder);
  }
  zactor_destroy(&server->discoveryResponder);
}

void _serverWorker_broker_beacon(aServer* server) {
  if (!server || !server->beacon || !server->discoveryResponder)
    return;
  zmsg_t* delivery = zmsg_recv(server->discoveryResponder);
  if (!delivery)
    return;
  if (_isDiscoveryConfigured(server) && !server->publishing) {
    zframe_t* sender = zmsg_first(delivery);
    zframe_t* payload = zmsg_next(delivery);
    if (sender && payload && aServerDiscovery_IsBeaconRequest(zframe_data(payload), zframe_size(payload))) {
      const linkSpec answer = _createNetworkSpec(server);
      zsock_send(server->discoveryResponder, "sbi", "PUBLISH", &answer, sizeof answer, kDiscoveryBeaconIntervalMS);
      server->lastPublish = aTime_GetMSTicks();
      server->publishing = true;
    }
  }
  zmsg_destroy(&delivery);
}

void _serverWorker_broker_silence(aServer* server) {
  if (!server || !server->beacon || !server->discoveryResponder || !server->publishing)
    return;
  if (aTime_GetMSTicks() - server->lastPublish <= kBeaconPublishMS)
    return;
  zstr_sendx(server->discoveryResponder, "SILENCE", nullptr);
  server->publishing = false;
}

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args) {
  auto* server = static_cast<aServer*>(args);
  zsock_signal(pipe, 0);
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  sChoosePorts(receiver, sender);
  zpoller_t* poller = zpoller_new(pipe, nullptr);
  zsock_signal(pipe, 0);
  while (poller) {
    if (receiver && sender)
      sAnswerOne(server, receiver, sender);
    // The receive above already waits up to a second; waiting on the pipe
    // as well would leave requests unread for that long, past the second a
    // searcher waits for its answer. Without endpoints only the pipe paces.
    const int wait = receiver && sender ? 0 : kMulticastReceiveTimeoutMS;
    if (zpoller_wait(poller, wait) || zpoller_terminated(poller))
      break;
  }
  zpoller_destroy(&poller);
  if (receiver)
    aMulticast_Destroy(&receiver);
  if (sender)
    aMulticast_Destroy(&sender);
  zsock_signal(pipe, 0);
}
