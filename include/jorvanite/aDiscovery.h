#pragma once
// Finding modules: each enumeration lists the modules reachable over one
// transport and hands each, as a linkSpec, to the caller's callback.
//   USB (LINK_USB): the family's devices on the shared libusb context.
//   TCPIP (LINK_TCPIP): one 16-byte request to 232.2.2.2 port 9888 out of
//     every non-loopback IPv4 interface, then the 16-byte replies arriving
//     on port 9889 until 2 seconds pass without one (so it lasts at least 2
//     seconds).
//   aLanic (LINK_ALANIC): servers of shared links, by local multicast or by
//     beacon on networkInterface (aNetworkDiscovery.h).
// Everything runs on the calling thread, callbacks included; no state is
// kept between calls. Enumeration reports no errors: what cannot be opened,
// read, set up or sent is passed over, and the count says what was found.

#include <cstdint>

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

// The number of callbacks that set success (wrapping past 255). Types other
// than USB, TCPIP and aLanic, or a null callback, return 0 at once.
// networkInterface (IPv4, network order) is used by aLanic only.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                    uint32_t networkInterface);

// A new specifier copied from the first module of that type with the given
// serial number, or null. The caller frees it with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The same for the first module whose serial number is not 0.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);
