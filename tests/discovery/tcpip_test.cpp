// TCP/IP module enumeration against simulated network-attached modules in
// the peer namespace of scripts/netns.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "NetnsPeer.h"
#include "aDiscovery.h"
#include "aDiscoverySeam.h"

namespace {

const std::string kResponder = std::string(JV_BINARY_DIR) + "/sim/udpresponder/udpresponder";

struct SimModule {
  uint32_t serial;
  uint8_t address;
  uint16_t port;
  uint8_t model;
  std::string from;
  size_t length = 16;
  int repeat = 1;
};

std::string Spec(const SimModule& m) {
  return "serial=" + std::to_string(m.serial) + ",address=" + std::to_string(m.address) +
         ",port=" + std::to_string(m.port) + ",model=" + std::to_string(m.model) + ",from=" + m.from +
         ",length=" + std::to_string(m.length) + ",repeat=" + std::to_string(m.repeat);
}

struct Collected {
  std::vector<linkSpec> specs;
  size_t stopAfter = 1000;
};

bool Collect(const linkSpec* spec, bool* success, void* ref) {
  auto* c = static_cast<Collected*>(ref);
  c->specs.push_back(*spec);
  *success = true;
  return c->specs.size() < c->stopAfter;
}

uint64_t LoopbackPacketsSent() {
  std::ifstream in("/sys/class/net/lo/statistics/tx_packets");
  uint64_t n = 0;
  in >> n;
  return n;
}

class TcpipDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = netns::Unavailable();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
    m_peers = netns::PeerAddresses();
    ASSERT_GE(m_peers.size(), 3u);
  }

  // Starts the responder answering as these modules; extra switches follow.
  void start(const std::vector<SimModule>& modules, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kResponder, "--listen", m_peers[0], "--lifetime", "30"};
    for (const auto& m : modules) {
      args.push_back("--module");
      args.push_back(Spec(m));
    }
    args.insert(args.end(), extra.begin(), extra.end());
    m_responder = std::make_unique<netns::PeerProcess>(args);
    ASSERT_TRUE(m_responder->waitFor("ready")) << "the responder did not start";
  }

  // The responder's transcript lines that report requests.
  std::vector<std::string> requests() {
    std::vector<std::string> lines = m_responder->stop();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("request from ", 0) != 0; }),
                lines.end());
    return lines;
  }

  std::vector<std::string> m_peers;
  std::unique_ptr<netns::PeerProcess> m_responder;
};

TEST_F(TcpipDiscovery, FindsTwoModules) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}, {0x0012ABCD, 6, 4444, 0x0D, m_peers[1]}});
  Collected c;
  EXPECT_EQ(2, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  ASSERT_EQ(2u, c.specs.size());
  const struct {
    uint32_t serial;
    uint32_t module;
    uint32_t port;
    uint32_t model;
    std::string from;
  } expected[] = {{0x40F5849A, 4, 8000, 0x13, m_peers[0]}, {0x0012ABCD, 6, 4444, 0x0D, m_peers[1]}};
  for (size_t i = 0; i < 2; ++i) {
    const linkSpec& s = c.specs[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(LINK_TCPIP, s.type);
    EXPECT_EQ(expected[i].serial, s.serialNumber);
    EXPECT_EQ(expected[i].serial, s.routerSerialNumber);
    EXPECT_EQ(expected[i].module, s.module);
    EXPECT_EQ(expected[i].module, s.router);
    EXPECT_EQ(expected[i].port, s.port);
    EXPECT_EQ(expected[i].model, s.model);
    EXPECT_EQ(netns::Address(expected[i].from), s.address);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&s);
    EXPECT_TRUE(std::all_of(bytes + 32, bytes + 128, [](uint8_t b) { return b == 0; }));
  }
  // One well-formed request, from the host end of the veth.
  const std::vector<std::string> seen = requests();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ("request from " + std::string(netns::Env("JV_NETNS_HOST_ADDR")), seen[0].substr(0, seen[0].find(':')));
  EXPECT_NE(std::string::npos, seen[0].find("length 16 bytes 01000000000000000000000000000000"));
}

TEST_F(TcpipDiscovery, NoRequestOnLoopback) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}});
  const uint64_t before = LoopbackPacketsSent();
  Collected c;
  EXPECT_EQ(1, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  EXPECT_EQ(before, LoopbackPacketsSent());
  EXPECT_EQ(1u, requests().size());
}

// Reply lengths: a reply too short for byte 12 has no model (0xFF); one too
// short for the serial number is passed over and never inherits the fields
// of the reply before it.
struct LengthCase {
  const char* name;
  size_t length;
  bool reported;
  uint32_t model;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class TcpipReplyLength : public TcpipDiscovery, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(TcpipReplyLength, ReadAsASixteenByteRecord) {
  const LengthCase& l = GetParam();
  SimModule second{0x0012ABCD, 6, 4444, 0x0D, m_peers[1], l.length};
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}, second});
  Collected c;
  EXPECT_EQ(l.reported ? 2 : 1, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  ASSERT_EQ(l.reported ? 2u : 1u, c.specs.size());
  EXPECT_EQ(0x40F5849Au, c.specs[0].serialNumber);
  if (l.reported) {
    EXPECT_EQ(0x0012ABCDu, c.specs[1].serialNumber);
    EXPECT_EQ(4444u, c.specs[1].port);
    EXPECT_EQ(6u, c.specs[1].module);
    EXPECT_EQ(l.model, c.specs[1].model);
    EXPECT_EQ(netns::Address(m_peers[1]), c.specs[1].address);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, TcpipReplyLength,
                         ::testing::Values(LengthCase{"Full", 16, true, 0x0D}, LengthCase{"ModelIncluded", 13, true, 0x0D},
                                           LengthCase{"Twelve", 12, true, 0xFF}, LengthCase{"Eight", 8, true, 0xFF},
                                           LengthCase{"Seven", 7, false, 0}, LengthCase{"Two", 2, false, 0},
                                           LengthCase{"Empty", 0, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpipDiscovery, CallbackStopsTheSearch) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}, {0x0012ABCD, 6, 4444, 0x0D, m_peers[1]}});
  Collected c;
  c.stopAfter = 1;
  EXPECT_EQ(1, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  EXPECT_EQ(1u, c.specs.size());
}

TEST_F(TcpipDiscovery, FindFunctions) {
  start({{0, 2, 1000, 0x04, m_peers[0]}, {0x40F5849A, 4, 8000, 0x13, m_peers[1]},
         {0x0012ABCD, 6, 4444, 0x0D, m_peers[2]}},
        {"--requests", "3"});
  linkSpec* first = aDiscovery_FindFirstModule(LINK_TCPIP, 0);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(0x40F5849Au, first->serialNumber);
  aLinkSpec_Destroy(&first);

  linkSpec* found = aDiscovery_FindModule(LINK_TCPIP, 0x0012ABCD, 0);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(LINK_TCPIP, found->type);
  EXPECT_EQ(4444u, found->port);
  EXPECT_EQ(netns::Address(m_peers[2]), found->address);
  aLinkSpec_Destroy(&found);

  EXPECT_EQ(nullptr, aDiscovery_FindModule(LINK_TCPIP, 0x11111111, 0));
}

// Interface listings the requests are sent by: only IPv4 entries that are
// neither loopback nor unaddressed get one.
struct FakeInterface {
  const char* name;
  int family;
  const char* address;
  unsigned flags;
};

struct FakeListing {
  std::vector<ifaddrs> entries;
  std::vector<sockaddr_in> v4;
  std::vector<sockaddr_in6> v6;
  std::vector<std::string> names;
};

FakeListing* sListing = nullptr;

int ListFake(ifaddrs** out) {
  *out = sListing->entries.empty() ? nullptr : sListing->entries.data();
  return 0;
}

int ListFails(ifaddrs**) { return -1; }

void FreeNothing(ifaddrs*) {}

class TcpipInterfaces : public TcpipDiscovery {
 protected:
  void TearDown() override {
    aDiscovery_SetInterfaceListing(nullptr, nullptr);
    sListing = nullptr;
  }
};

TEST_F(TcpipInterfaces, OneRequestPerUsableEntry) {
  const std::string host = netns::Env("JV_NETNS_HOST_ADDR");
  const FakeInterface list[] = {
      {"lo", AF_INET, "127.0.0.1", IFF_UP | IFF_LOOPBACK},
      {"lo", AF_INET, "127.0.0.2", IFF_UP | IFF_LOOPBACK},
      {"unaddressed", AF_INET, "0.0.0.0", IFF_UP},
      {"v6", AF_INET6, nullptr, IFF_UP},
      {"noaddr", 0, nullptr, IFF_UP},
      {"jvhost0", AF_INET, host.c_str(), IFF_UP | IFF_MULTICAST},
  };
  FakeListing listing;
  const size_t n = std::size(list);
  listing.entries.resize(n);
  listing.v4.resize(n);
  listing.v6.resize(n);
  listing.names.resize(n);
  for (size_t i = 0; i < n; ++i) {
    ifaddrs& e = listing.entries[i];
    e = ifaddrs{};
    listing.names[i] = list[i].name;
    e.ifa_name = listing.names[i].data();
    e.ifa_flags = list[i].flags;
    if (list[i].family == AF_INET) {
      listing.v4[i].sin_family = AF_INET;
      listing.v4[i].sin_addr.s_addr = netns::Address(list[i].address);
      e.ifa_addr = reinterpret_cast<sockaddr*>(&listing.v4[i]);
    } else if (list[i].family == AF_INET6) {
      listing.v6[i].sin6_family = AF_INET6;
      e.ifa_addr = reinterpret_cast<sockaddr*>(&listing.v6[i]);
    }
    e.ifa_next = i + 1 < n ? &listing.entries[i + 1] : nullptr;
  }
  sListing = &listing;
  aDiscovery_SetInterfaceListing(ListFake, FreeNothing);

  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}});
  const uint64_t before = LoopbackPacketsSent();
  Collected c;
  EXPECT_EQ(1, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  EXPECT_EQ(before, LoopbackPacketsSent());
  EXPECT_EQ(1u, requests().size());
}

TEST_F(TcpipInterfaces, NoListingSendsOneRequestTheDefaultWay) {
  // The default way is the multicast route; give the host end one.
  const std::string route =
      std::string("ip route add 224.0.0.0/4 dev ") + netns::Env("JV_NETNS_HOST_IF") + " 2>/dev/null";
  ASSERT_EQ(0, system(route.c_str()));
  aDiscovery_SetInterfaceListing(ListFails, FreeNothing);
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}});
  Collected c;
  EXPECT_EQ(1, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  EXPECT_EQ(1u, requests().size());
}

TEST_F(TcpipDiscovery, SilentNetworkFindsNothing) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}}, {"--silent"});
  Collected c;
  EXPECT_EQ(0, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  EXPECT_TRUE(c.specs.empty());
  EXPECT_EQ(1u, requests().size());
}

// A module heard again from the same address and port is listed once; the
// same serial number from another address or port is another row, so that
// a second claim to it shows.
TEST_F(TcpipDiscovery, EachAddressAndPortOfAModuleIsListedOnce) {
  SimModule heardThrice{0x40F5849A, 4, 8000, 0x13, m_peers[0]};
  heardThrice.repeat = 3;
  SimModule otherAddress{0x40F5849A, 4, 8000, 0x13, m_peers[1]};
  otherAddress.repeat = 2;
  SimModule otherPort{0x40F5849A, 4, 8001, 0x13, m_peers[0]};
  start({heardThrice, otherAddress, otherPort});
  Collected c;
  EXPECT_EQ(3, aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0));
  const struct {
    std::string from;
    uint32_t port;
  } expected[] = {{m_peers[0], 8000}, {m_peers[1], 8000}, {m_peers[0], 8001}};
  ASSERT_EQ(std::size(expected), c.specs.size());
  for (const auto& e : expected) {
    SCOPED_TRACE(e.from + ":" + std::to_string(e.port));
    EXPECT_EQ(1, std::count_if(c.specs.begin(), c.specs.end(), [&](const linkSpec& s) {
                return s.address == netns::Address(e.from) && s.port == e.port && s.serialNumber == 0x40F5849A;
              }));
  }
}

// Something else on the host sends to the reply port every 1.5 s, for far
// longer than a search may last: the search still hears the module and
// ends within its bound.
struct NeighbourCase {
  const char* name;
  std::vector<uint8_t> datagram;
};

void PrintTo(const NeighbourCase& c, std::ostream* os) { *os << c.name; }

class TcpipNeighbour : public TcpipDiscovery, public ::testing::WithParamInterface<NeighbourCase> {};

TEST_P(TcpipNeighbour, SearchEndsWithinItsBound) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}});
  netns::ReplyPortSender neighbour(GetParam().datagram, std::chrono::milliseconds(1500), std::chrono::seconds(30));
  Collected c;
  const auto begin = std::chrono::steady_clock::now();
  aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &c, 0);
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
  std::printf("search with a neighbour (%s) took %lld ms\n", GetParam().name, static_cast<long long>(took));
  EXPECT_EQ(1, std::count_if(c.specs.begin(), c.specs.end(),
                             [](const linkSpec& s) { return s.serialNumber == 0x40F5849A; }));
  // The bound, and a second for a busy machine.
  EXPECT_LE(took, kDiscoveryWholeWaitMS + 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, TcpipNeighbour,
    ::testing::Values(NeighbourCase{"NotAReply", {0xDE, 0xAD}},
                      NeighbourCase{"ReplyOfAnotherModule",
                                    {0x02, 0x08, 0x10, 0x27, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0x13, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Searches started together in one process: each hears every module, round
// after round (they take turns on the reply port).
TEST_F(TcpipDiscovery, SearchesAtOnceEachHearEveryModule) {
  start({{0x40F5849A, 4, 8000, 0x13, m_peers[0]}, {0x0012ABCD, 6, 4444, 0x0D, m_peers[1]}}, {"--lifetime", "60"});
  constexpr int kSearches = 3;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::mutex mutex;
    std::condition_variable ready;
    int waiting = 0;
    std::vector<Collected> found(kSearches);
    std::vector<std::thread> searches;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kSearches; ++i) {
      searches.emplace_back([&, i] {
        {
          // All start at once: the last to arrive lets them go.
          std::unique_lock<std::mutex> lock(mutex);
          if (++waiting == kSearches) ready.notify_all();
          ready.wait(lock, [&] { return waiting == kSearches; });
        }
        aDiscovery_EnumerateModules(LINK_TCPIP, Collect, &found[i], 0);
      });
    }
    for (std::thread& t : searches) t.join();
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    std::printf("round %d: %d searches at once took %lld ms\n", round, kSearches, static_cast<long long>(took));
    for (int i = 0; i < kSearches; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(2u, found[i].specs.size());
    }
    // They take turns, each within its own bound.
    EXPECT_LE(took, kSearches * (kDiscoveryWholeWaitMS + 1000));
  }
}

}  // namespace
