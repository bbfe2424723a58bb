#pragma once
// The answering side of discovery for a link-sharing server. At start-up the
// server chooses the interface it serves on and with it one responder:
//   - a beacon on UDP port 8585 when it serves a network interface: the
//     broker polls it, calls _serverWorker_broker_beacon when it is readable
//     and _serverWorker_broker_silence after every wake;
//   - a local multicast responder actor (group 224.0.0.7 on 127.0.0.1) when
//     it is local only or the host lists no interface.
// Both answer with _createNetworkSpec, and only once the model is set.
//
// Threads: _configureInterface runs on the thread that starts the server
// (it holds the beacon-interface lock until the beacon is configured); the
// beacon functions run on the broker only; the multicast responder on its
// own actor thread, reading the model, the link entry's identifier, the
// beacon host and the front port (all but the model fixed before it starts).

#include <czmq.h>

#include "aError.h"
#include "aLinkSpecifier.h"

struct aServer;

// How long one publication of the beacon answer lasts at least before the
// silence rule ends it; a broker wakes at least every second, so it lasts 2
// to about 3 seconds.
inline constexpr uint64_t kBeaconPublishMS = 2000;

// Chooses the interface and starts the responder, as start-up needs before
// binding the front end. When the server is not local only and the host
// lists an interface, an interface of 0 or 127.0.0.1 becomes the first one
// listed, a beacon is made on it (server->discoveryResponder, beacon true)
// and the beacon host is the address the beacon chose (0 when it found
// none). Otherwise the beacon host is 127.0.0.1, the multicast responder is
// started (beacon false) and the interface keeps its value.
// aErrParam for null, aErrResource when the responder cannot be made.
aErr _configureInterface(aServer* server);

// Stops whichever responder start-up made (the multicast responder with a
// signal and a wait for its end, a beacon by destroying it) and nulls
// server->discoveryResponder. Nothing happens when none was made.
void _stopDiscoveryResponder(aServer* server);

// The 128-byte answer, built afresh: type aLanic, the link entry's
// identifier as serial number, the model, the beacon host and the front
// port; everything else zero. A server without a link entry answers serial 0.
linkSpec _createNetworkSpec(const aServer* server);

// True once the model is set: only then are requests answered.
bool _isDiscoveryConfigured(const aServer* server);

// The beacon is readable (broker thread): consumes one delivery; a search
// tag while the model is set and nothing is being published starts
// publishing the answer every 100 ms.
void _serverWorker_broker_beacon(aServer* server);

// The silence rule (broker thread, after every wake): a publication older
// than kBeaconPublishMS is silenced, so the next search starts a fresh one.
void _serverWorker_broker_silence(aServer* server);

// The multicast responder actor (zactor_new(_serverWorker_multicastDiscovery,
// server)); it sends a second, ready signal once its ports are chosen, so the
// starter waits for it with zsock_wait. Any message on its pipe ends it,
// after an end signal.
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* server);

// --- Request tests, shared with the fuzz target ---

// A multicast request: exactly 4 bytes holding 0xABCDDCBA little-endian.
bool aServerDiscovery_IsMulticastRequest(const uint8_t* data, size_t size);

// A beacon request: a payload that begins with the 20-byte search tag.
bool aServerDiscovery_IsBeaconRequest(const uint8_t* data, size_t size);
