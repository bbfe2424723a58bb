#pragma once
// How TCPIP discovery lists the host's interfaces for its requests, so tests
// can hand it interfaces of their own; getifaddrs(3) and freeifaddrs by
// default. Swap only while no enumeration runs.

struct ifaddrs;
typedef int (*aDiscoveryListInterfacesProc)(struct ifaddrs** list);
typedef void (*aDiscoveryFreeInterfacesProc)(struct ifaddrs* list);

// Installs both; null for either restores both defaults.
void aDiscovery_SetInterfaceListing(aDiscoveryListInterfacesProc list, aDiscoveryFreeInterfacesProc free);
