// UDP multicast endpoints for the local discovery of shared links.

#include "aMulticast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Resolves host (null for the passive wildcard address) and port for UDP.
addrinfo* _resolveAddress(const char* host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (host ? 0 : AI_PASSIVE);
  const std::string service = std::to_string(port);
  addrinfo* result = nullptr;
  if (::getaddrinfo(host, service.c_str(), &hints, &result) != 0)
    return nullptr;
  return result;
}

std::string sDotted(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  const in_addr a{address};
  return ::inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

const in_addr* sIPv4(const addrinfo* info) {
  if (!info || info->ai_family != AF_INET)
    return nullptr;
  return &reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr;
}

bool _setReuse(int socket, int on) {
  return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool _joinMulticastGroup(int socket, const addrinfo* group, const addrinfo* interface) {
  const in_addr* g = sIPv4(group);
  const in_addr* i = sIPv4(interface);
  if (!g || !i)
    return false;
  ip_mreq request{};
  request.imr_multiaddr = *g;
  request.imr_interface = *i;
  return ::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
}

bool _setSendInterface(int socket, const addrinfo* interface) {
  const in_addr* i = sIPv4(interface);
  return i && ::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, i, sizeof *i) == 0;
}

bool _setMulticastTtl(int socket, const addrinfo* group) {
  const unsigned char ttl = 1;
  return sIPv4(group) && ::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}

bool _setReceiveTimeout(int socket, const addrinfo* group) {
  timeval timeout{};
  timeout.tv_sec = kMulticastReceiveTimeoutMS / 1000;
  timeout.tv_usec = (kMulticastReceiveTimeoutMS % 1000) * 1000;
  return sIPv4(group) && ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool _setMulticastLoopBack(int socket, const addrinfo* group) {
  const unsigned char on = 1;
  return sIPv4(group) && ::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) == 0;
}

bool sSetUp(aMulticast& m, uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port) {
  const std::string group = sDotted(groupAddress);
  const std::string interface = sDotted(interfaceAddress);
  if (group.empty() || interface.empty())
    return false;
  m.groupAddress = _resolveAddress(group.c_str(), port);
  m.bindAddress = m.sender ? _resolveAddress(interface.c_str(), 0) : _resolveAddress(nullptr, port);
  m.interfaceAddress = _resolveAddress(interface.c_str(), 0);
  if (!m.groupAddress || !m.bindAddress || !m.interfaceAddress)
    return false;
  m.socket = ::socket(m.groupAddress->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m.socket < 0)
    return false;
  // Reuse stays off: a port that a server holds must not be bound again,
  // or two servers would share one discovery slot.
  if (!_setReuse(m.socket, 0))
    return false;
  if (!m.sender && ::bind(m.socket, m.bindAddress->ai_addr, m.bindAddress->ai_addrlen) != 0)
    return false;
  return _joinMulticastGroup(m.socket, m.groupAddress, m.interfaceAddress) &&
         _setSendInterface(m.socket, m.interfaceAddress) && _setMulticastTtl(m.socket, m.groupAddress) &&
         _setReceiveTimeout(m.socket, m.groupAddress) && _setMulticastLoopBack(m.socket, m.groupAddress);
}

}  // namespace

void _printAddress(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0)
    std::printf("%s:%s\n", host, service);
}

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender) {
  auto* m = static_cast<aMulticast*>(std::calloc(1, sizeof(aMulticast)));
  if (!m)
    return nullptr;
  m->socket = -1;
  m->sender = sender;
  if (interfaceAddress == 0)
    interfaceAddress = htonl(INADDR_LOOPBACK);
  if (!sSetUp(*m, interfaceAddress, groupAddress, port))
    aMulticast_Destroy(&m);
  return m;
}

int aMulticast_Send(aMulticast* endpoint, const void* data, size_t length) {
  if (!endpoint)
    return kMulticastNoEndpoint;
  if (!endpoint->sender)
    return kMulticastWrongWay;
  if (!data && length)
    return kMulticastError;
  const ssize_t sent = ::sendto(endpoint->socket, data, length, MSG_NOSIGNAL, endpoint->groupAddress->ai_addr,
                                endpoint->groupAddress->ai_addrlen);
  return sent < 0 ? kMulticastError : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* endpoint, void* buffer, size_t size) {
  if (!endpoint)
    return kMulticastNoEndpoint;
  if (endpoint->sender)
    return kMulticastWrongWay;
  if (!buffer && size)
    return kMulticastError;
  // One deadline for the whole wait. A signal is not the peer's silence, so
  // the wait goes on after one, but only for what is left of the second: a
  // fresh time-out after each signal would never end in a process that
  // takes signals more often than that.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMulticastReceiveTimeoutMS);
  for (;;) {
    const ssize_t n = ::recv(endpoint->socket, buffer, size, MSG_DONTWAIT);
    if (n >= 0)
      return static_cast<int>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return kMulticastError;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return kMulticastError;
    pollfd ready{endpoint->socket, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
      return kMulticastError;
  }
}

int aMulticast_Destroy(aMulticast** endpoint) {
  if (!endpoint || !*endpoint)
    return kMulticastNoEndpoint;
  aMulticast* m = *endpoint;
  if (m->groupAddress)
    ::freeaddrinfo(m->groupAddress);
  if (m->bindAddress)
    ::freeaddrinfo(m->bindAddress);
  if (m->interfaceAddress)
    ::freeaddrinfo(m->interfaceAddress);
  if (m->socket >= 0)
    ::close(m->socket);
  std::free(m);
  *endpoint = nullptr;
  return 0;
}
