// Shared-link discovery pieces that need no fixed port: address text, the
// beacon-interface lock, multicast endpoints on ephemeral ports, the
// handling of received answers and requests, and the beacon answer's
// publish and silence rule against a stand-in beacon.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DiscoveryFixture.h"
#include "aMulticast.h"
#include "aTime.h"

namespace {

using netdisc::AnswerBytes;
using netdisc::Collect;
using netdisc::Collected;
using netdisc::ServerRecord;

constexpr auto kGenerous = std::chrono::seconds(10);

// --- Address text ------------------------------------------------------------

TEST(ConvertIPv4Interface, WritesDottedTextIntoAClearedBuffer) {
  struct Case {
    uint32_t address;
    size_t length;
    const char* text;
    size_t result;
  };
  const Case cases[] = {
      {0x0100007F, 16, "127.0.0.1", 9},
      {0xFFFFFFFF, 16, "255.255.255.255", 15},
      {0x0100E70A, 32, "10.231.0.1", 10},
      {0x00000000, 16, "0.0.0.0", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(c.address, buffer, c.length), c.result);
    EXPECT_STREQ(buffer, c.text);
    // Nothing of what the buffer held survives within the given length.
    for (size_t i = c.result; i < c.length; ++i) EXPECT_EQ(buffer[i], '\0') << "at " << i;
  }
}

TEST(ConvertIPv4Interface, RefusesAShortOrMissingBufferUntouched) {
  char buffer[15];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, buffer, sizeof buffer), 0u);
  for (char c : buffer) EXPECT_EQ(c, 'x');
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, nullptr, 16), 0u);
}

TEST(GetIPv4Interfaces, NullArrayGivesNothing) { EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u); }

TEST(GetIPv4Interfaces, KeepsToTheCapacityAndListsNoLoopback) {
  uint32_t all[kDiscoveryMaxInterfaces];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(all, kDiscoveryMaxInterfaces);
  for (uint32_t i = 0; i < count; ++i) EXPECT_NE(all[i] & 0xFF, 127u) << "a loopback address was listed";
  uint32_t one[1] = {0xDEADBEEF};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(one, 1), count > 0 ? 1u : 0u);
  if (count > 0) {
    EXPECT_EQ(one[0], all[0]);
  }
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(one, 0), 0u);
}

// --- Beacon-interface lock ------------------------------------------------------

// True when another thread can take and release the lock (it is free).
bool LockIsFree() {
  auto taker = std::async(std::launch::async, [] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
  return taker.wait_for(kGenerous) == std::future_status::ready;
}

void SetInterface(const char* text) {
  ASSERT_TRUE(zBeaconInterface_setAndLock(text));
  zBeaconInterface_unlock();
}

TEST(BeaconInterface, AcceptsAddressesEmptyAndWildcardOnly) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"10.231.0.1", true}, {"", true},           {"*", true},          {"eth0", false}, {"lo", false},
      {"10.0.0", false},    {"256.1.1.1", false}, {"10.0.0.1 ", false}, {"**", false},
  };
  SetInterface("192.0.2.7");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    EXPECT_EQ(zBeaconInterface_setAndLock(c.text), c.valid);
    if (c.valid) {
      EXPECT_EQ(zBeaconInterface_get(), c.text);
      zBeaconInterface_unlock();
      SetInterface("192.0.2.7");
    } else {
      EXPECT_EQ(zBeaconInterface_get(), "192.0.2.7") << "a refused text changed the setting";
    }
    EXPECT_TRUE(LockIsFree());
  }
  EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
  EXPECT_FALSE(zBeaconInterface_backupSetAndLock("eth0"));
  EXPECT_TRUE(LockIsFree());
}

TEST(BeaconInterface, RestoreBringsBackTheSavedSetting) {
  SetInterface("192.0.2.1");
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.231.0.1"));
  EXPECT_EQ(zBeaconInterface_get(), "10.231.0.1");
  EXPECT_EQ(zBeaconInterface_getBackup(), "192.0.2.1");
  zBeaconInterface_restoreAndUnlock();
  EXPECT_EQ(zBeaconInterface_get(), "192.0.2.1");
  EXPECT_TRUE(LockIsFree());
  EXPECT_EQ(zBeaconInterface_getBackupAndLock(), "192.0.2.1");
  zBeaconInterface_unlock();
}

TEST(BeaconInterface, ASecondSetterWaitsForTheRestore) {
  SetInterface("192.0.2.1");
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.231.0.1"));
  std::promise<void> calling;
  std::atomic<bool> set{false};
  std::thread other([&] {
    calling.set_value();
    zBeaconInterface_setAndLock("192.0.2.99");
    set = true;
    zBeaconInterface_unlock();
  });
  calling.get_future().wait();
  // Gives a setter that ignored the lock time to show it; a correct one
  // waits however long this is.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(set) << "the setting changed while the lock was held";
  EXPECT_EQ(zBeaconInterface_get(), "10.231.0.1");
  zBeaconInterface_restoreAndUnlock();
  other.join();
  // Had the second setter not waited, the restore would have undone it.
  EXPECT_EQ(zBeaconInterface_get(), "192.0.2.99");
}

// --- Multicast endpoints ---------------------------------------------------------

uint16_t BoundPort(const aMulticast* m) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  getsockname(m->socket, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

TEST(Multicast, EachEndpointWorksOneWayOnly) {
  aMulticast* receiver = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, 0, false);
  ASSERT_NE(receiver, nullptr);
  aMulticast* sender = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, BoundPort(receiver), true);
  ASSERT_NE(sender, nullptr);
  uint8_t buffer[8] = {};
  EXPECT_EQ(aMulticast_Send(receiver, buffer, 4), kMulticastWrongWay);
  EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), kMulticastWrongWay);
  EXPECT_EQ(aMulticast_Send(nullptr, buffer, 4), kMulticastNoEndpoint);
  EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), kMulticastNoEndpoint);
  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
  EXPECT_EQ(sender, nullptr);
  EXPECT_EQ(aMulticast_Destroy(&sender), kMulticastNoEndpoint);
  EXPECT_EQ(aMulticast_Destroy(nullptr), kMulticastNoEndpoint);
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
}

// A receiver on an ephemeral port and a sender to it, over loopback.
class MulticastExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, 0, false);
    ASSERT_NE(receiver, nullptr);
    sender = aMulticast_Create(kDiscoveryLoopbackAddress, kDiscoveryMulticastGroupAddress, BoundPort(receiver), true);
    ASSERT_NE(sender, nullptr);
  }
  void TearDown() override {
    if (sender) aMulticast_Destroy(&sender);
    if (receiver) aMulticast_Destroy(&receiver);
  }
  static constexpr uint8_t request[] = {0xBA, 0xDC, 0xCD, 0xAB};
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
};

TEST_F(MulticastExchange, ExchangesOverLoopbackAndTimesOut) {
  ASSERT_EQ(aMulticast_Send(sender, request, sizeof request), 4);
  uint8_t got[16] = {};
  ASSERT_EQ(aMulticast_Receive(receiver, got, sizeof got), 4);
  EXPECT_EQ(std::memcmp(got, request, sizeof request), 0);
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), kMulticastError) << "nothing more was sent";
}

TEST(Multicast, AHeldPortCannotBeBoundAgain) {
  aMulticast* first = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, 0, false);
  ASSERT_NE(first, nullptr);
  aMulticast* second = aMulticast_Create(0, kDiscoveryMulticastGroupAddress, BoundPort(first), false);
  EXPECT_EQ(second, nullptr) << "two receivers share one discovery slot";
  aMulticast_Destroy(&first);
}

TEST(Multicast, RefusesAGroupThatIsNotIPv4Multicast) {
  // 127.0.0.1 is no group: joining it fails, and nothing is left open.
  EXPECT_EQ(aMulticast_Create(0, kDiscoveryLoopbackAddress, 0, false), nullptr);
}

// A process that takes a signal more often than the receive time-out, with a
// handler installed without SA_RESTART: each signal interrupts the wait on
// the receiving thread. A per-thread timer aims them at that thread only.
class SignalStorm {
 public:
  static constexpr int kSignal = SIGUSR2;
  SignalStorm() {
    struct sigaction action{};
    action.sa_handler = [](int) { taken.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    sigaction(kSignal, &action, &previous_);
  }
  ~SignalStorm() {
    stop();
    sigaction(kSignal, &previous_, nullptr);
  }
  // Starts signalling the calling thread every 20 ms.
  bool aimAtThisThread() {
    std::lock_guard<std::mutex> hold(mutex_);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = kSignal;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) return false;
    armed_ = true;
    itimerspec period{};
    period.it_interval.tv_nsec = 20'000'000;
    period.it_value.tv_nsec = 20'000'000;
    return timer_settime(timer_, 0, &period, nullptr) == 0;
  }
  void stop() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (armed_) timer_delete(timer_);
    armed_ = false;
  }
  static inline std::atomic<int> taken{0};

 private:
  struct sigaction previous_{};
  std::mutex mutex_;
  timer_t timer_{};
  bool armed_ = false;
};

TEST_F(MulticastExchange, ReceiveKeepsOneDeadlineThroughSignals) {
  struct Case {
    const char* what;
    bool send;
    int result;
  } cases[] = {
      {"a datagram sent while signals come is received", true, 4},
      {"silence ends after one second though signals come", false, kMulticastError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SignalStorm storm;
    const int before = SignalStorm::taken.load();
    std::promise<bool> aimed;
    std::atomic<int64_t> elapsedMs{0};
    auto received = std::async(std::launch::async, [&] {
      uint8_t got[16] = {};
      aimed.set_value(storm.aimAtThisThread());
      const auto start = std::chrono::steady_clock::now();
      const int n = aMulticast_Receive(receiver, got, sizeof got);
      elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                      .count();
      return n;
    });
    ASSERT_TRUE(aimed.get_future().get());
    if (c.send) {
      // Sent once the receiver has been interrupted a few times.
      while (SignalStorm::taken.load() < before + 5 &&
             received.wait_for(std::chrono::milliseconds(1)) == std::future_status::timeout) {
      }
      ASSERT_EQ(aMulticast_Send(sender, request, sizeof request), 4);
    }
    const bool ended = received.wait_for(kGenerous) == std::future_status::ready;
    storm.stop();  // lets a receive that never ends run into its time-out now
    const int result = received.get();
    ASSERT_TRUE(ended) << "the receive outlived its time-out by far";
    EXPECT_EQ(result, c.result);
    EXPECT_GT(SignalStorm::taken.load(), before);
    if (!c.send) {
      EXPECT_GE(elapsedMs.load(), kMulticastReceiveTimeoutMS - 10) << "the first signal ended the wait";
    }
  }
}

// --- Received answers -----------------------------------------------------------

TEST(HandleAnswer, ReportsExactAnswersOncePerSerialNumber) {
  struct Datagram {
    std::vector<uint8_t> bytes;
    bool local;
    bool reported;
  };
  auto answer = [](uint32_t serial, uint32_t address) { return AnswerBytes(serial, 0x13, address, 40000); };
  auto sized = [&](size_t size) {
    std::vector<uint8_t> b = answer(0x99, kDiscoveryLoopbackAddress);
    b.resize(size);
    return b;
  };
  const uint32_t remote = 0x0100E70A;
  const Datagram datagrams[] = {
      {sized(127), true, false},
      {sized(129), true, false},
      {sized(0), true, false},
      {sized(20), false, false},
      {answer(0x11, remote), true, false},                    // a local search keeps only 127.0.0.1...
      {answer(0x11, kDiscoveryLoopbackAddress), true, true},  // ...so this one is still new
      {answer(0x11, kDiscoveryLoopbackAddress), true, false},
      {answer(0x22, remote), false, true},
      {answer(0x22, kDiscoveryLoopbackAddress), false, false},
      {answer(0, kDiscoveryLoopbackAddress), true, true},
  };
  Collected collected;
  aDiscoverySearch search;
  search.callback = Collect;
  search.ref = &collected;
  size_t expected = 0;
  for (const Datagram& d : datagrams) {
    SCOPED_TRACE(::testing::Message() << d.bytes.size() << " bytes, local " << d.local);
    EXPECT_TRUE(aDiscovery_HandleAnswer(&search, d.bytes.data(), d.bytes.size(), d.local));
    if (d.reported) ++expected;
    ASSERT_EQ(collected.specs.size(), expected);
    if (d.reported) {
      EXPECT_EQ(std::memcmp(&collected.specs.back(), d.bytes.data(), 128), 0);
    }
  }
  EXPECT_EQ(search.count, expected);
}

TEST(HandleAnswer, CountsOnlySuccessAndStopsWhenAsked) {
  Collected collected;
  collected.succeed = false;
  collected.stopAfter = 2;
  aDiscoverySearch search;
  search.callback = Collect;
  search.ref = &collected;
  const auto a = AnswerBytes(1, 1, kDiscoveryLoopbackAddress, 1);
  const auto b = AnswerBytes(2, 1, kDiscoveryLoopbackAddress, 1);
  const auto c = AnswerBytes(3, 1, kDiscoveryLoopbackAddress, 1);
  EXPECT_TRUE(aDiscovery_HandleAnswer(&search, a.data(), a.size(), true));
  EXPECT_FALSE(aDiscovery_HandleAnswer(&search, b.data(), b.size(), true));
  EXPECT_FALSE(aDiscovery_HandleAnswer(&search, c.data(), c.size(), true));
  EXPECT_EQ(collected.specs.size(), 2u) << "a callback was made after it asked to stop";
  EXPECT_EQ(search.count, 0) << "modules were counted without success";
}

TEST(Enumerate, NullCallbackSearchesNothing) { EXPECT_EQ(aDiscovery_Enumerate_aLanicModules(nullptr, nullptr, 0), 0); }

// --- Server answers and requests --------------------------------------------------

TEST(NetworkSpec, CarriesTheServerFieldsAtTheirOffsets) {
  ServerRecord record(0x40F5849A, 0xC351);
  record.server->beaconHost = 0x0100E70A;
  record.server->model = 0x93;
  record.server->moduleAddress = 6;
  const linkSpec spec = _createNetworkSpec(record.server.get());
  uint8_t bytes[sizeof spec];
  std::memcpy(bytes, &spec, sizeof spec);
  EXPECT_EQ(netdisc::Little32(bytes + 0), 4u);
  EXPECT_EQ(netdisc::Little32(bytes + 4), 0x40F5849Au);
  EXPECT_EQ(netdisc::Little32(bytes + 8), 0u) << "module";
  EXPECT_EQ(netdisc::Little32(bytes + 12), 0u) << "router";
  EXPECT_EQ(netdisc::Little32(bytes + 16), 0u) << "router serial number";
  EXPECT_EQ(netdisc::Little32(bytes + 20), 0x93u);
  EXPECT_EQ(std::vector<uint8_t>(bytes + 24, bytes + 28), (std::vector<uint8_t>{10, 231, 0, 1}));
  EXPECT_EQ(netdisc::Little32(bytes + 28), 0xC351u);
  for (size_t i = 32; i < sizeof bytes; ++i) ASSERT_EQ(bytes[i], 0) << "at " << i;
}

TEST(NetworkSpec, AnsweredOnlyOnceTheModelIsSet) {
  ServerRecord record(7);
  EXPECT_FALSE(_isDiscoveryConfigured(record.server.get()));
  record.server->model = 1;
  EXPECT_TRUE(_isDiscoveryConfigured(record.server.get()));
  EXPECT_FALSE(_isDiscoveryConfigured(nullptr));
}

TEST(Requests, OnlyTheMagicAndTheTagAreRequests) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool multicast;
    bool beacon;
  };
  const std::string tag = DISCOVERY_BEACON_FILTER;
  const std::vector<uint8_t> tagBytes(tag.begin(), tag.end());
  std::vector<uint8_t> longer = tagBytes;
  longer.push_back('!');
  std::vector<uint8_t> other = tagBytes;
  other[0] = 'j';
  const Case cases[] = {
      {"magic", {0xBA, 0xDC, 0xCD, 0xAB}, true, false},
      {"magic big-endian", {0xAB, 0xCD, 0xDC, 0xBA}, false, false},
      {"magic cut short", {0xBA, 0xDC, 0xCD}, false, false},
      {"magic with a tail", {0xBA, 0xDC, 0xCD, 0xAB, 0x00}, false, false},
      {"tag", tagBytes, false, true},
      {"tag with a tail", longer, false, true},
      {"tag cut short", std::vector<uint8_t>(tagBytes.begin(), tagBytes.end() - 1), false, false},
      {"another tag", other, false, false},
      {"nothing", {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(aServerDiscovery_IsMulticastRequest(c.bytes.data(), c.bytes.size()), c.multicast);
    EXPECT_EQ(aServerDiscovery_IsBeaconRequest(c.bytes.data(), c.bytes.size()), c.beacon);
  }
  EXPECT_EQ(tagBytes.size(), 20u);
}

// A stand-in for CZMQ's beacon on the broker's side of its pipe. "DELIVER"
// with a payload makes it deliver [sender][payload] ("DELIVER1": the sender
// frame only); "REPORT" answers with every other command received since the
// last report, one text frame each ("PUBLISH <interval> <size>" followed by
// the published bytes as a frame of their own).
void FakeBeacon(zsock_t* pipe, void*) {
  zsock_signal(pipe, 0);
  zmsg_t* seen = zmsg_new();
  for (;;) {
    zmsg_t* msg = zmsg_recv(pipe);
    if (!msg) break;
    char* command = zmsg_popstr(msg);
    const std::string c = command ? command : "";
    zstr_free(&command);
    if (c == "$TERM") {
      zmsg_destroy(&msg);
      break;
    }
    if (c == "DELIVER" || c == "DELIVER1") {
      zmsg_t* out = zmsg_new();
      zmsg_addstr(out, "10.231.0.2");
      if (c == "DELIVER") {
        zframe_t* payload = zmsg_pop(msg);
        zmsg_append(out, &payload);
      }
      zmsg_send(&out, pipe);
    } else if (c == "REPORT") {
      zmsg_pushstr(seen, "REPORT");
      zmsg_send(&seen, pipe);
      seen = zmsg_new();
    } else if (c == "PUBLISH") {
      zframe_t* bytes = zmsg_pop(msg);
      char* interval = zmsg_popstr(msg);
      zmsg_addstrf(seen, "PUBLISH %s %zu", interval ? interval : "?", bytes ? zframe_size(bytes) : 0);
      zmsg_append(seen, &bytes);
      zstr_free(&interval);
    } else {
      zmsg_addstr(seen, c.c_str());
    }
    zmsg_destroy(&msg);
  }
  zmsg_destroy(&seen);
}

class BeaconAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    m_record.server->beacon = true;
    m_record.server->beaconHost = 0x0100E70A;
    m_record.server->discoveryResponder = zactor_new(FakeBeacon, nullptr);
    ASSERT_NE(m_record.server->discoveryResponder, nullptr);
  }
  void TearDown() override { zactor_destroy(&m_record.server->discoveryResponder); }

  aServer* server() { return m_record.server.get(); }

  // One delivery through the broker's beacon step.
  void deliver(const std::vector<uint8_t>& payload) {
    zsock_send(server()->discoveryResponder, "sb", "DELIVER", payload.data(), payload.size());
    _serverWorker_broker_beacon(server());
  }

  // The beacon commands since the last call; a publication's bytes are
  // checked against the server's answer on the way.
  std::vector<std::string> commands() {
    zstr_send(server()->discoveryResponder, "REPORT");
    zmsg_t* report = zmsg_recv(server()->discoveryResponder);
    std::vector<std::string> out;
    char* head = zmsg_popstr(report);
    zstr_free(&head);
    while (char* line = zmsg_popstr(report)) {
      out.push_back(line);
      if (out.back().rfind("PUBLISH", 0) == 0) {
        zframe_t* bytes = zmsg_pop(report);
        const linkSpec expected = _createNetworkSpec(server());
        EXPECT_TRUE(bytes && zframe_size(bytes) == sizeof expected &&
                    std::memcmp(zframe_data(bytes), &expected, sizeof expected) == 0)
            << "the publication is not the server's answer";
        zframe_destroy(&bytes);
      }
      zstr_free(&line);
    }
    zmsg_destroy(&report);
    return out;
  }

  // Through a view: a string literal plus a count is refused by clang.
  const std::string_view m_tagText{DISCOVERY_BEACON_FILTER, kDiscoveryBeaconFilterSize};
  const std::vector<uint8_t> m_tag = std::vector<uint8_t>(m_tagText.begin(), m_tagText.end());
  ServerRecord m_record{0x1234, 40001, false, 0x0100E70A};
};

using Commands = std::vector<std::string>;

TEST_F(BeaconAnswer, ConsumesRequestsUntilTheModelIsSet) {
  deliver(m_tag);
  EXPECT_EQ(commands(), Commands{});
  EXPECT_FALSE(server()->publishing);
  server()->model = 0x13;
  deliver(m_tag);
  EXPECT_EQ(commands(), Commands{"PUBLISH 100 128"});
  EXPECT_TRUE(server()->publishing);
}

TEST_F(BeaconAnswer, PublishesOnceAndSilencesAfterTwoSeconds) {
  server()->model = 0x13;
  const uint64_t before = aTime_GetMSTicks();
  deliver(m_tag);
  EXPECT_GE(server()->lastPublish, before);
  deliver(m_tag);
  deliver(m_tag);
  _serverWorker_broker_silence(server());
  EXPECT_EQ(commands(), Commands{"PUBLISH 100 128"}) << "requests while publishing change nothing";
  server()->lastPublish = aTime_GetMSTicks() - kBeaconPublishMS - 100;
  _serverWorker_broker_silence(server());
  EXPECT_EQ(commands(), Commands{"SILENCE"});
  EXPECT_FALSE(server()->publishing);
  _serverWorker_broker_silence(server());
  EXPECT_EQ(commands(), Commands{}) << "silenced twice";
  deliver(m_tag);
  EXPECT_EQ(commands(), Commands{"PUBLISH 100 128"}) << "the next request starts the next publication";
}

TEST_F(BeaconAnswer, IgnoresWhatIsNoSearch) {
  server()->model = 0x13;
  deliver(std::vector<uint8_t>(m_tag.begin(), m_tag.end() - 1));
  deliver(netdisc::AnswerBytes(0x77, 1, 0x0200E70A, 1));  // another server's answer
  zstr_send(server()->discoveryResponder, "DELIVER1");
  _serverWorker_broker_beacon(server());
  EXPECT_EQ(commands(), Commands{});
  // The beacon was read empty each time: a search is still answered at once.
  deliver(m_tag);
  EXPECT_EQ(commands(), Commands{"PUBLISH 100 128"});
}

TEST(ServerDiscovery, NullAndUnstartedServersAreLeftAlone) {
  EXPECT_EQ(_configureInterface(nullptr), aErrParam);
  ServerRecord record(1);
  _stopDiscoveryResponder(record.server.get());
  _serverWorker_broker_beacon(record.server.get());
  _serverWorker_broker_silence(record.server.get());
  _stopDiscoveryResponder(nullptr);
  EXPECT_EQ(record.server->discoveryResponder, nullptr);
}

}  // namespace
