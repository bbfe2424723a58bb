// Link creation and the link table against the simulated module: TCP,
// serial and USB (driver node and libusb seam), sharing, teardown order.
#include <filesystem>

#include "DarkPort.h"
#include "aLinkTableInternal.h"
#include "aStreamSocket.h"
#include "aUSB.h"
#include "aUSBNodeSeam.h"
#include "link_fixture.h"

namespace linktest {
namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

std::string nodeFormat() {
  return (std::filesystem::temp_directory_path() / ("jvlink-" + std::to_string(getpid()) + "-%08X")).string();
}
std::string nodePath(uint32_t serial) {
  char buf[512];
  std::snprintf(buf, sizeof buf, nodeFormat().c_str(), serial);
  return buf;
}

// The next id the table will hand out (consumes one).
aLinkRef probeNextId() {
  aLinkRef r = aLink_Create(nullptr);  // refused before an entry is made
  EXPECT_EQ(r, 0u);
  aLinkRef bad = aLink_CreateSerial(0xFEEDF00D, "/nonexistent/tty", 115200);
  EXPECT_EQ(bad, 0u);
  return bad;
}

TEST(LinkTableTcpTest, SharedLinkIsTornDownByTheLastDestroyOnly) {
  auto sim = SimModule::overTcp("127.0.0.2", 0);
  sim->start();
  const uint32_t addr = ipv4("127.0.0.2");
  aLinkRef a = aLink_CreateTCPIP(addr, sim->tcp()->port());
  ASSERT_NE(a, 0u);
  // The same address and port: the open link.
  aLinkRef b = aLink_CreateTCPIP(addr, sim->tcp()->port());
  EXPECT_EQ(b, a);
  EXPECT_EQ(aLink_LookupEntry(a)->userCount, 2);
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(echo(a, {0x01}), (Bytes{0x17, 0x01}));
  EXPECT_EQ(sim->transcript().count(Dir::In, {0xAF, 0x01, 0x00}), 0u);
  const aLinkRef gone = a;
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
  EXPECT_EQ(aLink_LookupEntry(gone), nullptr);
  // Opened again, the module gets a new id: ids are never handed out twice.
  aLinkRef again = aLink_CreateTCPIP(addr, sim->tcp()->port());
  EXPECT_GT(again, gone);
  aLink_Destroy(&again);
}

// Two modules behind one address (a gateway forwarding two ports): each
// port is its own link, and a second open of either shares its first.
TEST(LinkTableTcpTest, LinksAreSharedByAddressAndPort) {
  jvsim::SimConfig first, second;
  first.serial = 0x11111111;
  second.serial = 0x22222222;
  auto simA = SimModule::overTcp("127.0.0.2", 0, first);
  auto simB = SimModule::overTcp("127.0.0.2", 0, second);
  simA->start();
  simB->start();
  const uint32_t addr = ipv4("127.0.0.2");
  aLinkRef a = aLink_CreateTCPIP(addr, simA->tcp()->port());
  aLinkRef b = aLink_CreateTCPIP(addr, simB->tcp()->port());
  aLinkRef again = aLink_CreateTCPIP(addr, simA->tcp()->port());
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(b, a);
  EXPECT_EQ(again, a);
  EXPECT_EQ(aLink_LookupEntry(a)->userCount, 2);
  EXPECT_EQ(aLink_LookupEntry(b)->userCount, 1);

  // Each link reaches its own module and no other.
  const struct {
    aLinkRef ref;
    uint8_t mark;
    SimModule* reached;
    SimModule* untouched;
  } cases[] = {{a, 0x0A, simA.get(), simB.get()}, {b, 0x0B, simB.get(), simA.get()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mark);
    EXPECT_EQ(echo(c.ref, {c.mark}), (Bytes{0x17, c.mark}));
    EXPECT_EQ(c.reached->transcript().count(Dir::In, {0x04, 0x02, 0x17, c.mark}), 1u);
    EXPECT_EQ(c.untouched->transcript().count(Dir::In, {0x04, 0x02, 0x17, c.mark}), 0u);
  }
  aLink_Destroy(&again);
  aLink_Destroy(&b);
  aLink_Destroy(&a);
}

TEST(LinkTableTcpTest, NothingListeningGivesNoLinkAndNoEntry) {
  // Bind a port and close it again so nothing listens there.
  uint16_t port;
  {
    jvsim::TcpTransport t("127.0.0.2", 0);
    port = t.port();
  }
  aLinkRef before = probeNextId();
  EXPECT_EQ(aLink_CreateTCPIP(ipv4("127.0.0.2"), port), 0u);
  EXPECT_EQ(aLink_LookupEntry(before + 1), nullptr);
  EXPECT_EQ(aLink_GetStatus(before + 1), linkStateNoStream);
}

// A module that reset its connection and then fell dark: the receive
// thread is reconnecting to it when the last user destroys the link, and
// the destroy cuts the connect short instead of waiting it out.
TEST(LinkTableTcpTest, DestroyCutsShortAReconnectToADarkModule) {
  jvtest::DarkPort dark(true);
  ASSERT_TRUE(dark.ok());
  aLinkRef ref = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), dark.port());
  ASSERT_NE(ref, 0u);
  const int module = dark.accept();
  ASSERT_GE(module, 0);
  ASSERT_TRUE(dark.goDark());
  const linger drop{1, 0};
  ::setsockopt(module, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
  ::close(module);
  ASSERT_TRUE(dark.awaitConnectWaiting()) << "the link did not reconnect";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(aSOCKET_CONNECT_BOUND_MS / 2));
}

TEST(LinkTableSerialTest, RatesOutsideTheTableMakeNoEntry) {
  auto sim = SimModule::overPty();
  sim->start();
  const std::string path = sim->pty()->path();
  struct {
    uint32_t baud;
    bool ok;
  } cases[] = {{14400, false}, {0, false}, {115200, true}, {2400, true}, {230400, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    aLinkRef ref = aLink_CreateSerial(kSerial, path.c_str(), c.baud);
    if (!c.ok) {
      EXPECT_EQ(ref, 0u);
      continue;
    }
    ASSERT_NE(ref, 0u);
    EXPECT_EQ(echo(ref, {0x11, 0x22}), (Bytes{0x17, 0x11, 0x22}));
    aLink_Destroy(&ref);
  }
  aLinkRef next = probeNextId();
  EXPECT_EQ(aLink_LookupEntry(next - 1), nullptr);
}

TEST(LinkTableSerialTest, ResetOfASerialLinkFailsAndLeavesItStopped) {
  auto sim = SimModule::overPty();
  sim->start();
  aLinkRef ref = aLink_CreateSerial(kSerial, sim->pty()->path().c_str(), 115200);
  ASSERT_NE(ref, 0u);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Reset(ref), aErrParam);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 1900ms);
  EXPECT_EQ(aLink_GetStatus(ref), linkStateStopped);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(LinkTableKindTest, IdentifierOfAnotherKindIsNotShared) {
  // A TCP link whose address has the same 32-bit value as a serial number.
  auto tcp = SimModule::overTcp("127.0.0.2", 0);
  tcp->start();
  const uint32_t addr = ipv4("127.0.0.2");
  aLinkRef net = aLink_CreateTCPIP(addr, tcp->tcp()->port());
  ASSERT_NE(net, 0u);
  auto pty = SimModule::overPty();
  pty->start();
  aLinkRef serial = aLink_CreateSerial(addr, pty->pty()->path().c_str(), 115200);
  ASSERT_NE(serial, 0u);
  EXPECT_NE(serial, net);
  EXPECT_EQ(aLink_LookupEntry(net)->userCount, 1);
  // Each reaches its own module.
  EXPECT_EQ(echo(serial, {0x5E}), (Bytes{0x17, 0x5E}));
  EXPECT_EQ(pty->stats().echoes, 1u);
  EXPECT_EQ(tcp->stats().echoes, 0u);
  aLink_Destroy(&serial);
  aLink_Destroy(&net);
}

TEST(LinkTableClientTest, ClientReferenceSharesThatLinkOnly) {
  auto sim = SimModule::overTcp("127.0.0.2", 0);
  sim->start();
  aLinkRef router = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim->tcp()->port());
  ASSERT_NE(router, 0u);
  // Whatever address and port: the reference decides.
  aLinkRef shared = aLink_CreateClient(ipv4("127.0.0.9"), 1, router);
  EXPECT_EQ(shared, router);
  EXPECT_EQ(aLink_LookupEntry(router)->userCount, 2);
  EXPECT_EQ(aLink_CreateClient(0, 0, 0xFFFFFFF0u), 0u);
  // Reference 0: a new client link every time, also to one and the same server.
  aLinkRef first = aLink_CreateClient(ipv4("127.0.0.1"), 9, 0);
  aLinkRef second = aLink_CreateClient(ipv4("127.0.0.1"), 9, 0);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_NE(aLink_LookupEntry(first)->clientIndex, aLink_LookupEntry(second)->clientIndex);
  aLink_Destroy(&first);
  aLink_Destroy(&second);
  uint16_t port = 0;
  uint32_t iface = ipv4("127.0.0.1");
  EXPECT_EQ(aLink_CreateServer(kSerial, &port, &iface, true), 0u);
  EXPECT_EQ(aLink_CreateServer(kSerial, nullptr, &iface, true), 0u);
  aLink_Destroy(&shared);
  aLink_Destroy(&router);
}

// ---- USB ---------------------------------------------------------------

class UsbNodeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(jvusb_set_node_path_format(nodeFormat().c_str()), aErrNone); }
  void TearDown() override { jvusb_set_node_path_format(nullptr); }
};

TEST_F(UsbNodeTest, CreateOverTheDriverNodeSynchronises) {
  auto sim = SimModule::overPty(nodePath(kSerial));
  sim->start();
  aLinkRef ref = aLink_CreateUSB(kSerial);
  ASSERT_NE(ref, 0u) << sim->transcript().text();
  EXPECT_EQ(aLink_GetStatus(ref), linkStateRunning);
  EXPECT_EQ(sim->forceRoutes(), (std::vector<uint8_t>{1}));
  EXPECT_GE(sim->stats().syncQueries, 6u);
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);  // the spare sync answers were drained
  EXPECT_EQ(echo(ref, {0xAB}), (Bytes{0x17, 0xAB}));
  aLink_Destroy(&ref);
  EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
}

TEST_F(UsbNodeTest, SilentModuleFailsInAboutTwoSecondsAndLeavesNoEntry) {
  auto sim = SimModule::overPty(nodePath(kSerial));
  sim->faults().silent = true;
  sim->start();
  aLinkRef before = probeNextId();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 4s);
  EXPECT_EQ(aLink_LookupEntry(before + 1), nullptr);
  // It still told the module it was leaving.
  EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
}

TEST_F(UsbNodeTest, TwoCreatesShareOneIdAndOnlyTheLastDestroyLeaves) {
  auto sim = SimModule::overPty(nodePath(kSerial));
  sim->start();
  aLinkRef a = aLink_CreateUSB(kSerial);
  ASSERT_NE(a, 0u);
  aLinkRef b = aLink_CreateUSB(kSerial);
  EXPECT_EQ(a, b);
  aLink_Destroy(&a);
  EXPECT_EQ(echo(b, {0x02}), (Bytes{0x17, 0x02}));
  EXPECT_EQ(sim->transcript().count(Dir::In, {0xAF, 0x01, 0x00}), 0u);
  aLink_Destroy(&b);
  EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
  EXPECT_EQ(sim->forceRoutes(), (std::vector<uint8_t>{1, 0}));
}

TEST_F(UsbNodeTest, ResetReopensAModuleThatLeftAndCameBack) {
  auto sim = SimModule::overPty(nodePath(kSerial));
  sim->start();
  aLinkRef ref = aLink_CreateUSB(kSerial);
  ASSERT_NE(ref, 0u);
  const aLinkRef id = ref;
  // The module goes away; its node now names a new terminal. The old one is
  // hung up: nothing the link sends arrives.
  sim->dropConnection();
  ASSERT_TRUE(sim->transcript().waitForEvent("disconnect (dropped)", 1, 2s));
  EXPECT_TRUE(echo(ref, {0x76}, 300).empty());
  EXPECT_EQ(aLink_Reset(ref), aErrNone);
  EXPECT_EQ(ref, id);
  EXPECT_EQ(aLink_GetStatus(ref), linkStateRunning);
  EXPECT_EQ(echo(ref, {0x77}), (Bytes{0x17, 0x77}));
  // The reset's force route 0 went to the hung-up terminal; the restart's 1 arrived.
  EXPECT_EQ(sim->forceRoutes(), (std::vector<uint8_t>{1, 1}));
  aLink_Destroy(&ref);
}

TEST(UsbSeamTest, CreateOverTheLibusbSeamSynchronises) {
  auto sim = SimModule::overPipe();
  sim->start();
  {
    aUSBScript script({aUSBScriptDevice::Module("0012ABCD")});
    UsbBridge bridge(script, 0, sim->pipeTransport()->pipe());
    aLinkRef ref = aLink_CreateUSB(kSerial);
    ASSERT_NE(ref, 0u) << sim->transcript().text();
    EXPECT_EQ(sim->forceRoutes(), (std::vector<uint8_t>{1}));
    EXPECT_EQ(echo(ref, {0x10, 0x20}), (Bytes{0x17, 0x10, 0x20}));
    aLink_Destroy(&ref);
    EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, 1, 2s));
    EXPECT_TRUE(script.misuses().empty());
  }
}

// ---- concurrency -------------------------------------------------------

TEST(LinkTableRaceTest, ConcurrentLastDestroysTearDownOnce) {
  auto sim = SimModule::overTcp("127.0.0.2", 0);
  sim->start();
  const uint32_t addr = ipv4("127.0.0.2");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    constexpr int kUsers = 8;
    aLinkRef first = aLink_CreateTCPIP(addr, sim->tcp()->port());
    ASSERT_NE(first, 0u);
    std::vector<aLinkRef> refs(kUsers, first);
    for (int i = 1; i < kUsers; ++i) ASSERT_EQ(aLink_CreateTCPIP(addr, sim->tcp()->port()), first);
    // Every user drops its use at once, plus two extra destroys of an id already going.
    std::atomic<int> ok{0}, refused{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kUsers + 2; ++i) {
      threads.emplace_back([&, i] {
        aLinkRef mine = first;
        while (!go) std::this_thread::yield();
        (aLink_Destroy(&mine) == aErrNone ? ok : refused)++;
        (void)i;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, kUsers);
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(aLink_LookupEntry(first), nullptr);
    EXPECT_TRUE(sim->transcript().waitFor(Dir::In, {0xAF, 0x01, 0x00}, static_cast<size_t>(round + 1), 2s));
  }
  EXPECT_EQ(sim->transcript().count(Dir::In, {0xAF, 0x01, 0x00}), 5u);
}

TEST(LinkTableRaceTest, CreatesAndDestroysFromManyThreads) {
  // Distinct modules on distinct addresses, each opened and closed by its own thread.
  std::vector<std::unique_ptr<SimModule>> sims;
  for (int i = 0; i < 4; ++i) {
    sims.push_back(SimModule::overTcp("127.0.0." + std::to_string(10 + i), 0));
    sims.back()->start();
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      const std::string host = "127.0.0." + std::to_string(10 + i);
      for (int k = 0; k < 3; ++k) {
        aLinkRef ref = aLink_CreateTCPIP(ipv4(host.c_str()), sims[i]->tcp()->port());
        if (!ref || echo(ref, {static_cast<uint8_t>(k)}).empty()) failures++;
        aLink_Destroy(&ref);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace linktest
