// Module enumeration over USB and over the network.

#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "aByteOrder.h"
#include "aDiscoverySeam.h"
#include "aNetworkDiscovery.h"
#include "aUSB.h"

namespace {

constexpr size_t kDatagramSize = 16;
// A reply must reach the serial number's last byte to be used; a shorter
// one would leave the serial number and port unset.
constexpr size_t kMinimumReply = 8;
constexpr size_t kModelOffset = 12;
constexpr uint8_t kModelMissing = 0xFF;

struct Enumeration {
  aDiscoveryCallback callback;
  void* ref;
  uint8_t count = 0;
};

// Hands one specifier to the callback; false when the callback stops.
bool sReport(Enumeration& e, const linkSpec& spec) {
  linkSpec* copy = aLinkSpec_Copy(spec);
  if (!copy)
    return true;
  bool success = false;
  const bool more = e.callback(copy, &success, e.ref);
  if (success)
    ++e.count;
  aLinkSpec_Destroy(&copy);
  return more;
}

// --- USB -------------------------------------------------------------------

bool sUSBModule(uint32_t serialNumber, uint16_t productId, void* ref) {
  linkSpec spec{};
  spec.type = LINK_USB;
  spec.serialNumber = serialNumber;
  spec.address = serialNumber;
  spec.model = productId & 0xFF;
  return sReport(*static_cast<Enumeration*>(ref), spec);
}

// --- TCPIP -------------------------------------------------------------------

class Socket {
 public:
  Socket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return m_fd; }
  bool reuseAddress() const {
    const int on = 1;
    return ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  }

 private:
  int m_fd;
};

sockaddr_in sAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

bool sOpenListener(Socket& listener) {
  if (listener.fd() < 0 || !listener.reuseAddress())
    return false;
  const sockaddr_in any = sAddress(htonl(INADDR_ANY), kDiscoveryReplyPort);
  return ::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
}

// The turn on the reply port, held from before the listener opens until it
// closes. It is an abstract Unix socket: it belongs to the network
// namespace, as the port does; no file can be planted in its place; and it
// ends with its holder, however that ends. A waiter connects to the holder
// and is woken by the hang-up when the holder lets go.
class ReplyPortTurn {
 public:
  ReplyPortTurn() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscoveryTurnWaitMS);
    while (!take() && errno == EADDRINUSE && awaitRelease(deadline)) {
    }
  }
  ~ReplyPortTurn() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  ReplyPortTurn(const ReplyPortTurn&) = delete;
  ReplyPortTurn& operator=(const ReplyPortTurn&) = delete;

 private:
  static constexpr char kName[] = "jorvanite-discovery-reply-port";

  static socklen_t name(sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace.
    std::memcpy(address->sun_path + 1, kName, sizeof kName - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof kName - 1);
  }

  // True when the turn is ours; else errno says why (EADDRINUSE: held).
  bool take() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return false;
    sockaddr_un address;
    const socklen_t length = name(&address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 && ::listen(fd, 64) == 0) {
      m_fd = fd;
      return true;
    }
    const int why = errno;
    ::close(fd);
    errno = why;
    return false;
  }

  // Waits until the holder lets go (or may have); false past the deadline.
  static bool awaitRelease(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
      return false;
    sockaddr_un address;
    const socklen_t length = name(&address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      // Never accepted: the connection hangs up when the holder's socket closes.
      pollfd p{fd, POLLIN | POLLRDHUP, 0};
      while (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno == EINTR) {
      }
    } else {
      // Let go just now, or its queue is full, or the name is bound by
      // something that does not listen: look again shortly.
      ::poll(nullptr, 0, std::min<int>(kRetryMS, static_cast<int>(left.count())));
    }
    ::close(fd);
    return true;
  }

  static constexpr int kRetryMS = 20;
  int m_fd = -1;
};

// Sends one request, out of the interface with that address when one is
// given (else through the system's default multicast interface).
bool sSendRequest(const in_addr* interfaceAddress) {
  Socket sender;
  if (sender.fd() < 0 || !sender.reuseAddress())
    return false;
  if (interfaceAddress &&
      ::setsockopt(sender.fd(), IPPROTO_IP, IP_MULTICAST_IF, interfaceAddress, sizeof *interfaceAddress) != 0)
    return false;
  in_addr group{};
  ::inet_pton(AF_INET, kDiscoveryGroup, &group);
  const sockaddr_in to = sAddress(group.s_addr, kDiscoveryRequestPort);
  uint8_t request[kDatagramSize] = {1};
  return ::sendto(sender.fd(), request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(sizeof request);
}

std::atomic<aDiscoveryListInterfacesProc> sListInterfaces{::getifaddrs};
std::atomic<aDiscoveryFreeInterfacesProc> sFreeInterfaces{::freeifaddrs};

bool sSendRequests() {
  const aDiscoveryFreeInterfacesProc freeInterfaces = sFreeInterfaces.load();
  ifaddrs* interfaces = nullptr;
  if (sListInterfaces.load()(&interfaces) != 0)
    return sSendRequest(nullptr);
  bool sent = false;
  for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK))
      continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    if (address.s_addr == htonl(INADDR_LOOPBACK) || address.s_addr == htonl(INADDR_ANY))
      continue;
    if (sSendRequest(&address))
      sent = true;
  }
  freeInterfaces(interfaces);
  return sent;
}

int sMSLeft(std::chrono::steady_clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void sEnumerateTCPIP(Enumeration& e) {
  ReplyPortTurn turn;
  Socket listener;
  if (!sOpenListener(listener) || !sSendRequests())
    return;
  aDiscoverySearch replies;
  replies.callback = e.callback;
  replies.ref = e.ref;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::milliseconds(kDiscoveryWholeWaitMS);
  auto quietUntil = start + std::chrono::milliseconds(kDiscoveryReplyTimeoutMS);
  while (!replies.stopped) {
    const int wait = sMSLeft(std::min(end, quietUntil));
    if (wait == 0)
      break;
    pollfd p{listener.fd(), POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      break;
    // One byte more than a reply, so that a longer datagram shows as such.
    uint8_t datagram[kDatagramSize + 1];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(listener.fd(), datagram, sizeof datagram, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        continue;
      break;
    }
    // Only replies keep the search listening; anything else sent to the
    // port neither ends it nor draws it out.
    if (aDiscovery_HandleReply(&replies, datagram, static_cast<size_t>(n), from.sin_addr.s_addr))
      quietUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscoveryReplyTimeoutMS);
  }
  e.count = replies.count;
}

// --- Find ---------------------------------------------------------------------

bool sMatchSerial(const linkSpec* candidate, bool* success, void* ref) {
  auto* wanted = static_cast<linkSpec*>(ref);
  if (candidate->serialNumber != wanted->serialNumber)
    return true;
  std::memcpy(wanted, candidate, sizeof(linkSpec));
  *success = true;
  return false;
}

bool sMatchFirst(const linkSpec* candidate, bool* success, void* ref) {
  if (candidate->serialNumber == 0)
    return true;
  std::memcpy(ref, candidate, sizeof(linkSpec));
  *success = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryCallback match, uint32_t networkInterface) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (!spec)
    return nullptr;
  spec->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, match, spec, networkInterface) == 0)
    aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
  if (!callback)
    return 0;
  Enumeration e{callback, ref};
  switch (type) {
    case LINK_USB:
      jvusb_enumerate(sUSBModule, &e);
      break;
    case LINK_TCPIP:
      sEnumerateTCPIP(e);
      break;
    case LINK_ALANIC:
      return aDiscovery_Enumerate_aLanicModules(callback, ref, networkInterface);
    default:
      break;
  }
  return e.count;
}

bool aDiscovery_DecodeReply(const uint8_t* data, size_t size, uint32_t from, linkSpec* spec) {
  if (!data || !spec || size < kMinimumReply)
    return false;
  // A clean record, so nothing can show through a shorter datagram.
  uint8_t reply[kDatagramSize] = {};
  reply[kModelOffset] = kModelMissing;
  std::memcpy(reply, data, std::min(size, kDatagramSize));
  *spec = linkSpec{};
  spec->type = LINK_TCPIP;
  spec->module = spec->router = reply[1];
  spec->port = aByteOrder::le16(reply + 2);
  spec->serialNumber = spec->routerSerialNumber = aByteOrder::le32(reply + 4);
  spec->model = reply[kModelOffset];
  spec->address = from;
  return true;
}

bool aDiscovery_Report(aDiscoverySearch* search, const linkSpec& spec) {
  search->seen.push_back(spec);
  bool success = false;
  search->stopped = !search->callback(&search->seen.back(), &success, search->ref);
  if (success)
    ++search->count;
  return !search->stopped;
}

bool aDiscovery_HandleReply(aDiscoverySearch* search, const uint8_t* data, size_t size, uint32_t from) {
  linkSpec spec;
  if (!search || search->stopped || !aDiscovery_DecodeReply(data, size, from, &spec))
    return false;
  for (const linkSpec& known : search->seen) {
    if (known.serialNumber == spec.serialNumber && known.address == spec.address && known.port == spec.port)
      return true;
  }
  aDiscovery_Report(search, spec);
  return true;
}

void aDiscovery_SetInterfaceListing(aDiscoveryListInterfacesProc list, aDiscoveryFreeInterfacesProc free) {
  const bool restore = !list || !free;
  sListInterfaces.store(restore ? ::getifaddrs : list);
  sFreeInterfaces.store(restore ? ::freeifaddrs : free);
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFind(type, serialNumber, sMatchSerial, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, sMatchFirst, networkInterface);
}
