#pragma once
// Finding link-sharing servers (aLanic links), and the pieces that the
// servers' answering side shares with the search: the host's IPv4 interface
// list, the dotted-text form of an address, the datagram formats and the
// lock around the process-wide beacon interface.
//
// Two protocols:
//   - local multicast, for servers on this host: group 224.0.0.7 on
//     127.0.0.1, TTL 1. A server holds slot i (0 to 49): it receives the
//     4-byte request (0xABCDDCBA, little-endian) on port 9850 + i and sends
//     its 128-byte linkSpec to port 9950 + i.
//   - a UDP broadcast beacon on port 8585 of one interface: a search
//     publishes the 20-byte tag DISCOVERY_BEACON_FILTER every 100 ms, and a
//     server publishes its 128-byte linkSpec every 100 ms for a while.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aDiscovery.h"
#include "aLinkSpecifier.h"

// The beacon search tag, sent without a terminating NUL.
#define DISCOVERY_BEACON_FILTER "Jorvanite2-Discovery"
inline constexpr size_t kDiscoveryBeaconFilterSize = sizeof(DISCOVERY_BEACON_FILTER) - 1;
inline constexpr uint16_t kDiscoveryBeaconPort = 8585;
inline constexpr int kDiscoveryBeaconIntervalMS = 100;
inline constexpr int kDiscoveryBeaconAttempts = 22;

inline constexpr const char* kDiscoveryMulticastGroup = "224.0.0.7";
inline constexpr uint32_t kDiscoveryMulticastGroupAddress = 0x070000E0;  // 224.0.0.7, network order
inline constexpr uint32_t kDiscoveryLoopbackAddress = 0x0100007F;        // 127.0.0.1, network order
inline constexpr uint16_t kDiscoveryMulticastRequestPort = 9850;         // + slot
inline constexpr uint16_t kDiscoveryMulticastAnswerPort = 9950;          // + slot
inline constexpr int kDiscoveryMulticastSlots = 50;
inline constexpr uint32_t kDiscoveryMulticastMagic = 0xABCDDCBA;
inline constexpr size_t kDiscoveryMulticastRequestSize = 4;
// The request's bytes: the magic value, little-endian.
inline constexpr std::array<uint8_t, kDiscoveryMulticastRequestSize> kDiscoveryMulticastRequest = {
    static_cast<uint8_t>(kDiscoveryMulticastMagic), static_cast<uint8_t>(kDiscoveryMulticastMagic >> 8),
    static_cast<uint8_t>(kDiscoveryMulticastMagic >> 16), static_cast<uint8_t>(kDiscoveryMulticastMagic >> 24)};

inline constexpr uint32_t kDiscoveryMaxInterfaces = 50;
// Room for the longest dotted address and its NUL.
inline constexpr size_t kDiscoveryAddressTextSize = 16;

// Finds servers and hands each one's linkSpec to the callback (the contract
// of aDiscoveryCallback); the number the callback counted, wrapping past
// 255. An interface (IPv4, network order) of 0 or 127.0.0.1, or a host that
// lists no interface, searches this host by multicast (about one bind per
// free slot, up to 1 s per held one); any other searches by beacon on that
// interface for about 2.2 s, holding the beacon-interface lock throughout.
uint8_t aDiscovery_Enumerate_aLanicModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// Fills interfaces with the IPv4 addresses (network order) of the host's
// interfaces that are up and can broadcast, neither loopback nor
// point-to-point, in CZMQ's order, at most capacity of them; the count.
// 0 for a null array.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* interfaces, uint32_t capacity);

// Clears buffer and writes the dotted text of address (network order): the
// text's length, or 0 when length is below 16 (buffer untouched), buffer is
// null or the conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length);

// --- One search's answers (shared with the fuzz target) ---

// A search (aDiscoverySearch, aDiscovery.h) reports each server once: an
// answer is a repeat when one already reported carries the same serial
// number.

// Takes one received datagram: only exactly 128 bytes are an answer, and
// with localOnly only one whose address is 127.0.0.1. A new one is
// remembered and handed to the callback. False once the search must stop.
bool aDiscovery_HandleAnswer(aDiscoverySearch* search, const uint8_t* data, size_t size, bool localOnly);

// --- The process-wide beacon interface -----------------------------------
// CZMQ's beacon reads one process-wide interface setting when it is
// configured. Whoever sets it holds the lock until the beacon it serves has
// been configured, so that a search and a server starting together never
// configure their beacons on each other's interface. The lock is not
// recursive: a thread holding it must not take it again.
//
// A valid interface text is a dotted IPv4 address, "" (CZMQ's first
// interface) or "*" (every interface); names such as eth0 are refused.

// False, taking nothing and changing nothing, for an invalid text; else
// takes the lock, sets the interface and returns true.
bool zBeaconInterface_setAndLock(const char* interface);

// As zBeaconInterface_setAndLock, first saving the current setting for
// zBeaconInterface_restoreAndUnlock.
bool zBeaconInterface_backupSetAndLock(const char* interface);

// Sets the interface back to the saved setting and releases the lock.
void zBeaconInterface_restoreAndUnlock();

void zBeaconInterface_unlock();

// The current setting; the second after taking the lock (release it with
// zBeaconInterface_unlock).
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();

// The setting saved by zBeaconInterface_backupSetAndLock.
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();
