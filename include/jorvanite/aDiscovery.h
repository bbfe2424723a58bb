#pragma once
// Finding modules: each enumeration lists the modules reachable over one
// transport and hands each, as a linkSpec, to the caller's callback.
//   USB (LINK_USB): the family's devices on the shared libusb context.
//   TCPIP (LINK_TCPIP): one 16-byte request to 232.2.2.2 port 9888 out of
//     every non-loopback IPv4 interface, then the 16-byte replies arriving
//     on port 9889 until 2 seconds pass without one (so it lasts at least 2
//     seconds), and never longer than kDiscoveryWholeWaitMS in all. The
//     searches of one host (of one network namespace) take turns on the
//     reply port, so that each hears every answer; each module (serial
//     number, address and port) is reported once.
//   aLanic (LINK_ALANIC): servers of shared links, by local multicast or by
//     beacon on networkInterface (aNetworkDiscovery.h).
// Everything runs on the calling thread, callbacks included; no state is
// kept between calls. Enumeration reports no errors: what cannot be opened,
// read, set up or sent is passed over, and the count says what was found.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "aLinkSpecifier.h"

// Called once per module found, in the order found, on the enumerating
// thread. *success is false on entry: set it true to have the module
// counted. Return false to stop (no further call is made). The specifier
// lives only for the call; copy what you keep. ref is the caller's pointer.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* success, void* ref);

inline constexpr uint16_t kDiscoveryRequestPort = 9888;
inline constexpr uint16_t kDiscoveryReplyPort = 9889;
inline constexpr const char* kDiscoveryGroup = "232.2.2.2";
inline constexpr int kDiscoveryReplyTimeoutMS = 2000;
// The most a TCPIP search listens, however its replies are spaced: a
// neighbour sending to the reply port now and then must not keep it open.
inline constexpr int kDiscoveryWholeWaitMS = kDiscoveryReplyTimeoutMS + 3000;
// The most a TCPIP search waits for its turn on the reply port; past it, it
// listens beside whoever holds the turn rather than find nothing.
inline constexpr int kDiscoveryTurnWaitMS = 60000;

// The number of callbacks that set success (wrapping past 255). Types other
// than USB, TCPIP and aLanic, or a null callback, return 0 at once.
// networkInterface (IPv4, network order) is used by aLanic only.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// A new specifier copied from the first module of that type with the given
// serial number, or null. The caller frees it with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The same for the first module whose serial number is not 0.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// --- One TCPIP search's replies (shared with the fuzz target) ---

// A reply datagram of size bytes received from `from` (IPv4, network
// order) as the specifier it describes, in *spec; false, *spec untouched,
// for a datagram too short to carry the serial number and port (below 8
// bytes). A datagram is read as a 16-byte record: bytes past 16 are not
// read, and one too short for byte 12 has model 0xFF.
bool aDiscovery_DecodeReply(const uint8_t* data, size_t size, uint32_t from, linkSpec* spec);

// One search's reports: each module found is remembered (to drop its
// repeats) and handed to the callback; the TCPIP search below and the
// searches for link-sharing servers (aNetworkDiscovery.h) keep one each.
struct aDiscoverySearch {
  aDiscoveryCallback callback = nullptr;
  void* ref = nullptr;
  uint8_t count = 0;
  bool stopped = false;  // the callback asked to stop
  std::vector<linkSpec> seen;
};

// Remembers spec and hands it to the callback, counting it when the
// callback set success. False once the search must stop.
bool aDiscovery_Report(aDiscoverySearch* search, const linkSpec& spec);

// Takes one datagram received on the reply port: a well-formed reply new
// to the search (no reply reported before has the same serial number,
// address and port) is reported. The result says whether it was a
// well-formed reply (new or not); search->stopped once the search must stop.
bool aDiscovery_HandleReply(aDiscoverySearch* search, const uint8_t* data, size_t size, uint32_t from);
