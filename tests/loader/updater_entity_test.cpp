// The loader protocol's host side against the simulated module's loader over
// TCP on loopback: the bytes on the wire, the image the module ends up
// with, every refusal and bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../device/device_fixture.h"
#include "Log.h"
#include "SimLoader.h"
#include "UpdaterEntity.h"
#include "WaitUntil.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aPacketFifo.h"

using namespace std::chrono_literals;
using Tovanire::Jorvanite::Module;
using jvsim::Bytes;
using jvsim::Dir;

namespace {

constexpr uint8_t kAddr = 4;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x00008000;

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

// A block as a BIRD file holds it: the big-endian address, then the bytes.
Bytes block(uint32_t address, const Bytes& bytes) {
  Bytes b(4 + bytes.size());
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  std::copy(bytes.begin(), bytes.end(), b.begin() + 4);
  return b;
}

uint32_t len(const Bytes& b) { return static_cast<uint32_t>(b.size()); }

// The reboot wait ends once the module's connection is lost, which may be a
// moment before the link engine has given up reconnecting and reports the
// link down: this waits (a few seconds at most) for that report.
bool linkGoesDown(const Module& module) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (module.isConnected()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class Display : public UpdaterDisplayInterface {
 public:
  void display_progress(bool on) override { bars.push_back(on); }
  void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
  void update_spinner(bool on, const char*) override { on ? ++spins : ++spinnerOff; }
  void info_message(const char*) override {}
  void error_message(const char*) override {}
  std::vector<bool> bars;
  std::vector<double> fractions;
  int spins = 0, spinnerOff = 0;
};

class EntityTest : public ::testing::Test {
 protected:
  void start(jvsim::LoaderConfig config = {}) {
    jvsim::SimConfig c;
    c.address = kAddr;
    sim_ = jvsim::SimModule::overTcp("127.0.0.5", 0, c);
    sim_->addHandler(hook_);
    cmds_ = jvsim::SimCommands::install(*sim_);
    loader_ = jvsim::SimLoader::install(*sim_, cmds_, config);
    sim_->start();
    spec_.type = LINK_TCPIP;
    spec_.address = devicetest::ipv4("127.0.0.5");
    spec_.port = sim_->tcp()->port();
    spec_.serialNumber = c.serial;
    spec_.module = kAddr;
    module_ = std::make_unique<Module>(kAddr, false, 0);
    ASSERT_EQ(module_->connectFromSpec(spec_), aErrNone);
  }
  void TearDown() override {
    if (HasFailure() && sim_) std::fprintf(stderr, "%s", sim_->transcript().text().c_str());
    module_.reset();
  }

  // Host packets seen with exactly these data bytes.
  size_t seen(const Bytes& d) const { return sim_->transcript().count(Dir::In, jvsim::Packet{kAddr, d}.wire()); }
  size_t seenPrefix(uint8_t option) const {
    size_t n = 0;
    for (const auto& line : sim_->transcript().lines()) {
      n += line.dir == Dir::In && line.bytes.size() >= 4 && line.bytes[2] == 0x5F && line.bytes[3] == option;
    }
    return n;
  }

  // The loader phase as the update flow runs it, stopping at the first failure.
  aErr loaderPhase(const std::vector<Bytes>& blocks) {
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    aErr err = e.LoaderInit();
    for (size_t i = 0; err == aErrNone && i < blocks.size(); ++i) {
      uint16_t size = 0;
      err = e.TransferPrepare(blocks[i].data(), len(blocks[i]), 0, &size);
      if (err == aErrNone) err = e.LoaderTransfer(blocks[i].data(), len(blocks[i]));
    }
    return err == aErrNone ? e.LoaderStart() : err;
  }

  std::unique_ptr<jvsim::SimModule> sim_;
  std::shared_ptr<devicetest::Interposer> hook_ = std::make_shared<devicetest::Interposer>();
  std::shared_ptr<jvsim::SimCommands> cmds_;
  std::shared_ptr<jvsim::SimLoader> loader_;
  linkSpec spec_{};
  std::unique_ptr<Module> module_;
};

struct Mode {
  const char* name;
  bool uei;
};

class FullUpdate : public EntityTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(FullUpdate, LeavesTheModuleWithTheImageAndRebooted) {
  start();
  const Bytes code = pattern(100, 1), image = pattern(1000, 2);
  ASSERT_EQ(loaderPhase({block(kLoaderAddress, code)}), aErrNone);
  EXPECT_EQ(loader_->mode(), jvsim::LoaderMode::Loader);
  EXPECT_EQ(loader_->loaderImage().at(kLoaderAddress), code);

  UpdaterEntity e;
  e.init(module_.get(), 0, true, false);
  if (GetParam().uei) {
    ASSERT_EQ(e.CheckUEIDataSupport(), aErrNone);
    EXPECT_TRUE(e.ueiData);
    EXPECT_EQ(e.CheckPooledPacketsSupport(), aErrNone);
  }
  const Bytes fw = block(kFirmwareAddress, image);
  uint16_t size = 0;
  ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 3, &size), aErrNone);
  EXPECT_EQ(size, 512);
  const auto dataBefore = loader_->stats().dataPackets.load();
  Display display;
  ASSERT_EQ(e.FirmwareTransfer(fw.data(), len(fw), size, display), aErrNone);
  EXPECT_EQ(loader_->firmwareBytes(kFirmwareAddress, image.size()), image);
  ASSERT_EQ(display.fractions.size(), 2u);
  EXPECT_DOUBLE_EQ(display.fractions[0], 516.0 / 1004.0);
  EXPECT_DOUBLE_EQ(display.fractions[1], 1.0);
  EXPECT_EQ(display.bars, (std::vector<bool>{true, false}));
  EXPECT_TRUE(seen({0x5F, 0x05, 0x02, 0x00}) && seen({0x5F, 0x05, 0x01, 0xE8})) << "WRITE of 512, then of 488";
  if (GetParam().uei) {
    EXPECT_EQ(loader_->stats().dataPackets.load(), dataBefore) << "no DATA packets in UEI mode";
    EXPECT_EQ(loader_->stats().ueiPieces.load(), 2u);
  } else {
    EXPECT_EQ(loader_->stats().dataPackets.load() - dataBefore, 20u + 19u);
  }
  ASSERT_EQ(loader_->prepared().back().flags, 3);

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(e.LoaderReboot(display), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_TRUE(linkGoesDown(*module_)) << "the module refuses connections while it reboots";
  EXPECT_EQ(loader_->stats().reboots.load(), 1u);
  EXPECT_EQ(display.spinnerOff, 1);
}

INSTANTIATE_TEST_SUITE_P(Loader, FullUpdate, ::testing::Values(Mode{"Data", false}, Mode{"Uei", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EntityTest, PiecesGoAsDataPacketsOf26BytesAtMost) {
  start();
  loader_->enterLoader();
  struct Case {
    size_t bytes;
    std::vector<uint8_t> packetSizes;  // DATA bytes per packet
  };
  for (const Case& c : {Case{26, {26}}, Case{27, {26, 1}}, Case{53, {26, 26, 1}}}) {
    SCOPED_TRACE(c.bytes);
    sim_->transcript().clear();
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    const Bytes fw = block(kFirmwareAddress, pattern(c.bytes, 4));
    uint16_t size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), aErrNone);
    uint32_t count = 0;
    ASSERT_EQ(e._block_transfer(fw.data() + 4, len(fw) - 4, &count), aErrNone);
    EXPECT_EQ(count, c.packetSizes.size());
    std::vector<uint8_t> sizes;
    for (const auto& line : sim_->transcript().lines()) {
      if (line.dir == Dir::In && line.bytes.size() > 3 && line.bytes[2] == 0x5F && line.bytes[3] == 0x01) {
        sizes.push_back(static_cast<uint8_t>(line.bytes[1] - 2));
      }
    }
    EXPECT_EQ(sizes, c.packetSizes);
    EXPECT_EQ(seenPrefix(0x04), 1u) << "one SUM";
  }
}

TEST_F(EntityTest, WithoutVerificationNoSumIsAsked) {
  start();
  loader_->enterLoader();
  UpdaterEntity e;
  e.init(module_.get(), 0, false, false);
  const Bytes image = pattern(600, 8), fw = block(kFirmwareAddress, image);
  uint16_t size = 0;
  ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), aErrNone);
  Display display;
  ASSERT_EQ(e.FirmwareTransfer(fw.data(), len(fw), size, display), aErrNone);
  EXPECT_EQ(seenPrefix(0x04), 0u);
  EXPECT_EQ(seenPrefix(0x05), 2u);
  EXPECT_EQ(loader_->firmwareBytes(kFirmwareAddress, image.size()), image);
}

struct FaultCase {
  const char* what;
  std::function<void(jvsim::LoaderFaults&)> set;
  aErr transfer;       // FirmwareTransfer's result
  size_t dataPackets;  // DATA packets the host sent for one 26-byte piece
  size_t sums, writes;
};

TEST_F(EntityTest, FirmwareTransferMeetsEachLoaderFault) {
  const std::vector<FaultCase> cases = {
      {"DATA echoes 25 once: the same 26 bytes again", [](auto& f) { f.wrongDataCount = 1; }, aErrNone, 2, 1, 1},
      {"DATA echoes another count every time: bounded", [](auto& f) { f.wrongDataCount = -1; }, aErrPacket,
       1 + UpdaterEntity::DATA_RESEND_LIMIT, 0, 0},
      {"SUM mismatch", [](auto& f) { f.sumMismatch = 1; }, aErrInvalidOption, 1, 1, 0},
      {"WRITE reply of two bytes", [](auto& f) { f.shortWrite = 1; }, aErrInvalidOption, 1, 1, 1},
      {"silence after the piece: no SUM reply", [](auto& f) { f.silenceAfterData = 1; }, aErrPacket, 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    loader_->enterLoader();
    const Bytes bytes = pattern(26, 7), fw = block(kFirmwareAddress, bytes);
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    uint16_t size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), aErrNone);
    c.set(loader_->faults());
    Display display;
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), len(fw), size, display), c.transfer);
    EXPECT_EQ(seenPrefix(0x01), c.dataPackets);
    EXPECT_EQ(seenPrefix(0x04), c.sums);
    EXPECT_EQ(seenPrefix(0x05), c.writes);
    EXPECT_EQ(display.bars, (std::vector<bool>{true, false}));
    if (c.transfer == aErrNone) {
      EXPECT_EQ(loader_->firmwareBytes(kFirmwareAddress, 26), bytes) << "counted once";
    }
    module_.reset();
    sim_->stop();
  }
}

TEST_F(EntityTest, PrepareRefusals) {
  struct Case {
    const char* what;
    std::function<void(jvsim::LoaderFaults&)> set;
    bool loaderPhase;
    bool swallowed;  // the module never answers
    aErr result;
  };
  const std::vector<Case> cases = {
      {"error status", [](auto& f) { f.prepareError = 1; f.prepareStatus = 6; }, false, false, aErrInvalidOption},
      {"block size 0 in the firmware phase", [](auto& f) { f.blockSizeZero = 1; }, false, false, aErrInvalidOption},
      {"block size 0 of a loader block is no piece size",
       [](auto& f) { f.phase = jvsim::kPhaseLoader; f.blockSizeZero = 1; }, true, false, aErrNone},
      {"no status reply", [](auto&) {}, false, true, aErrTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    if (c.loaderPhase) {
      ASSERT_EQ(e.LoaderInit(), aErrNone);
    } else {
      loader_->enterLoader();
    }
    c.set(loader_->faults());
    if (c.swallowed) {
      hook_->set([](auto&, const jvsim::Packet& p) { return p.data.size() >= 2 && p.data[0] == 0x5F && p.data[1] == 0x03; });
    }
    const Bytes fw = block(kFirmwareAddress, pattern(10, 1));
    uint16_t size = 77;
    EXPECT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), c.result);
    EXPECT_EQ(size, c.result == aErrNone ? 0 : 77) << "filled in on success only";
    hook_->set(nullptr);
    module_.reset();
    sim_->stop();
  }
}

TEST_F(EntityTest, BlocksShorterThanTheirAddressAreRefusedUnsent) {
  start();
  UpdaterEntity e;
  e.init(module_.get(), 0, true, false);
  ASSERT_EQ(e.LoaderInit(), aErrNone);
  const Bytes shortBlock{0x20, 0x00, 0x00};
  Display display;
  uint16_t size = 0;
  sim_->transcript().clear();
  EXPECT_EQ(e.TransferPrepare(shortBlock.data(), len(shortBlock), 0, &size), aErrParam);
  EXPECT_EQ(e.TransferPrepare(nullptr, 8, 0, &size), aErrParam);
  EXPECT_EQ(e.LoaderTransfer(shortBlock.data(), len(shortBlock)), aErrParam);
  EXPECT_EQ(e.FirmwareTransfer(shortBlock.data(), len(shortBlock), 512, display), aErrParam);
  EXPECT_EQ(e.LoaderStart(), aErrCancel) << "a refused block leaves the loader incomplete";
  EXPECT_EQ(sim_->transcript().countDir(Dir::In), 0u);

  // A block of its address alone is whole: nothing to send, no WRITE.
  loader_->enterLoader();
  UpdaterEntity f;
  f.init(module_.get(), 0, true, false);
  const Bytes empty = block(kFirmwareAddress, {});
  EXPECT_EQ(f.FirmwareTransfer(empty.data(), len(empty), 512, display), aErrNone);
  EXPECT_EQ(display.bars, (std::vector<bool>{true, false})) << "the refused block drew nothing";
  EXPECT_EQ(sim_->transcript().countDir(Dir::In), 0u);
}

TEST_F(EntityTest, AFailedLoaderBlockNeverStartsTheLoader) {
  start();
  loader_->faults().phase = jvsim::kPhaseLoader;
  loader_->faults().sumMismatch = 1;
  UpdaterEntity e;
  e.init(module_.get(), 0, true, false);
  ASSERT_EQ(e.LoaderInit(), aErrNone);
  const Bytes first = block(kLoaderAddress, pattern(40, 1)), second = block(kLoaderAddress + 40, pattern(40, 2));
  uint16_t size = 0;
  ASSERT_EQ(e.TransferPrepare(first.data(), len(first), 0, &size), aErrNone);
  EXPECT_EQ(e.LoaderTransfer(first.data(), len(first)), aErrInvalidOption);
  // A caller that goes on with the next block still cannot start the half loader.
  ASSERT_EQ(e.TransferPrepare(second.data(), len(second), 0, &size), aErrNone);
  ASSERT_EQ(e.LoaderTransfer(second.data(), len(second)), aErrNone);
  EXPECT_EQ(e.LoaderStart(), aErrCancel);
  EXPECT_EQ(seen({0x5F, 0x02}), 0u);
  EXPECT_EQ(loader_->mode(), jvsim::LoaderMode::Firmware);

  // A fresh loader phase starts clean.
  EXPECT_EQ(loaderPhase({first, second}), aErrNone);
  EXPECT_EQ(loader_->mode(), jvsim::LoaderMode::Loader);
}

TEST_F(EntityTest, ShortRepliesArePacketErrors) {
  struct Case {
    const char* what;
    uint8_t option;  // the request answered short
    Bytes reply;
    aErr result;
  };
  const std::vector<Case> cases = {
      {"INIT of 5 bytes", 0x00, {0x5F, 0x00, 0x20, 0x00, 0x00}, aErrPacket},
      {"PREPARE status without size", 0x03, {0x5F, 0x07, 0x00}, aErrPacket},
      {"PREPARE of two bytes", 0x03, {0x5F, 0x07}, aErrPacket},
      {"SUM status without the sum", 0x04, {0x5F, 0x07, 0x00, 0x00}, aErrPacket},
      {"DATA reply without its count", 0x01, {0x5F, 0x01}, aErrPacket},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    if (c.option != 0x00) {
      ASSERT_EQ(e.LoaderInit(), aErrNone);
    }
    hook_->set([&c](jvsim::SimModule& m, const jvsim::Packet& p) {
      if (p.data.size() < 2 || p.data[0] != 0x5F || p.data[1] != c.option) return false;
      m.send(jvsim::Packet{kAddr, c.reply});
      return true;
    });
    const Bytes b = block(kLoaderAddress, pattern(10, 1));
    uint16_t size = 0;
    aErr got = aErrNone;
    if (c.option == 0x00) got = e.LoaderInit();
    if (c.option == 0x03) got = e.TransferPrepare(b.data(), len(b), 0, &size);
    if (c.option == 0x01 || c.option == 0x04) {
      ASSERT_EQ(e.TransferPrepare(b.data(), len(b), 0, &size), aErrNone);
      got = e.LoaderTransfer(b.data(), len(b));
    }
    EXPECT_EQ(got, c.result);
    hook_->set(nullptr);
    module_.reset();
    sim_->stop();
  }
}

TEST_F(EntityTest, AStaleStatusReplyNeverConfirmsTheNextRequest) {
  start();
  loader_->enterLoader();
  UpdaterEntity e;
  e.init(module_.get(), 0, true, false);
  // Late status replies of earlier requests: a failed status, a wrong sum.
  // Each pair is waiting in the host's input queue before the next request
  // goes out, so the request meets both.
  const Bytes stale[] = {{0x5F, 0x07, 0x05, 0x00, 0x00}, {0x5F, 0x07, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}};
  const aPacketFifoId queue = aLink_GetLinkObject(module_->getLink()->getLinkRef())->inputFifo;
  // The sim accepts the connection on its own thread, after the host's connect returned.
  ASSERT_TRUE(sim_->transcript().waitForEvent("connect", 1, 10s));
  auto sendStale = [&] {
    for (const auto& s : stale) sim_->send(jvsim::Packet{kAddr, s});
    return jvtest::waitUntil([&] { return aPacketFifo_GetLength(queue) == 2; });
  };
  ASSERT_TRUE(sendStale()) << aPacketFifo_GetLength(queue) << " queued";
  const Bytes fw = block(kFirmwareAddress, pattern(30, 3));
  uint16_t size = 0;
  ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), aErrNone);
  EXPECT_EQ(size, 512);
  ASSERT_TRUE(sendStale()) << aPacketFifo_GetLength(queue) << " queued";
  Display display;
  EXPECT_EQ(e.FirmwareTransfer(fw.data(), len(fw), size, display), aErrNone);
  EXPECT_EQ(loader_->firmwareBytes(kFirmwareAddress, 30), pattern(30, 3));
}

TEST_F(EntityTest, LoadWithoutEchoReconnectsAndTakesTheEchoOnTheNewLink) {
  struct Case {
    const char* what;
    bool restartDrops;
  };
  for (const Case& c : {Case{"echo missing, link kept", false}, Case{"restart drops the link", true}}) {
    SCOPED_TRACE(c.what);
    jvsim::LoaderConfig config;
    config.restartDropsLink = c.restartDrops;
    start(config);
    loader_->faults().noLoadEcho = !c.restartDrops;
    // The sim counts a connection on its own thread, after the host's connect returned.
    ASSERT_TRUE(sim_->transcript().waitForEvent("connect", 1, 2s));
    const auto connections = sim_->stats().connections.load();
    EXPECT_EQ(loaderPhase({block(kLoaderAddress, pattern(30, 1))}), aErrNone);
    EXPECT_TRUE(module_->isConnected());
    EXPECT_EQ(sim_->stats().connections.load(), connections + 1);
    // The firmware phase runs on the new link.
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    const Bytes fw = block(kFirmwareAddress, pattern(40, 9));
    uint16_t size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), len(fw), 0, &size), aErrNone);
    Display display;
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), len(fw), size, display), aErrNone);
    module_.reset();
    sim_->stop();
  }
}

TEST_F(EntityTest, ReconnectNumbersItsAttemptsInTwoSeriesAndGivesUp) {
  start();
  sim_.reset();  // the module is gone: every connection is refused
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ASSERT_NE(out, nullptr);
  Log::SetOutput(out);
  Log::ActivatePackage(DEBUG_Network);
  UpdaterEntity e;
  e.init(module_.get(), 0, true, false);
  EXPECT_NE(e._reconnect(1), aErrNone);
  Log::DeactivatePackage(DEBUG_Network);
  Log::SetOutput(stderr);
  std::fclose(out);
  const std::string log(text, size);
  std::free(text);
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_NE(log.find("NETWORK: Attempting to reconnect. Attempt: " + n + " of 5\n"), std::string::npos) << n;
    EXPECT_NE(log.find("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: " + n + " of 5\n"), std::string::npos)
        << n;
  }
  EXPECT_EQ(log.find("Attempt: 6"), std::string::npos);
  EXPECT_FALSE(module_->isConnected());
}

TEST_F(EntityTest, RebootWaitEndsWithTheLinkOrItsBound) {
  struct Case {
    const char* what;
    bool noWait;
    bool linkStays;
    aErr result;
    std::chrono::milliseconds atLeast, below;
  };
  const std::vector<Case> cases = {
      {"link drops", false, false, aErrNone, 0ms, 2000ms},
      {"behind a router: one pass", true, true, aErrNone, 250ms, 1000ms},
      {"link never drops: gives up", false, true, aErrTimeout, 600ms, 2000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    loader_->enterLoader();
    if (c.linkStays) hook_->set([](auto&, const jvsim::Packet& p) { return p.data == Bytes{0x5F, 0x06}; });
    UpdaterEntity e;
    e.init(module_.get(), 0, true, c.noWait);
    e.rebootWaitMs = 600;
    Display display;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.LoaderReboot(display), c.result);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
    EXPECT_EQ(display.spinnerOff, 1);
    if (c.linkStays) {
      EXPECT_TRUE(module_->isConnected());
    } else {
      EXPECT_TRUE(linkGoesDown(*module_));
    }
    hook_->set(nullptr);
    module_.reset();
    sim_->stop();
  }
}

// However the module restarts, the wait ends once the restart shows: a
// link that went down, a peer that closed, or a connection the stream had
// to make anew, even when the module was back before anyone looked. A
// module that ignores the request keeps its link and the wait gives up.
TEST_F(EntityTest, RebootWaitSeesEveryKindOfRestart) {
  using jvsim::Restart;
  struct Case {
    const char* what;
    Restart how;
    int backMs;
    bool ignored;
  };
  const std::vector<Case> cases = {
      {"reset, back at once", Restart::Reset, 0, false},
      {"orderly close, back at once", Restart::Close, 0, false},
      {"silent reset, back at once", Restart::Silent, 0, false},
      {"orderly close, back after 300 ms", Restart::Close, 300, false},
      {"silent reset, back after 300 ms", Restart::Silent, 300, false},
      {"ignores the reboot", Restart::Reset, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    loader_->enterLoader();
    loader_->faults().rebootRestart = c.how;
    loader_->faults().rebootBackMs = c.backMs;
    loader_->faults().ignoreReboot = c.ignored;
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    e.rebootWaitMs = c.ignored ? 800 : 10000;  // the bound only stops a wait that never ends
    Display display;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.LoaderReboot(display), c.ignored ? aErrTimeout : aErrNone);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(loader_->stats().reboots.load(), c.ignored ? 0u : 1u);
    if (c.ignored) {
      EXPECT_GE(took, 800ms);
      EXPECT_TRUE(module_->isConnected());
    } else {
      EXPECT_LT(took, 5s);
    }
    module_.reset();
    sim_->stop();
  }
}

// A module that keeps answering the wait's probes holds its link, and the
// wait gives up at its bound saying so. One that stops answering but takes
// a new connection has restarted under the old one, which its fresh stack
// would reset only at TCP's next try of it: the wait ends once the probes
// have gone unanswered a while, not at its bound.
TEST_F(EntityTest, RebootWaitTellsAModuleThatKeptItsLinkFromOneThatStoppedAnswering) {
  struct Case {
    const char* what;
    bool answers;
    aErr result;
    const char* logged;
    std::chrono::milliseconds atLeast, below;
  };
  const std::chrono::milliseconds silence{UpdaterEntity::PROBE_SILENCE_MS};
  const std::vector<Case> cases = {
      {"keeps answering", true, aErrTimeout, "NETWORK: The module kept its link 4000 ms after the reboot request.\n",
       4000ms, 6000ms},
      {"stops answering, takes a new connection", false, aErrNone,
       "while its link went unanswered: it restarted.\n", silence, silence + 1500ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    loader_->enterLoader();
    // The REBOOT is taken and nothing else changes, or from it on the module
    // says nothing more on this connection.
    hook_->set([answers = c.answers](jvsim::SimModule& m, const jvsim::Packet& p) {
      if (p.data != Bytes{0x5F, 0x06}) return false;
      if (!answers) m.faults().silent = true;
      return true;
    });
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    Log::SetOutput(out);
    Log::ActivatePackage(DEBUG_Network_FIRM);
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    e.rebootWaitMs = 4000;
    Display display;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.LoaderReboot(display), c.result);
    const auto took = std::chrono::steady_clock::now() - t0;
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::SetOutput(stderr);
    std::fclose(out);
    const std::string log(text, size);
    std::free(text);
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_EQ(log.find("stopped answering"), std::string::npos) << log;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
    hook_->set(nullptr);
    module_.reset();
    sim_->stop();
  }
}

TEST_F(EntityTest, UeiAndPooledSupportChecks) {
  struct Case {
    const char* what;
    bool offered;
    uint32_t features;
    int featureError;  // error replies to the feature read
    aErr uei, pooled;
  };
  const std::vector<Case> cases = {
      {"both", true, 0x80000000u, 0, aErrNone, aErrNone},
      {"no pooled writes", true, 0x00000001u, 0, aErrNone, aErrNone},
      {"feature read fails", true, 0x80000000u, 1, aErrNone, aErrIO},
      {"UEI refused", false, 0x80000000u, 0, aErrInvalidOption, aErrNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    loader_->setUeiData(c.offered);
    cmds_->set(jvsim::kOptProtocolFeatures, c.features);
    cmds_->faults().command = jvsim::kCmdSystem;
    cmds_->faults().option = jvsim::kOptProtocolFeatures;
    cmds_->faults().errorReplies = c.featureError;
    UpdaterEntity e;
    e.init(module_.get(), 0, true, false);
    EXPECT_EQ(e.CheckUEIDataSupport(), c.uei);
    EXPECT_EQ(e.ueiData, c.uei == aErrNone);
    EXPECT_EQ(e.CheckPooledPacketsSupport(), c.pooled);
    e.init(module_.get(), 0, true, false);
    EXPECT_FALSE(e.ueiData) << "init clears it";
    module_.reset();
    sim_->stop();
  }
}

TEST(EntityUnbound, EveryRequestNeedsAModule) {
  UpdaterEntity e;
  EXPECT_TRUE(e.verifyTransfer);
  EXPECT_EQ(e.module, nullptr);
  Display display;
  const Bytes b = block(kFirmwareAddress, pattern(4, 1));
  uint16_t size = 0;
  EXPECT_EQ(e.LoaderInit(), aErrResource);
  EXPECT_EQ(e.TransferPrepare(b.data(), len(b), 0, &size), aErrResource);
  EXPECT_EQ(e.FirmwareWrite(4), aErrResource);
  EXPECT_EQ(e.LoaderStart(), aErrResource);
  EXPECT_EQ(e.CheckUEIDataSupport(), aErrResource);
  EXPECT_EQ(e.CheckPooledPacketsSupport(), aErrResource);
  EXPECT_EQ(e.LoaderReboot(display), aErrResource);
}

}  // namespace
