// Module enumeration over USB and over the network.

#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "aByteOrder.h"
#include "aNetworkDiscovery.h"
#include "aUSB.h"

namespace {

constexpr size_t kDatagramSize = 16;
// A reply must reach the serial number's last byte to be used; a shorter
// one would leave the serial number and port unset.
constexpr ssize_t kMinimumReply = 8;
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
  if (!copy) return true;
  bool success = false;
  const bool more = e.callback(copy, &success, e.ref);
  if (success) ++e.count;
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
    if (m_fd >= 0) ::close(m_fd);
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
  if (listener.fd() < 0 || !listener.reuseAddress()) return false;
  const sockaddr_in any = sAddress(htonl(INADDR_ANY), kDiscoveryReplyPort);
  if (::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) return false;
  timeval timeout{};
  timeout.tv_sec = kDiscoveryReplyTimeoutMS / 1000;
  timeout.tv_usec = (kDiscoveryReplyTimeoutMS % 1000) * 1000;
  return ::setsockopt(listener.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

// Sends one request, out of the interface with that address when one is
// given (else through the system's default multicast interface).
bool sSendRequest(const in_addr* interfaceAddress) {
  Socket sender;
  if (sender.fd() < 0 || !sender.reuseAddress()) return false;
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
  if (sListInterfaces.load()(&interfaces) != 0) return sSendRequest(nullptr);
  bool sent = false;
  for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK)) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    if (address.s_addr == htonl(INADDR_LOOPBACK) || address.s_addr == htonl(INADDR_ANY)) continue;
    if (sSendRequest(&address)) sent = true;
  }
  freeInterfaces(interfaces);
  return sent;
}

void sEnumerateTCPIP(Enumeration& e) {
  Socket listener;
  if (!sOpenListener(listener) || !sSendRequests()) return;
  for (;;) {
    // Every reply starts from a clean record, so nothing of the previous
    // one can show through a shorter datagram.
    uint8_t reply[kDatagramSize] = {};
    reply[kModelOffset] = kModelMissing;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(listener.fd(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n < kMinimumReply) continue;
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.module = spec.router = reply[1];
    spec.port = aByteOrder::le16(reply + 2);
    spec.serialNumber = spec.routerSerialNumber = aByteOrder::le32(reply + 4);
    spec.model = reply[kModelOffset];
    spec.address = from.sin_addr.s_addr;
    if (!sReport(e, spec)) break;
  }
}

// --- Find ---------------------------------------------------------------------

bool sMatchSerial(const linkSpec* candidate, bool* success, void* ref) {
  auto* wanted = static_cast<linkSpec*>(ref);
  if (candidate->serialNumber != wanted->serialNumber) return true;
  std::memcpy(wanted, candidate, sizeof(linkSpec));
  *success = true;
  return false;
}

bool sMatchFirst(const linkSpec* candidate, bool* success, void* ref) {
  if (candidate->serialNumber == 0) return true;
  std::memcpy(ref, candidate, sizeof(linkSpec));
  *success = true;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryCallback match, uint32_t networkInterface) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (!spec) return nullptr;
  spec->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, match, spec, networkInterface) == 0) aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                    uint32_t networkInterface) {
  if (!callback) return 0;
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
