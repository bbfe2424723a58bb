#pragma once
// One IPv4 UDP multicast endpoint that either only sends to its group or
// only receives from it. The local discovery of shared links (searching and
// answering side) runs on these: group 224.0.0.7 on the loopback interface.
//
// A receiver binds the wildcard address and its port with address reuse
// off, so a port that another endpoint holds cannot be bound again: the
// bind itself arbitrates the discovery slots between servers on one host.

#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

struct aMulticast {
  int socket;              // -1 until opened
  addrinfo* groupAddress;  // the group and port: where a sender sends
  addrinfo* bindAddress;   // receiver: wildcard and port; sender: interface, port 0
  addrinfo* interfaceAddress;
  bool sender;
};

inline constexpr int kMulticastReceiveTimeoutMS = 1000;

// Results of aMulticast_Send and aMulticast_Receive besides a length.
inline constexpr int kMulticastError = -1;       // failure or time-out
inline constexpr int kMulticastNoEndpoint = -2;  // null endpoint
inline constexpr int kMulticastWrongWay = -3;    // sending on a receiver, or the reverse

// A new endpoint for the group (IPv4, network order) and port on the local
// interface (IPv4, network order; 0 means 127.0.0.1); null when any step
// fails (nothing is left open). TTL 1, loopback on, receive time-out 1 s.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender);

// Sends one datagram to the group: the bytes sent, or one of the codes above.
int aMulticast_Send(aMulticast* endpoint, const void* data, size_t length);

// Receives one datagram, waiting up to 1 second: its length (a longer one is
// cut to size), or one of the codes above (kMulticastError on time-out).
int aMulticast_Receive(aMulticast* endpoint, void* buffer, size_t size);

// Closes and frees *endpoint and nulls it: 0, or kMulticastNoEndpoint when
// endpoint or *endpoint is null.
int aMulticast_Destroy(aMulticast** endpoint);

// Prints a socket address as numeric host and service text to standard
// output; a debugging aid, called from nowhere.
void _printAddress(const sockaddr* address, socklen_t length);
