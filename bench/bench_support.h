// Small pieces the timed benchmark programs share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point t0)
{
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Percentiles {
  double median, p99;
};

inline Percentiles percentiles(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

// An IPv4 text address in network byte order.
inline uint32_t hostAddress(const char* text)
{
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// A TCP connection with Nagle off, for the bare-socket figures the link is
// measured against; -1 when it cannot be made.
inline int connectNoDelay(const char* host, uint16_t port)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = hostAddress(host);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Writes a request and reads until `replyLength` bytes came back; false on a
// short write or a closed connection.
inline bool pingPong(int fd, const uint8_t* request, size_t length, size_t replyLength)
{
  if (send(fd, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
    return false;
  uint8_t buf[64];
  size_t got = 0;
  while (got < replyLength) {
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, replyLength - got), 0);
    if (r <= 0)
      return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

} // namespace bench
