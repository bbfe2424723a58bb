// The simulated module's loader, driven with raw packet bytes over its
// in-process byte pipe, so that the updater's loader tests can trust what it
// answers. Nothing here goes through the product's library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "../simsupport/PipeHost.h"
#include "SimCommands.h"
#include "SimLoader.h"
#include "SimRouter.h"

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::LoaderMode;
using jvsim::SimLoader;
using jvsim::SimModule;

namespace {

constexpr uint8_t kAddr = 0x04;
constexpr uint32_t kBlockAddress = 0x00008000;

std::string hex(const Bytes& b) { return jvsim::Transcript::hex(b); }

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

Bytes prepare(uint32_t address, uint8_t flags = 0) { return cat({0x5F, 0x03, flags}, be32(address)); }
Bytes dataReq(const Bytes& bytes) { return cat({0x5F, 0x01}, bytes); }
Bytes sumReply(const Bytes& bytes) {
  return cat({0x5F, 0x07, 0x00}, be32(std::accumulate(bytes.begin(), bytes.end(), 0u)));
}
Bytes writeReq(uint16_t size) { return {0x5F, 0x05, uint8_t(size >> 8), uint8_t(size)}; }
const Bytes kInit{0x5F, 0x00}, kSum{0x5F, 0x04}, kLoad{0x5F, 0x02}, kReboot{0x5F, 0x06};
const Bytes kOk{0x5F, 0x07, 0x00};

using Host = simtest::PipeHost;

struct Exchange {
  const char* what;
  Bytes request;
  Bytes reply;  // empty: no reply within 300 ms
};

void runExchanges(Host& host, const std::vector<Exchange>& cases, uint8_t address = kAddr) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(hex(host.ask(c.request, address, c.reply.empty() ? 300ms : 1000ms)), hex(c.reply));
  }
}

class LoaderTest : public ::testing::Test {
 protected:
  void start(jvsim::LoaderConfig config = {}) {
    blockSize_ = config.blockSize;
    jvsim::SimConfig c;
    c.address = kAddr;
    sim_ = SimModule::overPipe(c);
    // The loader first: it must leave the command layer its UEI requests.
    cmds_ = std::make_shared<jvsim::SimCommands>(jvsim::CommandConfig::from(c));
    loader_ = SimLoader::install(*sim_, cmds_, config);
    sim_->addHandler(cmds_);
    sim_->start();
    host_ = std::make_unique<Host>(sim_->pipeTransport()->pipe());
  }
  void TearDown() override {
    if (HasFailure() && sim_) std::fprintf(stderr, "%s", sim_->transcript().text().c_str());
  }
  // The pipe that replaced a dropped one.
  void reattach() { host_ = std::make_unique<Host>(sim_->pipeTransport()->pipe()); }

  // INIT, one loader block, LOAD: the module then runs its loader.
  void intoLoader(const Bytes& code = pattern(40, 3)) {
    runExchanges(*host_, {
        {"INIT", kInit, cat({0x5F, 0x00}, be32(0x20000000))},
        {"PREPARE loader block", prepare(0x20000000), {0x5F, 0x07, 0x00, uint8_t(blockSize_ >> 8), uint8_t(blockSize_)}},
        {"DATA 26", dataReq(Bytes(code.begin(), code.begin() + 26)), {0x5F, 0x01, 26}},
        {"DATA rest", dataReq(Bytes(code.begin() + 26, code.end())), {0x5F, 0x01, uint8_t(code.size() - 26)}},
        {"SUM", kSum, sumReply(code)},
        {"LOAD", kLoad, kLoad},
    });
    ASSERT_EQ(loader_->mode(), LoaderMode::Loader);
  }

  // One firmware piece: DATA packets of up to 26 bytes, SUM, WRITE.
  void piece(const Bytes& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 26) {
      Bytes part(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(std::min(at + 26, bytes.size())));
      ASSERT_EQ(hex(host_->ask(dataReq(part))), hex({0x5F, 0x01, uint8_t(part.size())}));
    }
    ASSERT_EQ(hex(host_->ask(kSum)), hex(sumReply(bytes)));
    ASSERT_EQ(hex(host_->ask(writeReq(static_cast<uint16_t>(bytes.size())))), hex(kOk));
  }

  std::unique_ptr<SimModule> sim_;
  std::shared_ptr<jvsim::SimCommands> cmds_;
  std::shared_ptr<SimLoader> loader_;
  std::unique_ptr<Host> host_;
  uint16_t blockSize_ = 512;
};

TEST_F(LoaderTest, TakesLoaderThenFirmwareAndRebootsDroppingTheLink) {
  jvsim::LoaderConfig config;
  config.buildAfterReboot = 62000;
  config.versionAfterReboot = 0x02100000;
  start(config);
  const uint32_t versionBefore = cmds_->get(jvsim::kOptVersion);
  const Bytes code = pattern(40, 3);
  intoLoader(code);
  EXPECT_EQ(hex(loader_->loaderImage().at(0x20000000)), hex(code));

  const Bytes image = pattern(1000, 11);  // pieces of 512 and 488
  ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress, 5))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
  piece(Bytes(image.begin(), image.begin() + 512));
  piece(Bytes(image.begin() + 512, image.end()));
  EXPECT_EQ(hex(loader_->firmwareBytes(kBlockAddress, image.size())), hex(image));
  EXPECT_EQ(loader_->firmwareImage().size(), 1u);
  ASSERT_EQ(loader_->prepared().size(), 2u);
  EXPECT_EQ(loader_->prepared()[1].flags, 5);
  EXPECT_EQ(loader_->prepared()[1].address, kBlockAddress);

  host_->send(kAddr, kReboot);
  EXPECT_TRUE(host_->waitClosed(2s)) << "a reboot drops the link";
  EXPECT_EQ(loader_->mode(), LoaderMode::Firmware);
  EXPECT_EQ(cmds_->get(jvsim::kOptBuild), 62000u);
  EXPECT_NE(versionBefore, 0x02100000u);
  EXPECT_EQ(cmds_->get(jvsim::kOptVersion), 0x02100000u);
  EXPECT_EQ(loader_->stats().reboots.load(), 1u);
  EXPECT_EQ(loader_->stats().writes.load(), 2u);
}

TEST_F(LoaderTest, ARetriedBlockRewritesFromItsStart) {
  start();
  intoLoader();
  const Bytes first = pattern(512, 1), retry = pattern(512, 2);
  ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
  piece(first);
  ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
  piece(retry);
  EXPECT_EQ(hex(loader_->firmwareBytes(kBlockAddress, 512)), hex(retry));
  EXPECT_EQ(hex(loader_->firmwareBytes(kBlockAddress + 512, 2)), hex({0xFF, 0xFF})) << "nothing past the block";
}

TEST_F(LoaderTest, RefusesWhatComesOutOfOrder) {
  start();
  runExchanges(*host_, {
      {"PREPARE before INIT", prepare(0x20000000), {0x5F, 0x07, 29, 0x00, 0x00}},
      {"DATA with no open block takes nothing", dataReq({1, 2, 3}), {0x5F, 0x01, 0}},
      {"WRITE in the running firmware", writeReq(0), {0x5F, 0x07, 29}},
      {"INIT", kInit, cat({0x5F, 0x00}, be32(0x20000000))},
      {"PREPARE of the wrong length", {0x5F, 0x03, 0x00, 0x20}, {0x5F, 0x07, 14, 0x00, 0x00}},
      {"an option the loader lacks", {0x5F, 0x09}, {}},
  });
  EXPECT_EQ(loader_->stats().dataPackets.load(), 0u);
}

TEST_F(LoaderTest, RefusesPiecesThatDoNotFitOrDoNotMatchTheirWrite) {
  jvsim::LoaderConfig config;
  config.blockSize = 30;
  start(config);
  intoLoader();
  runExchanges(*host_, {
      {"PREPARE announces 30", prepare(kBlockAddress), {0x5F, 0x07, 0x00, 0x00, 30}},
      {"DATA 26", dataReq(Bytes(26, 1)), {0x5F, 0x01, 26}},
      {"DATA past the piece size takes nothing", dataReq(Bytes(5, 1)), {0x5F, 0x01, 0}},
      {"WRITE of another size than held", writeReq(30), {0x5F, 0x07, 14}},
      {"WRITE without its size", {0x5F, 0x05}, {0x5F, 0x07, 14}},
      {"WRITE of the piece held", writeReq(26), kOk},
      {"WRITE with nothing held", writeReq(26), {0x5F, 0x07, 14}},
  });
  EXPECT_EQ(hex(loader_->firmwareBytes(kBlockAddress, 26)), hex(Bytes(26, 1)));
}

struct FaultCase {
  const char* what;
  std::function<void(jvsim::LoaderFaults&)> set;
  std::vector<Exchange> exchanges;  // in the loader, after PREPARE of a block
};

TEST_F(LoaderTest, FaultSwitchesChangeTheNextRepliesOnly) {
  const Bytes piece26 = pattern(26, 9);
  const std::vector<FaultCase> cases = {
      {"wrong DATA count once", [](auto& f) { f.wrongDataCount = 1; },
       {{"echoes 25, bytes not taken", dataReq(piece26), {0x5F, 0x01, 25}},
        {"the same piece again", dataReq(piece26), {0x5F, 0x01, 26}},
        {"the sum counts it once", kSum, sumReply(piece26)}}},
      {"SUM mismatch twice", [](auto& f) { f.sumMismatch = 2; },
       {{"DATA", dataReq(piece26), {0x5F, 0x01, 26}},
        {"sum plus one", kSum, cat({0x5F, 0x07, 0x00}, be32(std::accumulate(piece26.begin(), piece26.end(), 1u)))},
        {"sum plus one again", kSum, cat({0x5F, 0x07, 0x00}, be32(std::accumulate(piece26.begin(), piece26.end(), 1u)))},
        {"then the sum", kSum, sumReply(piece26)}}},
      {"PREPARE error with status 3", [](auto& f) { f.prepareError = 1; f.prepareStatus = 3; },
       {{"status 3, no size", prepare(kBlockAddress), {0x5F, 0x07, 3, 0x00, 0x00}},
        {"no block open", dataReq(piece26), {0x5F, 0x01, 0}},
        {"the next PREPARE succeeds", prepare(kBlockAddress), {0x5F, 0x07, 0x00, 0x02, 0x00}}}},
      {"block size 0", [](auto& f) { f.blockSizeZero = 1; },
       {{"announces 0", prepare(kBlockAddress), {0x5F, 0x07, 0x00, 0x00, 0x00}},
        {"so no piece fits", dataReq(piece26), {0x5F, 0x01, 0}}}},
      {"2-byte WRITE reply", [](auto& f) { f.shortWrite = 1; },
       {{"DATA", dataReq(piece26), {0x5F, 0x01, 26}},
        {"WRITE answered without status", writeReq(26), {0x5F, 0x07}}}},
      {"silence after two pieces", [](auto& f) { f.silenceAfterData = 2; },
       {{"first", dataReq(piece26), {0x5F, 0x01, 26}},
        {"second", dataReq(piece26), {0x5F, 0x01, 26}},
        {"then nothing", dataReq(piece26), {}},
        {"not even SUM", kSum, {}}}},
      {"faults kept for the loader transfer leave the firmware transfer alone",
       [](auto& f) { f.phase = jvsim::kPhaseLoader; f.sumMismatch = -1; f.prepareError = -1; },
       {{"DATA", dataReq(piece26), {0x5F, 0x01, 26}},
        {"true sum", kSum, sumReply(piece26)},
        {"PREPARE", prepare(kBlockAddress), {0x5F, 0x07, 0x00, 0x02, 0x00}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    intoLoader();
    ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
    c.set(loader_->faults());
    runExchanges(*host_, c.exchanges);
    sim_->stop();
  }
}

TEST_F(LoaderTest, ShortInitAndLoaderPhaseFaults) {
  start();
  loader_->faults().phase = jvsim::kPhaseLoader;
  loader_->faults().shortInit = 1;
  loader_->faults().sumMismatch = 1;
  runExchanges(*host_, {
      {"INIT with 3 bytes of base", kInit, {0x5F, 0x00, 0x20, 0x00, 0x00}},
      {"INIT again", kInit, cat({0x5F, 0x00}, be32(0x20000000))},
      {"PREPARE", prepare(0x20000000), {0x5F, 0x07, 0x00, 0x02, 0x00}},
      {"DATA", dataReq({1, 2, 3}), {0x5F, 0x01, 3}},
      {"loader block sum off by one", kSum, cat({0x5F, 0x07, 0x00}, be32(7))},
  });
}

TEST_F(LoaderTest, LoadWithoutEchoEchoesOnTheNextLinkOnceSynced) {
  struct Case {
    const char* what;
    bool dropsLink;
    bool noEcho;
  };
  for (const Case& c : {Case{"no LOAD echo, link kept", false, true}, Case{"restart drops the link", true, false}}) {
    SCOPED_TRACE(c.what);
    jvsim::LoaderConfig config;
    config.restartDropsLink = c.dropsLink;
    start(config);
    loader_->faults().noLoadEcho = c.noEcho;
    runExchanges(*host_, {{"INIT", kInit, cat({0x5F, 0x00}, be32(0x20000000))}, {"LOAD: no echo", kLoad, {}}});
    EXPECT_EQ(loader_->mode(), LoaderMode::Loader);
    if (c.dropsLink) {
      EXPECT_TRUE(host_->waitClosed(2s));
      reattach();
    }
    EXPECT_TRUE(host_->packet(500ms).empty()) << "the echo waits for the host's sync";
    const auto synced = std::chrono::steady_clock::now();
    EXPECT_EQ(hex(host_->ask({}, jvsim::kSyncQueryAddress)), hex({}));  // answered with an empty packet
    EXPECT_EQ(host_->lastAddress, kAddr);
    EXPECT_EQ(hex(host_->packet(1500ms)), hex(cat({kAddr}, kLoad)));
    EXPECT_GE(std::chrono::steady_clock::now() - synced, 250ms) << "not before the host settled the link";
    EXPECT_TRUE(host_->packet(500ms).empty()) << "one echo only";
    sim_->stop();
  }
}

TEST_F(LoaderTest, ALinkThatNeverComesBack) {
  start();
  loader_->faults().neverComesBack = true;
  runExchanges(*host_, {{"INIT", kInit, cat({0x5F, 0x00}, be32(0x20000000))}, {"LOAD", kLoad, {}}});
  EXPECT_TRUE(host_->waitClosed(2s));
  reattach();
  EXPECT_EQ(hex(host_->ask({}, jvsim::kSyncQueryAddress, 500ms)), hex({})) << "no sync answer either";
  EXPECT_EQ(host_->lastAddress, 0);
  EXPECT_EQ(hex(host_->ask(kInit, kAddr, 300ms)), hex({}));
  EXPECT_EQ(loader_->mode(), LoaderMode::Gone);
}

// A chunked UEI set of option 10: header, up to 24 bytes, trailer.
std::vector<Bytes> ueiChunks(const Bytes& block) {
  std::vector<Bytes> out;
  size_t sent = 0;
  uint8_t seq = 0;
  do {
    const size_t n = std::min<size_t>(24, block.size() - sent);
    Bytes c{0x5F, 0x8A, 0x20};
    c.insert(c.end(), block.begin() + static_cast<long>(sent), block.begin() + static_cast<long>(sent + n));
    sent += n;
    c.push_back(static_cast<uint8_t>((sent < block.size() ? 0x80 : 0) | seq++));
    out.push_back(c);
  } while (sent < block.size());
  return out;
}

TEST_F(LoaderTest, TakesAWholePieceAsOneUeiBlock) {
  start();
  intoLoader();
  const Bytes hasUei{0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80};
  EXPECT_EQ(hex(host_->ask(hasUei)), hex({0x49, 0x01, 0x5F, 0x0A, 0x00, 0}));
  const Bytes bytes = pattern(300, 5);
  ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
  auto chunks = ueiChunks(bytes);
  for (size_t i = 0; i + 1 < chunks.size(); ++i) host_->send(kAddr, chunks[i]);
  EXPECT_EQ(hex(host_->ask(chunks.back())), hex({0x5F, 0xCA, 0x00}));
  EXPECT_EQ(hex(host_->ask(kSum)), hex(sumReply(bytes)));
  EXPECT_EQ(hex(host_->ask(writeReq(300))), hex(kOk));
  EXPECT_EQ(hex(loader_->firmwareBytes(kBlockAddress, 300)), hex(bytes));
  EXPECT_EQ(loader_->stats().ueiPieces.load(), 1u);

  // A block larger than the piece size is refused whole.
  auto tooBig = ueiChunks(pattern(513, 1));
  for (size_t i = 0; i + 1 < tooBig.size(); ++i) host_->send(kAddr, tooBig[i]);
  EXPECT_EQ(hex(host_->ask(tooBig.back())), hex({0x5F, 0xCA, 0x80, 14}));

  loader_->setUeiData(false);
  EXPECT_NE(host_->ask(hasUei).back(), 0) << "hasUEI refused";
}

TEST_F(LoaderTest, SilenceAfterAUeiPieceCoversTheBlocksAfterIt) {
  start();
  intoLoader();
  ASSERT_EQ(hex(host_->ask(prepare(kBlockAddress))), hex({0x5F, 0x07, 0x00, 0x02, 0x00}));
  loader_->faults().silenceAfterData = 1;
  auto chunks = ueiChunks(pattern(40, 5));
  host_->send(kAddr, chunks[0]);
  EXPECT_EQ(hex(host_->ask(chunks[1])), hex({0x5F, 0xCA, 0x00})) << "the piece that ends it is still taken";
  EXPECT_EQ(hex(host_->ask(kSum, kAddr, 300ms)), hex({}));
  host_->send(kAddr, chunks[0]);
  EXPECT_EQ(hex(host_->ask(chunks[1], kAddr, 300ms)), hex({}));
  EXPECT_EQ(hex(host_->ask({0x03, 0x48, 0x20})), hex({0x03, 0x08, 0x00, 0x13})) << "the system entity still answers";
}

TEST_F(LoaderTest, ASubModuleBehindARouterKeepsTheRoutersLink) {
  jvsim::SimConfig c;
  c.address = kAddr;
  sim_ = SimModule::overPipe(c);
  cmds_ = jvsim::SimCommands::install(*sim_);
  auto router = jvsim::SimRouter::install(*sim_, cmds_);
  router->addSubModule(0x0A, 0x00A0000A);
  auto sub = SimLoader::installSub(*sim_, *router, 0x0A);
  sim_->start();
  host_ = std::make_unique<Host>(sim_->pipeTransport()->pipe());
  ASSERT_EQ(hex(host_->ask({0x03, 0x94, 0x20, 0x01})), hex({0x03, 0xD4, 0x00}));  // routeToMe
  runExchanges(*host_, {
      {"INIT", kInit, cat({0x5F, 0x00}, be32(0x20000000))},
      {"LOAD", kLoad, kLoad},
      {"PREPARE", prepare(kBlockAddress), {0x5F, 0x07, 0x00, 0x02, 0x00}},
      {"DATA", dataReq({9, 8, 7}), {0x5F, 0x01, 3}},
      {"SUM", kSum, sumReply({9, 8, 7})},
      {"WRITE", writeReq(3), kOk},
  }, 0x0A);
  EXPECT_EQ(host_->lastAddress, 0x0A);
  host_->send(0x0A, kReboot);
  EXPECT_FALSE(host_->waitClosed(400ms)) << "the router's link stays up";
  EXPECT_EQ(sub->stats().reboots.load(), 1u);
  EXPECT_EQ(hex(sub->firmwareBytes(kBlockAddress, 3)), hex({9, 8, 7}));
  EXPECT_TRUE(sub->loaderImage().empty());
}

// ---- the sim program's options -------------------------------------------

struct OptionCase {
  std::vector<std::string> args;
  int result;  // of the last option parsed
};

int parseAll(const std::vector<std::string>& args, jvsim::LoaderSetup& setup) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv{const_cast<char*>("sim")};
  for (auto& a : copy) argv.push_back(a.data());
  int last = 0;
  for (int i = 1; i < static_cast<int>(argv.size()); ++i) {
    last = jvsim::parseLoaderOption(static_cast<int>(argv.size()), argv.data(), i, setup);
    if (last <= 0) break;
  }
  return last;
}

TEST(LoaderOptions, ParseValuesAndRefuseBadOnes) {
  const std::vector<OptionCase> cases = {
      {{"--fault-sum", "4", "--fault-phase", "loader", "--block-size", "0x100"}, 1},
      {{"--fault-prepare", "1:7", "--fault-no-load-echo", "--fault-serial", "ABCD"}, 1},
      {{"--block-size", "0"}, -1},
      {{"--fault-phase", "sometimes"}, -1},
      {{"--fault-prepare", "1:0"}, -1},
      {{"--fault-sum"}, -1},
      {{"--fault-data-count", "-2"}, -1},
      {{"--fault-reboot", "silent:250", "--fault-ignore-reboot"}, 1},
      {{"--fault-reboot", "close"}, 1},
      {{"--fault-reboot", "unplug"}, -1},
      {{"--fault-reboot", "reset:-1"}, -1},
      {{"--fault-drop-after-load", "50:close"}, 1},
      {{"--fault-drop-after-load", "0"}, -1},
      {{"--fault-drop-after-load", "50:unplug"}, -1},
      {{"--fault-quiet", "2:2000"}, 1},
      {{"--fault-quiet", "2"}, -1},
      {{"--fault-quiet", "0:2000"}, -1},
      {{"--fault-dark", "load:3000"}, 1},
      {{"--fault-dark", "piece0:forever"}, -1},
      {{"--fault-dark", "load"}, -1},
      {{"--fault-dark", "later:10"}, -1},
      {{"--fault-dark", "echo:soon"}, -1},
      {{"--not-ours"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    jvsim::LoaderSetup setup;
    EXPECT_EQ(parseAll(c.args, setup), c.result);
  }
  jvsim::LoaderSetup s;
  ASSERT_EQ(parseAll({"--fault-sum", "4", "--fault-phase", "loader", "--block-size", "0x100", "--fault-prepare", "1:7",
                      "--fault-serial", "ABCD", "--restart-drops"},
                     s),
            1);
  EXPECT_EQ(s.sum, 4);
  EXPECT_EQ(s.phase, jvsim::kPhaseLoader);
  EXPECT_EQ(s.config.blockSize, 0x100);
  EXPECT_EQ(s.prepare, 1);
  EXPECT_EQ(s.prepareStatus, 7);
  EXPECT_EQ(s.serial, 0xABCD);
  EXPECT_TRUE(s.config.restartDropsLink);

  jvsim::LoaderSetup r;
  ASSERT_EQ(parseAll({"--fault-reboot", "silent:250", "--fault-ignore-reboot"}, r), 1);
  EXPECT_EQ(r.rebootRestart, jvsim::Restart::Silent);
  EXPECT_EQ(r.rebootBackMs, 250);
  EXPECT_TRUE(r.ignoreReboot);
  jvsim::LoaderSetup closed;
  ASSERT_EQ(parseAll({"--fault-reboot", "close"}, closed), 1);
  EXPECT_EQ(closed.rebootRestart, jvsim::Restart::Close);
  EXPECT_EQ(closed.rebootBackMs, -1) << "the configured time unless given";

  jvsim::LoaderSetup link;
  ASSERT_EQ(parseAll({"--fault-drop-after-load", "50:silent", "--fault-quiet", "3:1500"}, link), 1);
  EXPECT_EQ(link.dropAfterLoadMs, 50);
  EXPECT_EQ(link.dropAfterLoadHow, jvsim::Restart::Silent);
  EXPECT_EQ(link.quietAtBlock, 3);
  EXPECT_EQ(link.quietForMs, 1500);

  struct DarkCase {
    std::string value;
    jvsim::DarkAt at;
    int count, ms;
  };
  for (const DarkCase& c : {DarkCase{"load:forever", jvsim::DarkAt::Load, 1, jvsim::kDarkForever},
                            DarkCase{"echo:0", jvsim::DarkAt::Echo, 1, jvsim::kDarkForever},
                            DarkCase{"piece7:2500", jvsim::DarkAt::Piece, 7, 2500},
                            DarkCase{"reboot:20000", jvsim::DarkAt::Reboot, 1, 20000}}) {
    SCOPED_TRACE(c.value);
    jvsim::LoaderSetup d;
    ASSERT_EQ(parseAll({"--fault-dark", c.value}, d), 1);
    EXPECT_EQ(d.darkAt, c.at);
    EXPECT_EQ(d.darkAtCount, c.count);
    EXPECT_EQ(d.darkForMs, c.ms);
  }
}

TEST(LoaderOptions, InstallPutsTheFaultsOnTheNamedModule) {
  jvsim::SimConfig c;
  c.address = kAddr;
  auto sim = SimModule::overPipe(c);
  auto own = jvsim::SimCommands::install(*sim);
  auto router = jvsim::SimRouter::install(*sim, own);
  auto sub = router->addSubModule(0x0A, 0x00A0000A);
  jvsim::LoaderSetup setup;
  setup.serial = 0x11111111;
  setup.model = 0x22;
  EXPECT_FALSE(jvsim::installLoaders(*sim, setup, 0x0C)) << "no sub-module there";
  auto sim2 = SimModule::overPipe(c);
  auto own2 = jvsim::SimCommands::install(*sim2);
  auto router2 = jvsim::SimRouter::install(*sim2, own2);
  auto sub2 = router2->addSubModule(0x0A, 0x00A0000A);
  ASSERT_TRUE(jvsim::installLoaders(*sim2, setup, 0x0A));
  EXPECT_EQ(sub2->get(jvsim::kOptSerialNumber), 0x11111111u);
  EXPECT_EQ(sub2->get(jvsim::kOptModel), 0x22u);
  EXPECT_EQ(own2->get(jvsim::kOptSerialNumber), c.serial);
  auto bare = SimModule::overPipe(c);
  EXPECT_FALSE(jvsim::installLoaders(*bare, setup, -1)) << "no command layer";
}

}  // namespace

namespace {

// A raw TCP host: connect, send one packet, read one back.
int tcpConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.6", &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

Bytes tcpAsk(int fd, const Bytes& d) {
  Bytes w{kAddr, static_cast<uint8_t>(d.size())};
  w.insert(w.end(), d.begin(), d.end());
  if (send(fd, w.data(), w.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(w.size())) return {};
  Bytes in;
  while (in.size() < 2 || in.size() < 2u + in[1]) {
    pollfd p{fd, POLLIN, 0};
    uint8_t b[64];
    if (poll(&p, 1, 1000) <= 0) return {};
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) return {};
    in.insert(in.end(), b, b + n);
  }
  return Bytes(in.begin() + 2, in.end());
}

TEST(LoaderOverTcp, ARebootRefusesConnectionsUntilTheModuleIsBack) {
  jvsim::SimConfig c;
  c.address = kAddr;
  auto sim = SimModule::overTcp("127.0.0.6", 0, c);
  auto cmds = jvsim::SimCommands::install(*sim);
  jvsim::LoaderConfig config;
  config.rebootOfflineMs = 700;
  auto loader = SimLoader::install(*sim, cmds, config);
  sim->start();
  const uint16_t port = sim->tcp()->port();
  int fd = tcpConnect(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(hex(tcpAsk(fd, kInit)), hex(cat({0x5F, 0x00}, be32(0x20000000))));
  ASSERT_EQ(hex(tcpAsk(fd, kLoad)), hex(kLoad));
  const auto rebooted = std::chrono::steady_clock::now();
  EXPECT_EQ(hex(tcpAsk(fd, kReboot)), hex({})) << "no reply; the connection is reset";
  close(fd);
  ASSERT_TRUE(sim->transcript().waitForEvent("disconnect (offline)", 1, 2s));
  EXPECT_LT(tcpConnect(port), 0) << "refused while rebooting";
  ASSERT_TRUE(sim->transcript().waitForEvent("online", 1, 3s));
  EXPECT_GE(std::chrono::steady_clock::now() - rebooted, 650ms);
  fd = tcpConnect(port);
  ASSERT_GE(fd, 0) << "back on the same port";
  EXPECT_EQ(hex(tcpAsk(fd, kInit)), hex(cat({0x5F, 0x00}, be32(0x20000000)))) << "in its firmware again";
  close(fd);
  EXPECT_EQ(loader->mode(), LoaderMode::Firmware);
}

}  // namespace
