// Shared-link discovery on the wire, each case in a fresh network namespace
// of scripts/netns (lo up, and a veth end 10.231.0.1 for the beacon), so the
// fixed discovery ports and port 8585 are ours alone. Servers are the real
// answering side on hand-built server records; the answerers that must
// misbehave write their datagrams by hand.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../discovery/NetnsPeer.h"
#include "DiscoveryFixture.h"
#include "aMulticast.h"

// libzmq is built without ThreadSanitizer: it hands messages between
// threads through lock-free queues the sanitizer cannot see, so every
// message allocated on one thread and freed on another reads as a race, as
// does a beacon sending the payload it was handed, and CZMQ's interface
// setting, read by a beacon while configuring and replaced after its answer
// came back through such a queue.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libzmq.so\n"
         "race:zsys_udp_send\n"
         "race:zsys_set_interface\n"
         "race:zsys_interface\n";
}

namespace {

using netdisc::AnswerBytes;
using netdisc::Collect;
using netdisc::Collected;
using netdisc::FindSerial;
using netdisc::ServerRecord;

const std::vector<uint8_t> kMagic = {0xBA, 0xDC, 0xCD, 0xAB};

// UDP datagrams this namespace has sent (IGMP reports for the group, which
// the kernel sends when a probe joins it, are not datagrams).
uint64_t DatagramsSent() {
  std::ifstream in("/proc/net/snmp");
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Udp: ", 0) != 0) continue;
    std::istringstream fields(line.substr(5));
    if (names.empty()) {
      for (std::string name; fields >> name;) names.push_back(name);
      continue;
    }
    for (const std::string& name : names) {
      uint64_t value = 0;
      fields >> value;
      if (name == "OutDatagrams") return value;
    }
  }
  ADD_FAILURE() << "no UDP counters in /proc/net/snmp";
  return 0;
}

sockaddr_in Endpoint(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}

// A UDP socket on the loopback multicast group: bound to port (when not 0)
// and a member of the group, sending out of 127.0.0.1.
int GroupSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in any = Endpoint(htonl(INADDR_ANY), port);
  ip_mreq join{};
  join.imr_multiaddr.s_addr = kDiscoveryMulticastGroupAddress;
  join.imr_interface.s_addr = kDiscoveryLoopbackAddress;
  in_addr out{kDiscoveryLoopbackAddress};
  const unsigned char one = 1;
  if ((port && bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &one, sizeof one) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendToGroup(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
  const sockaddr_in to = Endpoint(kDiscoveryMulticastGroupAddress, port);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// The next datagram on fd within ms, or none.
bool ReceiveWithin(int fd, int ms, std::vector<uint8_t>& bytes) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  bytes.assign(1024, 0);
  const ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
  if (n < 0) return false;
  bytes.resize(static_cast<size_t>(n));
  return true;
}

// Holds multicast slot `slot` and answers every request it receives with
// the given bytes, keeping what the requests held.
class RawAnswerer {
 public:
  RawAnswerer(int slot, std::vector<uint8_t> answer)
      : m_slot(slot),
        m_answer(std::move(answer)),
        m_socket(GroupSocket(static_cast<uint16_t>(kDiscoveryMulticastRequestPort + slot))) {
    if (m_socket < 0 || pipe(m_stop) != 0) return;
    m_thread = std::thread([this] { run(); });
  }
  ~RawAnswerer() {
    if (m_thread.joinable()) {
      const char stop = 0;
      (void)!write(m_stop[1], &stop, 1);
      m_thread.join();
      close(m_stop[0]);
      close(m_stop[1]);
    }
    if (m_socket >= 0) close(m_socket);
  }
  bool ready() const { return m_thread.joinable(); }
  std::vector<std::vector<uint8_t>> requests() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
  }

 private:
  void run() {
    for (;;) {
      pollfd p[2] = {{m_socket, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN)) return;
      std::vector<uint8_t> request(64);
      const ssize_t n = recv(m_socket, request.data(), request.size(), 0);
      if (n < 0) continue;
      request.resize(static_cast<size_t>(n));
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requests.push_back(request);
      }
      SendToGroup(m_socket, static_cast<uint16_t>(kDiscoveryMulticastAnswerPort + m_slot), m_answer);
    }
  }

  int m_slot;
  std::vector<uint8_t> m_answer;
  int m_socket;
  int m_stop[2] = {-1, -1};
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::vector<uint8_t>> m_requests;
};

// Does for a beacon server what the server's broker does: answers the
// beacon when it is readable and applies the silence rule after every wake.
void TestBroker(zsock_t* pipe, void* arg) {
  auto* server = static_cast<aServer*>(arg);
  zpoller_t* poller = zpoller_new(pipe, server->discoveryResponder, nullptr);
  zsock_signal(pipe, 0);
  while (poller) {
    void* ready = zpoller_wait(poller, 1000);
    if (ready == pipe || zpoller_terminated(poller)) break;
    if (ready == server->discoveryResponder) _serverWorker_broker_beacon(server);
    _serverWorker_broker_silence(server);
  }
  zpoller_destroy(&poller);
}

// A server's discovery side, started as server start-up starts it.
class TestServer {
 public:
  TestServer(uint32_t serial, uint8_t model, uint16_t frontPort, bool localOnly, uint32_t networkInterface = 0)
      : m_record(serial, frontPort, localOnly, networkInterface) {
    m_started = _configureInterface(server()) == aErrNone;
    if (m_started && server()->beacon) m_broker = zactor_new(TestBroker, server());
    server()->model = model;
  }
  ~TestServer() {
    if (m_broker) zactor_destroy(&m_broker);
    _stopDiscoveryResponder(server());
  }
  bool started() const { return m_started; }
  aServer* server() { return m_record.server.get(); }

 private:
  ServerRecord m_record;
  bool m_started = false;
  zactor_t* m_broker = nullptr;
};

class SharedLinkDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = netns::Unavailable();
    if (!why.empty()) GTEST_SKIP() << "netdisc: skipped: " << why;
    m_hostAddress = netns::Address(netns::Env("JV_NETNS_HOST_ADDR"));
    m_hostInterface = netns::Env("JV_NETNS_HOST_IF");
  }
  void TearDown() override {
    if (m_linkDown) setLink("up");
  }

  Collected search(uint32_t networkInterface, uint8_t* count = nullptr) {
    Collected c;
    const uint8_t n = aDiscovery_EnumerateModules(LINK_ALANIC, Collect, &c, networkInterface);
    if (count) *count = n;
    return c;
  }

  void setLink(const char* state) {
    const std::string command = "ip link set " + m_hostInterface + " " + state;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    m_linkDown = std::string(state) == "down";
  }

  uint32_t m_hostAddress = 0;
  std::string m_hostInterface;
  bool m_linkDown = false;
};

void ExpectSpec(const linkSpec* spec, uint32_t serial, uint32_t model, uint32_t address, uint32_t port) {
  ASSERT_NE(spec, nullptr) << "serial " << serial << " was not found";
  const std::vector<uint8_t> expected = AnswerBytes(serial, model, address, port);
  EXPECT_EQ(std::memcmp(spec, expected.data(), expected.size()), 0) << "serial " << serial;
}

// --- Local multicast -----------------------------------------------------------

TEST_F(SharedLinkDiscovery, NoServerMeansNoRequest) {
  const uint64_t before = DatagramsSent();
  uint8_t count = 1;
  const Collected found = search(0, &count);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(found.specs.empty());
  EXPECT_EQ(DatagramsSent(), before) << "a request went out although no slot was held";
}

TEST_F(SharedLinkDiscovery, TwoLocalServersAnswerOneSearch) {
  TestServer first(0x40F5849A, 0x13, 40001, true);
  TestServer second(0x0000BEEF, 0x05, 40002, true);
  ASSERT_TRUE(first.started() && second.started());
  EXPECT_FALSE(first.server()->beacon);
  EXPECT_EQ(first.server()->beaconHost, kDiscoveryLoopbackAddress);
  // The second server took the next slot.
  aMulticast* probe = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, kDiscoveryMulticastRequestPort + 1, false);
  EXPECT_EQ(probe, nullptr) << "port 9851 is not held";
  if (probe) aMulticast_Destroy(&probe);

  for (uint32_t networkInterface : {0u, kDiscoveryLoopbackAddress}) {
    SCOPED_TRACE(networkInterface);
    uint8_t count = 0;
    const Collected found = search(networkInterface, &count);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(found.specs.size(), 2u);
    ExpectSpec(FindSerial(found, 0x40F5849A), 0x40F5849A, 0x13, kDiscoveryLoopbackAddress, 40001);
    ExpectSpec(FindSerial(found, 0x0000BEEF), 0x0000BEEF, 0x05, kDiscoveryLoopbackAddress, 40002);
  }
  // The find functions ride on the same search.
  linkSpec* spec = aDiscovery_FindModule(LINK_ALANIC, 0x0000BEEF, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->port, 40002u);
  aLinkSpec_Destroy(&spec);
}

TEST_F(SharedLinkDiscovery, AServerAnswersOnceItsModelIsSet) {
  TestServer server(0x77, 0, 40003, true);
  ASSERT_TRUE(server.started());
  EXPECT_TRUE(search(0).specs.empty());
  server.server()->model = 0x21;
  ExpectSpec(FindSerial(search(0), 0x77), 0x77, 0x21, kDiscoveryLoopbackAddress, 40003);
}

TEST_F(SharedLinkDiscovery, SearchDropsBadAnswersAndRepeats) {
  const uint32_t remote = 0x0200E70A;
  std::vector<uint8_t> short127 = AnswerBytes(0x10, 1, kDiscoveryLoopbackAddress, 1);
  short127.resize(127);
  std::vector<uint8_t> long129 = AnswerBytes(0x11, 1, kDiscoveryLoopbackAddress, 1);
  long129.push_back(0);
  RawAnswerer answerers[] = {
      {0, short127},
      {1, long129},
      {2, AnswerBytes(0x12, 1, remote, 1)},
      {3, AnswerBytes(0x13, 2, kDiscoveryLoopbackAddress, 3)},
      {4, AnswerBytes(0x13, 9, kDiscoveryLoopbackAddress, 9)},
      {5, AnswerBytes(0x14, 4, kDiscoveryLoopbackAddress, 5)},
  };
  for (auto& a : answerers) ASSERT_TRUE(a.ready());

  uint8_t count = 0;
  const Collected found = search(0, &count);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(found.specs.size(), 2u);
  ExpectSpec(&found.specs[0], 0x13, 2, kDiscoveryLoopbackAddress, 3);
  ExpectSpec(&found.specs[1], 0x14, 4, kDiscoveryLoopbackAddress, 5);
  for (auto& a : answerers) EXPECT_EQ(a.requests(), std::vector<std::vector<uint8_t>>{kMagic});

  // A callback that stops at the first server ends the search there.
  Collected first;
  first.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(LINK_ALANIC, Collect, &first, 0), 1);
  ASSERT_EQ(first.specs.size(), 1u);
  EXPECT_EQ(first.specs[0].serialNumber, 0x13u);
  EXPECT_EQ(answerers[4].requests().size(), 1u) << "slot 4 was asked after the callback stopped";
}

TEST_F(SharedLinkDiscovery, ResponderAnswersOnlyTheMagic) {
  TestServer server(0xABCD, 0x42, 40123, true);
  ASSERT_TRUE(server.started());
  const int fd = GroupSocket(kDiscoveryMulticastAnswerPort);
  ASSERT_GE(fd, 0);
  SendToGroup(fd, kDiscoveryMulticastRequestPort, {0xBA, 0xDC, 0xCD, 0xAB, 0x00});
  SendToGroup(fd, kDiscoveryMulticastRequestPort, {0xAB, 0xCD, 0xDC, 0xBA});
  SendToGroup(fd, kDiscoveryMulticastRequestPort, {0xBA, 0xDC, 0xCD});
  SendToGroup(fd, kDiscoveryMulticastRequestPort, kMagic);
  std::vector<uint8_t> answer;
  ASSERT_TRUE(ReceiveWithin(fd, 10000, answer)) << "the magic value was not answered";
  EXPECT_EQ(answer, AnswerBytes(0xABCD, 0x42, kDiscoveryLoopbackAddress, 40123));
  EXPECT_FALSE(ReceiveWithin(fd, 1500, answer)) << "a request other than the magic value was answered";
  close(fd);
}

TEST_F(SharedLinkDiscovery, WithoutAListedInterfaceMulticastServes) {
  setLink("down");
  uint32_t listed[kDiscoveryMaxInterfaces];
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(listed, kDiscoveryMaxInterfaces), 0u);
  TestServer server(0x5150, 0x13, 40004, false, m_hostAddress);
  ASSERT_TRUE(server.started());
  EXPECT_FALSE(server.server()->beacon);
  EXPECT_EQ(server.server()->networkInterface, m_hostAddress) << "the interface keeps its value";
  // A search on that interface finds no beacon interface either and looks
  // on this host instead.
  ExpectSpec(FindSerial(search(m_hostAddress), 0x5150), 0x5150, 0x13, kDiscoveryLoopbackAddress, 40004);
}

// --- Beacon ------------------------------------------------------------------------

TEST_F(SharedLinkDiscovery, BeaconServerServesTheFirstListedInterface) {
  uint32_t listed[kDiscoveryMaxInterfaces];
  ASSERT_EQ(aDiscovery_GetIPv4Interfaces(listed, kDiscoveryMaxInterfaces), 1u);
  EXPECT_EQ(listed[0], m_hostAddress);
  TestServer server(0x40F5849A, 0x13, 40005, false, 0);
  ASSERT_TRUE(server.started());
  EXPECT_TRUE(server.server()->beacon);
  EXPECT_EQ(server.server()->networkInterface, m_hostAddress);
  EXPECT_EQ(server.server()->beaconHost, m_hostAddress);

  ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
  zBeaconInterface_unlock();
  uint8_t count = 0;
  const Collected found = search(m_hostAddress, &count);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(found.specs.size(), 1u) << "the answer repeated every 100 ms is reported once";
  ExpectSpec(&found.specs[0], 0x40F5849A, 0x13, m_hostAddress, 40005);
  EXPECT_EQ(zBeaconInterface_get(), "*") << "the search did not restore the interface setting";
}

TEST_F(SharedLinkDiscovery, TwoBeaconServersAnswerOneSearchAndOtherPayloadsAreIgnored) {
  TestServer first(0x1001, 0x13, 40006, false, m_hostAddress);
  TestServer second(0x1002, 0x07, 40007, false, m_hostAddress);
  ASSERT_TRUE(first.started() && second.started());
  // Beacons that publish what is no answer: another client's tag and a
  // payload one byte short of an answer.
  std::vector<zactor_t*> others;
  const std::string otherTag = "Xorvanite2-Discovery";
  std::vector<uint8_t> short127 = AnswerBytes(0x1003, 1, m_hostAddress, 1);
  short127.resize(127);
  for (const std::vector<uint8_t>& payload : {std::vector<uint8_t>(otherTag.begin(), otherTag.end()), short127}) {
    ASSERT_TRUE(zBeaconInterface_setAndLock(netns::Env("JV_NETNS_HOST_ADDR")));
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(kDiscoveryBeaconPort));
    char* host = zstr_recv(beacon);
    zBeaconInterface_unlock();
    zstr_free(&host);
    zsock_send(beacon, "sbi", "PUBLISH", payload.data(), payload.size(), 100);
    others.push_back(beacon);
  }
  uint8_t count = 0;
  const Collected found = search(m_hostAddress, &count);
  for (zactor_t*& beacon : others) zactor_destroy(&beacon);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(found.specs.size(), 2u);
  ExpectSpec(FindSerial(found, 0x1001), 0x1001, 0x13, m_hostAddress, 40006);
  ExpectSpec(FindSerial(found, 0x1002), 0x1002, 0x07, m_hostAddress, 40007);
}

TEST_F(SharedLinkDiscovery, BeaconServerWaitsForItsModel) {
  TestServer server(0x2002, 0, 40008, false, m_hostAddress);
  ASSERT_TRUE(server.started());
  EXPECT_TRUE(search(m_hostAddress).specs.empty());
  server.server()->model = 0x13;
  ExpectSpec(FindSerial(search(m_hostAddress), 0x2002), 0x2002, 0x13, m_hostAddress, 40008);
}

TEST_F(SharedLinkDiscovery, ABeaconSearchOnAForeignAddressFindsNothing) {
  TestServer server(0x3003, 0x13, 40009, true);
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(zBeaconInterface_setAndLock(""));
  zBeaconInterface_unlock();
  uint8_t count = 1;
  const Collected found = search(netns::Address("10.231.9.9"), &count);
  EXPECT_EQ(count, 0) << "the local server is not searched by beacon";
  EXPECT_TRUE(found.specs.empty());
  EXPECT_EQ(zBeaconInterface_get(), "");
}

}  // namespace
