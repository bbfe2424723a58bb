// The updater program on a crowded network, against simulated modules in
// the peer namespace of scripts/netns: listings started together, answers
// repeated or forged, two modules claiming one serial number, a neighbour
// writing to the reply port, a module whose name never ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PeerFlows.h"
#include "aDiscovery.h"

namespace {

using namespace flows;
using namespace std::chrono_literals;

const std::string kResponder = std::string(JV_BINARY_DIR) + "/sim/udpresponder/udpresponder";

constexpr uint32_t kModule = 0x40F5849A;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Rows of a -D listing by serial number.
std::map<std::string, int> listedRows(const std::string& out) {
  std::map<std::string, int> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 13 || line.compare(0, 4, "    ") != 0) continue;
    const std::string serial = line.substr(4, 8);
    if (serial.find_first_not_of("0123456789ABCDEF") == std::string::npos) ++rows[serial];
  }
  return rows;
}

long long msSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
}

// A discovery reply as a module sends it.
std::vector<uint8_t> replyDatagram(uint32_t serial, uint8_t address, uint16_t port, uint8_t model) {
  std::vector<uint8_t> d(16, 0xEE);
  d[0] = 0x02;
  d[1] = address;
  d[2] = static_cast<uint8_t>(port);
  d[3] = static_cast<uint8_t>(port >> 8);
  for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(serial >> (8 * i));
  d[12] = model;
  return d;
}

class CrowdFlows : public PeerFlows {
 protected:
  void SetUp() override {
    PeerFlows::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    firmware_.serial = kModule;
    const fs::path file = root_ / "ok.bird";
    std::string why;
    ASSERT_TRUE(birdsim::writeFile(file.string(), firmware_.file(), &why)) << why;
    birdFile_ = file.string();
  }

  // Announces the modules (udpresponder --module values); extra switches follow.
  void announce(const std::vector<std::string>& entries, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{kResponder, "--listen", peers_[0], "--lifetime", "240"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const std::string& e : entries) {
      args.push_back("--module");
      args.push_back(e);
    }
    responder_ = std::make_unique<netns::PeerProcess>(args);
    ASSERT_TRUE(responder_->waitFor("ready"));
  }

  ProcessResult updater(const std::vector<std::string>& args) {
    std::vector<std::string> argv{UPDATER_BIN, "-u", "http://127.0.0.1:9/", "-i", root_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
  }

  // A -D -t TCPIP run that lists the module once, with exit 0, within
  // boundMs (its time printed for the record).
  void expectListedOnceWithin(const char* what, long long boundMs) {
    const auto begin = std::chrono::steady_clock::now();
    ProcessResult r = updater({"-D", "-t", "TCPIP"});
    const long long took = msSince(begin);
    std::printf("listing %s: exit %d after %lld ms\n", what, r.status, took);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listedRows(r.out)["40F5849A"], 1) << r.out;
    EXPECT_LE(took, boundMs);
  }

  // Keeps the module for the whole case (TearDown stops it).
  SimulatedModule& keep(SimulatedModule module) {
    owned_.push_back(std::make_unique<SimulatedModule>(std::move(module)));
    modules_.push_back(owned_.back().get());
    return *owned_.back();
  }

  Firmware firmware_;
  std::string birdFile_;
  std::vector<std::unique_ptr<SimulatedModule>> owned_;
};

// Listings started together each list every module once: they take turns
// on the reply port.
TEST_F(CrowdFlows, ListingsStartedTogetherEachListEveryModuleOnce) {
  constexpr int kModules = 25;
  std::vector<std::string> entries;
  for (int i = 0; i < kModules; ++i) {
    // Nothing listens on these ports: each row is the module's answer only.
    entries.push_back("serial=" + std::to_string(0x30000000 + i) + ",address=" + std::to_string(2 + 2 * i) +
                      ",port=" + std::to_string(20000 + i) + ",model=19,from=" + peers_[i % peers_.size()]);
  }
  // Answers that take a while to come, as from a busy network: runs started
  // together are all listening by then.
  announce(entries, {"--delay", "300"});
  for (int runs : {2, 4, 8}) {
    SCOPED_TRACE(std::to_string(runs) + " at once");
    std::vector<ProcessResult> results(runs);
    std::vector<std::thread> threads;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) threads.emplace_back([&, i] { results[i] = updater({"-D", "-t", "TCPIP"}); });
    for (std::thread& t : threads) t.join();
    const long long took = msSince(begin);
    std::string rows;
    for (int i = 0; i < runs; ++i) {
      SCOPED_TRACE(i);
      const std::map<std::string, int> listed = listedRows(results[i].out);
      int total = 0;
      for (const auto& [serial, n] : listed) {
        total += n;
        EXPECT_EQ(n, 1) << serial;
      }
      rows += " " + std::to_string(total) + " (exit " + std::to_string(results[i].status) + ")";
      EXPECT_EQ(results[i].status, 0) << results[i].err;
      EXPECT_EQ(listed.size(), static_cast<size_t>(kModules)) << results[i].out;
    }
    std::printf("%d listings at once: rows%s, %lld ms\n", runs, rows.c_str(), took);
    // Turns of one search each, and the listing after it.
    EXPECT_LE(took, runs * (kDiscoveryWholeWaitMS + 1000) + 10000);
  }
}

// A local process forges answers for a real module's serial number every
// millisecond, with a fake module of its own on 127.0.0.1:9100: the update
// refuses before anything is sent to either, and the listing shows the two
// claims once each.
TEST_F(CrowdFlows, ForgedAnswersForARealModuleAreRefused) {
  SimulatedModule& real = keep(peerModule(peers_[0], kModule, 6, "Net module", firmware_.build));
  startInPeer({&real});
  announce({discoveryEntry(real, peers_[0])});

  jvsim::SimConfig link;
  link.serial = kModule;
  link.address = 6;
  SimulatedModule& fake = keep(SimulatedModule{});
  fake.sim = jvsim::SimModule::overTcp("127.0.0.1", 9100, link);
  fake.install("Fake", firmware_.build);
  fake.sim->start();
  netns::ReplyPortSender forger(replyDatagram(kModule, 6, 9100, 19), 1ms, 120s);

  const auto begin = std::chrono::steady_clock::now();
  ProcessResult r = updater({"-U", "-d", "40F5849A", "-f", birdFile_});
  std::printf("update with forged answers: exit %d after %lld ms\n", r.status, msSince(begin));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "40F5849A")) << r.err;
  EXPECT_TRUE(contains(r.err, "127.0.0.1:9100")) << r.err;
  EXPECT_TRUE(contains(r.err, peers_[0] + ":" + std::to_string(real.sim->tcp()->port()))) << r.err;
  EXPECT_EQ(fake.sim->transcript().countDir(jvsim::Dir::In), 0u) << fake.sim->transcript().text();
  EXPECT_EQ(fake.loader->stats().inits, 0u);
  EXPECT_EQ(real.loader->stats().inits, 0u);
  EXPECT_EQ(real.sim->transcript().countEvents("connect"), 0u);

  ProcessResult listing = updater({"-D", "-t", "TCPIP"});
  EXPECT_EQ(listing.status, 0) << listing.err;
  std::printf("listing with forged answers: %d rows for 40F5849A\n", listedRows(listing.out)["40F5849A"]);
  EXPECT_EQ(listedRows(listing.out)["40F5849A"], 2) << listing.out;
}

// Two real modules that claim one serial number (a misconfigured unit): no
// update goes to whichever answered first.
TEST_F(CrowdFlows, TwoModulesClaimingOneSerialNumberAreNotGuessedAt) {
  SimulatedModule& first = keep(peerModule(peers_[0], kModule, 6, "First", firmware_.build));
  SimulatedModule& second = keep(peerModule(peers_[1], kModule, 6, "Second", firmware_.build));
  startInPeer({&first, &second});
  announce({discoveryEntry(first, peers_[0]), discoveryEntry(second, peers_[1])});

  ProcessResult r = updater({"-U", "-d", "40F5849A", "-f", birdFile_});
  std::printf("update of a serial number claimed twice: exit %d\n", r.status);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const SimulatedModule* m : {&first, &second}) {
    const std::string address = m == &first ? peers_[0] : peers_[1];
    EXPECT_TRUE(contains(r.err, address + ":" + std::to_string(m->sim->tcp()->port()))) << r.err;
    EXPECT_EQ(m->loader->stats().inits, 0u) << address;
  }
  EXPECT_TRUE(contains(r.err, "40F5849A")) << r.err;
}

// Something on the host writes to the reply port every 1.5 s for far
// longer than a listing may take: the listing still shows the module and
// ends within the search's bound and its own work.
TEST_F(CrowdFlows, NeighbourOnTheReplyPortDelaysNothingPastTheBound) {
  SimulatedModule& module = keep(peerModule(peers_[0], kModule, 6, "Net module", firmware_.build));
  startInPeer({&module});
  announce({discoveryEntry(module, peers_[0])});
  netns::ReplyPortSender neighbour({0x4E, 0x42}, 1500ms, 60s);
  expectListedOnceWithin("beside a neighbour", kDiscoveryWholeWaitMS + 5000);
}

// Answers a module's name query with empty chunks that always say more
// follow, 2000 a second for half a minute: far more than any name needs.
class EndlessName : public jvsim::CommandHandler {
 public:
  explicit EndlessName(uint8_t address) : address_(address) {}
  bool handle(jvsim::SimModule& module, const jvsim::Packet& packet) override {
    if (packet.address != address_ || packet.data != jvsim::Bytes{0x03, 0x60, 0x20}) return false;
    sendFrom(module, packet.address, 0);
    return true;
  }

 private:
  static void sendFrom(jvsim::SimModule& module, uint8_t address, int sequence) {
    if (sequence >= kChunks) return;
    for (int i = 0; i < 4; ++i, ++sequence)
      module.send({address, {0x03, 0x20, 0x00, static_cast<uint8_t>(0x80 | (sequence & 0x7F))}});
    module.runAfter(2, [&module, address, sequence] { sendFrom(module, address, sequence); });
  }

  static constexpr int kChunks = 60000;
  uint8_t address_;
};

TEST_F(CrowdFlows, ModuleWhoseNameNeverEndsIsListedAndTheListingEnds) {
  SimulatedModule& module = keep(SimulatedModule{});
  jvsim::SimConfig link;
  link.serial = kModule;
  link.address = 6;
  module.sim = inPeerNamespace([&] { return jvsim::SimModule::overTcp(peers_[0], 0, link); });
  module.sim->addHandler(std::make_shared<EndlessName>(6));
  module.install("Never ends", firmware_.build);
  startInPeer({&module});
  announce({discoveryEntry(module, peers_[0])});
  expectListedOnceWithin("a module whose name never ends", kDiscoveryWholeWaitMS + 10000);
}

}  // namespace
