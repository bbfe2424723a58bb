// The simulated module's command layer, driven with raw packet bytes over its
// in-process byte pipe, so that the object layer's tests can trust what it
// answers. Nothing here goes through the product's library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

#include "../simsupport/PipeHost.h"
#include "SimCommands.h"
#include "SimRouter.h"

using namespace std::chrono_literals;
using jvsim::Bytes;
using jvsim::Dir;
using jvsim::SimCommands;
using jvsim::SimModule;

namespace {

constexpr uint8_t kAddr = 0x04;

std::string hex(const Bytes& b) { return jvsim::Transcript::hex(b); }

using Host = simtest::PipeHost;

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jvsim::SimConfig c;
    c.address = kAddr;
    c.serial = 0x00C0FFEE;
    c.model = 0x13;
    sim_ = SimModule::overPipe(c);
    cmds_ = SimCommands::install(*sim_);
    sim_->start();
    host_ = std::make_unique<Host>(sim_->pipeTransport()->pipe());
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "%s", sim_->transcript().text().c_str());
  }

  std::unique_ptr<SimModule> sim_;
  std::shared_ptr<SimCommands> cmds_;
  std::unique_ptr<Host> host_;
};

struct Exchange {
  const char* what;
  Bytes request;
  Bytes reply;  // empty: no reply within 300 ms
};

void runExchanges(Host& host, const std::vector<Exchange>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes got = host.ask(c.request, kAddr, c.reply.empty() ? 300ms : 1000ms);
    EXPECT_EQ(hex(got), hex(c.reply));
  }
}

TEST_F(CommandTest, AnswersSystemOptionsByType) {
  cmds_->set(jvsim::kOptVersion, jvsim::packVersion(2, 15, 1));
  cmds_->set(jvsim::kOptTemperature, static_cast<uint32_t>(-5));
  runExchanges(*host_, {
      {"get u8 module address", {0x03, 0x41, 0x20}, {0x03, 0x01, 0x00, kAddr}},
      {"get u8 model", {0x03, 0x48, 0x20}, {0x03, 0x08, 0x00, 0x13}},
      {"get u32 version", {0x03, 0x47, 0x20}, {0x03, 0x07, 0x00, 0x2F, 0x02, 0x0F, 0x01}},
      {"get u32 serial", {0x03, 0x49, 0x20}, {0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE}},
      {"get signed temperature", {0x03, 0x5B, 0x20}, {0x03, 0x1B, 0x00, 0xFF, 0xFF, 0xFF, 0xFB}},
      {"get build", {0x03, 0x6B, 0x20}, {0x03, 0x2B, 0x00, 0x00, 0x00, 0xEE, 0x48}},
      {"get protocol features", {0x03, 0x6D, 0x20}, {0x03, 0x2D, 0x00, 0x80, 0x00, 0x00, 0x00}},
      {"get chip id word 2 by subindex", {0x03, 0x67, 0x20, 0x02}, {0x03, 0x27, 0x00, 0x99, 0xAA, 0xBB, 0xCC}},
      {"get with subindex 0 of a plain option", {0x03, 0x48, 0x20, 0x00}, {0x03, 0x08, 0x00, 0x13}},
      {"set u8 LED", {0x03, 0x84, 0x20, 0x01}, {0x03, 0xC4, 0x00}},
      {"read LED back", {0x03, 0x44, 0x20}, {0x03, 0x04, 0x00, 0x01}},
      {"set u32 power limit max", {0x03, 0xA2, 0x20, 0x01, 0x02, 0x03, 0x04}, {0x03, 0xE2, 0x00}},
      {"read power limit max back", {0x03, 0x62, 0x20}, {0x03, 0x22, 0x00, 0x01, 0x02, 0x03, 0x04}},
      {"set u8 in subindex form", {0x03, 0x84, 0x20, 0x00, 0x00}, {0x03, 0xC4, 0x00}},
      {"call save", {0x03, 0x8A, 0x20}, {0x03, 0xCA, 0x00}},
      {"routeToMe", {0x03, 0x94, 0x20, 0x01}, {0x03, 0xD4, 0x00}},
  });
  EXPECT_EQ(cmds_->get(jvsim::kOptLED), 0u);
  EXPECT_EQ(cmds_->get(jvsim::kOptPowerLimitMax), 0x01020304u);
  EXPECT_EQ(cmds_->get(jvsim::kOptRouteToMe), 1u);
  EXPECT_EQ(cmds_->callCount(jvsim::kOptSave), 1u);
  EXPECT_EQ(sim_->transcript().countEvents("[04] route to me 1"), 1u);
}

TEST_F(CommandTest, AnswersWhatItLacksWithErrorReplies) {
  runExchanges(*host_, {
      {"unknown option", {0x03, 0x45, 0x20}, {0x03, 0x05, 0x80, 29}},
      {"unknown option set", {0x03, 0xAC, 0x20, 0x01}, {0x03, 0xEC, 0x80, 29}},
      {"set of a get-only option", {0x03, 0x89, 0x20, 0, 0, 0, 1}, {0x03, 0xC9, 0x80, 29}},
      {"get of a set-only option", {0x03, 0x54, 0x20}, {0x03, 0x14, 0x80, 29}},
      {"get of a call", {0x03, 0x4B, 0x20}, {0x03, 0x0B, 0x80, 29}},
      {"set with a value of the wrong width", {0x03, 0x84, 0x20, 0x00, 0x01, 0x02}, {0x03, 0xC4, 0x80, 14}},
      {"set u8 without a value", {0x03, 0x84, 0x20}, {0x03, 0xC4, 0x80, 14}},
      {"subindex past the chip id words", {0x03, 0x67, 0x20, 0x04}, {0x03, 0x27, 0x80, 26}},
      {"entity index 1 of the system", {0x03, 0x47, 0x21}, {0x03, 0x07, 0x81, 26}},
      {"unknown entity", {0x30, 0x41, 0x20}, {0x30, 0x01, 0x80, 28}},
      {"a reply-shaped packet is no request", {0x03, 0x07, 0x00}, {}},
      {"no request index bit", {0x03, 0x47, 0x00}, {}},
      {"raw command of another layer", {0x5F, 0x01, 0x00}, {}},
  });
  EXPECT_EQ(cmds_->get(jvsim::kOptLED), 0u);
}

// A block of n bytes as the chunk packets that carry it: header, up to 24 bytes, trailer.
std::vector<Bytes> chunks(const Bytes& head, const Bytes& block) {
  std::vector<Bytes> out;
  size_t sent = 0;
  uint8_t seq = 0;
  do {
    size_t n = std::min<size_t>(24, block.size() - sent);
    Bytes c = head;
    c.insert(c.end(), block.begin() + static_cast<long>(sent), block.begin() + static_cast<long>(sent + n));
    sent += n;
    c.push_back(static_cast<uint8_t>((sent < block.size() ? 0x80 : 0) | seq));
    seq = (seq + 1) & 0x7F;
    out.push_back(c);
  } while (sent < block.size());
  return out;
}

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>('A' + i % 26);
  return b;
}

struct BlockCase {
  size_t length;
  size_t packets;
};

const BlockCase kBlocks[] = {{0, 1}, {1, 1}, {24, 1}, {25, 2}, {48, 2}, {129 * 24 + 5, 130}};

TEST_F(CommandTest, SendsByteBlocksInSequencedChunks) {
  for (const auto& c : kBlocks) {
    SCOPED_TRACE(c.length);
    Bytes block = pattern(c.length);
    cmds_->setBytes(jvsim::kOptName, block);
    host_->send(kAddr, {0x03, 0x60, 0x20});
    auto expected = chunks({0x03, 0x20, 0x00}, block);
    ASSERT_EQ(expected.size(), c.packets);
    for (const auto& e : expected) {
      Bytes p = host_->packet();
      ASSERT_FALSE(p.empty());
      EXPECT_EQ(hex(Bytes(p.begin() + 1, p.end())), hex(e));
    }
    EXPECT_TRUE(host_->packet(100ms).empty());
  }
}

TEST_F(CommandTest, TakesByteBlocksInSequencedChunks) {
  for (const auto& c : kBlocks) {
    SCOPED_TRACE(c.length);
    Bytes block = pattern(c.length);
    auto parts = chunks({0x03, 0xA0, 0x20}, block);
    for (size_t i = 0; i + 1 < parts.size(); ++i) host_->send(kAddr, parts[i]);
    // Only the last chunk is answered.
    EXPECT_EQ(hex(host_->ask(parts.back())), hex({0x03, 0xE0, 0x00}));
    EXPECT_EQ(cmds_->getBytes(jvsim::kOptName), block);
  }
}

TEST_F(CommandTest, RefusesBrokenByteBlocks) {
  cmds_->setBytes(jvsim::kOptName, std::string("keep"));
  auto parts = chunks({0x03, 0xA0, 0x20}, pattern(60));
  // A chunk lost on the way: the next one is out of sequence.
  host_->send(kAddr, parts[0]);
  EXPECT_EQ(hex(host_->ask(parts[2])), hex({0x03, 0xE0, 0x80, 24}));
  // A set with no chunk and no trailer carries no block.
  EXPECT_EQ(hex(host_->ask({0x03, 0xA0, 0x20})), hex({0x03, 0xE0, 0x80, 14}));
  // A block longer than the option holds: refused once, at its end.
  cmds_->setByteLimit(jvsim::kOptName, 100);
  auto big = chunks({0x03, 0xA0, 0x20}, pattern(101));
  for (size_t i = 0; i + 1 < big.size(); ++i) host_->send(kAddr, big[i]);
  EXPECT_EQ(hex(host_->ask(big.back())), hex({0x03, 0xE0, 0x80, 14}));
  auto fits = chunks({0x03, 0xA0, 0x20}, pattern(100));
  for (size_t i = 0; i + 1 < fits.size(); ++i) host_->send(kAddr, fits[i]);
  EXPECT_EQ(hex(host_->ask(fits.back())), hex({0x03, 0xE0, 0x00}));
  cmds_->setBytes(jvsim::kOptName, std::string("keep"));
  // A get of a block carries no subindex.
  EXPECT_EQ(hex(host_->ask({0x03, 0x60, 0x20, 0x00})), hex({0x03, 0x20, 0x80, 14}));
  EXPECT_EQ(cmds_->getBytes(jvsim::kOptName), Bytes({'k', 'e', 'e', 'p'}));
  // After all that a fresh block still goes in.
  EXPECT_EQ(hex(host_->ask(chunks({0x03, 0xA0, 0x20}, {'o', 'k'})[0])), hex({0x03, 0xE0, 0x00}));
  EXPECT_EQ(cmds_->getBytes(jvsim::kOptName), Bytes({'o', 'k'}));
}

TEST_F(CommandTest, AnswersModuleInformationAndEcho) {
  jvsim::OptionSpec data;
  data.option = 10;
  data.type = jvsim::ValueType::Bytes;
  data.get = false;
  data.set = true;
  cmds_->addOption(jvsim::kCmdUpgrade, 0, data);
  cmds_->set(jvsim::kOptBuild, 100000);
  runExchanges(*host_, {
      {"build", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x01, 0x86, 0xA0}},
      {"hasUEI get of serial", {0x49, 0x01, 0x03, 0x09, 0x00, 0x40}, {0x49, 0x01, 0x03, 0x09, 0x00, 0}},
      {"hasUEI set of serial", {0x49, 0x01, 0x03, 0x09, 0x00, 0x80}, {0x49, 0x01, 0x03, 0x09, 0x00, 29}},
      {"hasUEI any form of routeToMe", {0x49, 0x01, 0x03, 0x14, 0x00, 0x00}, {0x49, 0x01, 0x03, 0x14, 0x00, 0}},
      {"hasUEI missing option", {0x49, 0x01, 0x03, 0x05, 0x00, 0x40}, {0x49, 0x01, 0x03, 0x05, 0x00, 29}},
      {"hasUEI missing index", {0x49, 0x01, 0x03, 0x09, 0x01, 0x40}, {0x49, 0x01, 0x03, 0x09, 0x01, 26}},
      {"hasUEI missing entity", {0x49, 0x01, 0x30, 0x01, 0x00, 0x40}, {0x49, 0x01, 0x30, 0x01, 0x00, 28}},
      {"hasUEI of an added entity", {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}, {0x49, 0x01, 0x5F, 0x0A, 0x00, 0}},
      {"class quantity of the system", {0x49, 0x04, 0x03}, {0x49, 0x04, 0x03, 1}},
      {"class quantity of I2C", {0x49, 0x04, 0x08}, {0x49, 0x04, 0x08, 1}},
      {"class quantity of nothing", {0x49, 0x04, 0x30}, {0x49, 0x04, 0x30, 0}},
      {"subclass quantity", {0x49, 0x05, 0x03, 0x00}, {0x49, 0x05, 0x03, 0x00, 1}},
      {"entity group", {0x49, 0x06, 0x03, 0x00}, {0x49, 0x06, 0x03, 0x00, 0}},
      {"query of the wrong length", {0x49, 0xFF, 0x00}, {}},
      {"echo", {0x17, 0x01, 0x02, 0x03}, {0x17, 0x01, 0x02, 0x03}},
      {"empty echo", {0x17}, {0x17}},
  });
}

TEST_F(CommandTest, DrivesTheI2CBus) {
  cmds_->addI2CDevice(0x50, Bytes(16, 0xEE));
  runExchanges(*host_, {
      {"probe of an absent address", {0x08, 0x00, 0x52, 0x02, 0x03, 0x00, 0x00}, {0x08, 0x00, 0x52, 0x00, 0x86}},
      {"write two bytes at 3", {0x08, 0x00, 0x50, 0x02, 0x03, 0x03, 0x5A}, {0x08, 0x00, 0x50, 0x00, 0x00}},
      {"read four from 3", {0x08, 0x00, 0x51, 0x04, 0x03}, {0x08, 0x00, 0x51, 0x04, 0x00, 0x5A, 0xEE, 0xEE, 0xEE}},
      {"read of an absent address", {0x08, 0x00, 0x53, 0x01, 0x00}, {0x08, 0x00, 0x53, 0x00, 0x86}},
      {"read of 24 bytes", {0x08, 0x00, 0x51, 0x18, 0x00}, {0x08, 0x00, 0x51, 0x00, 0x8E}},
      {"write counting 24 bytes", [] {
         Bytes b{0x08, 0x00, 0x50, 0x18, 0x00};
         b.resize(28, 0x11);  // all a packet holds
         return b;
       }(), {0x08, 0x00, 0x50, 0x00, 0x8E}},
      {"write shorter than its count", {0x08, 0x00, 0x50, 0x03, 0x00, 0x01}, {0x08, 0x00, 0x50, 0x00, 0x8E}},
      {"entity index 1", {0x08, 0x01, 0x50, 0x00, 0x00}, {0x08, 0x01, 0x50, 0x00, 0x9A}},
      {"pull-up on", {0x08, 0x00, 0x01, 0x01}, {0x08, 0x00, 0x01, 0x01, 0x00}},
  });
  Bytes mem = cmds_->i2cMemory(0x50);
  ASSERT_EQ(mem.size(), 16u);
  EXPECT_EQ(mem[3], 0x5A);
  EXPECT_EQ(mem[4], 0xEE);
  EXPECT_TRUE(cmds_->pullup());
  EXPECT_EQ(sim_->transcript().countEvents("[04] i2c no acknowledge at 52"), 1u);
}

// Each fault case: what to switch, the request, the replies it must get, and
// the reply the same request gets next (the switch was for one request only;
// out of scope it stays armed and the first reply is already the plain one).
struct FaultCase {
  const char* what;
  void (*arm)(jvsim::CommandFaults&);
  Bytes request;
  std::vector<Bytes> replies;  // empty: none
  Bytes after;
};

const Bytes kSerialGet{0x03, 0x49, 0x20};
const Bytes kSerialReply{0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE};
const Bytes kModelReply{0x03, 0x08, 0x00, 0x13};

const FaultCase kFaults[] = {
    {"error reply with a code", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.errorCode = 29; },
     kSerialGet, {{0x03, 0x09, 0x80, 29}}, kSerialReply},
    {"error reply without a code", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.errorCode = -1; },
     kSerialGet, {{0x03, 0x09, 0x80}}, kSerialReply},
    {"error reply with code 0", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.errorCode = 0; },
     {0x03, 0x84, 0x20, 0x01}, {{0x03, 0xC4, 0x80, 0x00}}, {0x03, 0xC4, 0x00}},
    {"I2C status 0x80", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.errorCode = 0; },
     {0x08, 0x00, 0x50, 0x00, 0x00}, {{0x08, 0x00, 0x50, 0x00, 0x80}}, {0x08, 0x00, 0x50, 0x00, 0x00}},
    {"a u32 reply a byte long", [](jvsim::CommandFaults& f) { f.wrongLength = 1; f.lengthDelta = 1; },
     kSerialGet, {{0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE, 0x00}}, kSerialReply},
    {"a u32 reply a byte short", [](jvsim::CommandFaults& f) { f.wrongLength = 1; f.lengthDelta = -1; },
     kSerialGet, {{0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF}}, kSerialReply},
    {"a build reply a byte short", [](jvsim::CommandFaults& f) { f.wrongLength = 1; f.lengthDelta = -1; },
     {0x49, 0xFF}, {{0x49, 0xFF, 0x00, 0x00, 0xEE}}, {0x49, 0xFF, 0x00, 0x00, 0xEE, 0x48}},
    {"an echo a byte long", [](jvsim::CommandFaults& f) { f.wrongLength = 1; f.lengthDelta = 1; },
     {0x17, 0x01, 0x02}, {{0x17, 0x01, 0x02, 0x00}}, {0x17, 0x01, 0x02}},
    {"a block chunk a byte short", [](jvsim::CommandFaults& f) { f.wrongLength = 1; f.lengthDelta = -1; },
     {0x03, 0x60, 0x20}, {{0x03, 0x20, 0x00, 'S', 'i', 'm', 'M', 'o', 'd', 'u', 'l', 'e'}},  // the trailer lost
     {0x03, 0x20, 0x00, 'S', 'i', 'm', 'M', 'o', 'd', 'u', 'l', 'e', 0x00}},
    {"an echo with its last byte changed", [](jvsim::CommandFaults& f) { f.corrupt = 1; },
     {0x17, 0x01, 0x02, 0x03}, {{0x17, 0x01, 0x02, 0xFC}}, {0x17, 0x01, 0x02, 0x03}},
    {"a stream sample ahead of the reply", [](jvsim::CommandFaults& f) { f.streamSample = 1; },
     kSerialGet, {{0x03, 0x09, 0x40, 0x00, 0xC0, 0xFF, 0xEF}, kSerialReply}, kSerialReply},
    {"silence", [](jvsim::CommandFaults& f) { f.silence = 1; }, kSerialGet, {}, kSerialReply},
    {"silence on a byte-block set", [](jvsim::CommandFaults& f) { f.silence = 1; },
     {0x03, 0xA0, 0x20, 'x', 0x00}, {}, {0x03, 0xE0, 0x00}},
    {"out of scope: another command", [](jvsim::CommandFaults& f) { f.silence = 1; f.command = 0x49; },
     {0x03, 0x48, 0x20}, {kModelReply}, kModelReply},
    {"out of scope: another option", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.command = 3; f.option = 9; },
     {0x03, 0x48, 0x20}, {kModelReply}, kModelReply},
    {"in scope", [](jvsim::CommandFaults& f) { f.errorReplies = 1; f.errorCode = 6; f.command = 3; f.option = 8; },
     {0x03, 0x48, 0x20}, {{0x03, 0x08, 0x80, 6}}, kModelReply},
};

class FaultTest : public CommandTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, ShapesTheNextReplyOnly) {
  const auto& c = GetParam();
  cmds_->addI2CDevice(0x50);
  c.arm(cmds_->faults());
  host_->send(kAddr, c.request);
  for (const auto& r : c.replies) {
    Bytes p = host_->packet();
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p[0], kAddr);
    EXPECT_EQ(hex(Bytes(p.begin() + 1, p.end())), hex(r));
  }
  EXPECT_TRUE(host_->packet(200ms).empty());
  // A fault that struck says so in the transcript; one out of scope does not.
  const bool struck = c.replies.empty() || c.replies[0] != c.after;
  EXPECT_EQ(sim_->transcript().countEvents("[04] fault "), struck ? 1u : 0u);
  EXPECT_EQ(hex(host_->ask(c.request)), hex(c.after));
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) {
                           std::string n;
                           for (const char* p = info.param.what; *p; ++p) n += std::isalnum(*p) ? *p : '_';
                           return n;
                         });

TEST_F(CommandTest, SendsALateReplyWithoutHoldingTheNextOne) {
  auto& f = cmds_->faults();
  f.lateMs = 400;
  f.lateReplies = 1;
  auto t0 = std::chrono::steady_clock::now();
  host_->send(kAddr, {0x03, 0x49, 0x20});
  EXPECT_TRUE(host_->packet(250ms).empty());  // the host's wait runs out first
  cmds_->set(jvsim::kOptSerialNumber, 0x0BADF00D);
  // The next request is answered at once, ahead of the late reply.
  EXPECT_EQ(hex(host_->ask({0x03, 0x49, 0x20})), hex({0x03, 0x09, 0x00, 0x0B, 0xAD, 0xF0, 0x0D}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 380ms);
  Bytes late = host_->packet();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 400ms);
  EXPECT_EQ(hex(late), hex({kAddr, 0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE}));
  EXPECT_TRUE(sim_->transcript().waitFor(Dir::Out, {kAddr, 0x07, 0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE}, 1, 1s));
}

TEST_F(CommandTest, CountsFaultsPerRequestAndForEver) {
  auto& f = cmds_->faults();
  f.errorCode = 13;
  f.errorReplies = -1;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(hex(host_->ask({0x03, 0x48, 0x20})), hex({0x03, 0x08, 0x80, 13}));
  f.errorReplies = 2;
  EXPECT_EQ(hex(host_->ask({0x03, 0x48, 0x20})), hex({0x03, 0x08, 0x80, 13}));
  EXPECT_EQ(hex(host_->ask({0x03, 0x48, 0x20})), hex({0x03, 0x08, 0x80, 13}));
  EXPECT_EQ(hex(host_->ask({0x03, 0x48, 0x20})), hex({0x03, 0x08, 0x00, 0x13}));
  // A byte-block set takes its fault once, at the end of the block.
  f.errorReplies = 1;
  auto parts = chunks({0x03, 0xA0, 0x20}, pattern(30));
  host_->send(kAddr, parts[0]);
  EXPECT_EQ(hex(host_->ask(parts[1])), hex({0x03, 0xE0, 0x80, 13}));
  EXPECT_EQ(f.errorReplies, 0);
  EXPECT_EQ(cmds_->getBytes(jvsim::kOptName), Bytes({'S', 'i', 'm', 'M', 'o', 'd', 'u', 'l', 'e'}));
  EXPECT_EQ(sim_->transcript().countEvents("[04] error reply 13"), 6u);
}

TEST_F(CommandTest, RestoresFactoryDefaults) {
  EXPECT_EQ(hex(host_->ask({0x03, 0x84, 0x20, 0x01})), hex({0x03, 0xC4, 0x00}));
  EXPECT_EQ(hex(host_->ask({0x03, 0xA0, 0x20, 'n', 'e', 'w', 0x00})), hex({0x03, 0xE0, 0x00}));
  EXPECT_EQ(hex(host_->ask({0x03, 0xA5, 0x20})), hex({0x03, 0xE5, 0x00}));
  EXPECT_EQ(cmds_->get(jvsim::kOptLED), 0u);
  EXPECT_EQ(cmds_->getBytes(jvsim::kOptName), Bytes({'S', 'i', 'm', 'M', 'o', 'd', 'u', 'l', 'e'}));
  EXPECT_EQ(cmds_->callCount(jvsim::kOptLED), 1u);
}

TEST(CommandResetTest, DropsTheLinkAfterItsReplyWhenAsked) {
  for (bool drops : {false, true}) {
    SCOPED_TRACE(drops);
    auto sim = SimModule::overPipe();
    auto config = jvsim::CommandConfig::from(sim->config());
    config.resetDropsLink = drops;
    auto cmds = SimCommands::install(*sim, config);
    sim->start();
    auto pipe = sim->pipeTransport()->pipe();
    Host host(pipe);
    EXPECT_EQ(hex(host.ask({0x03, 0x8B, 0x20})), hex({0x03, 0xCB, 0x00}));
    EXPECT_TRUE(sim->transcript().waitForEvent("[04] reset", 1, 1s));
    EXPECT_EQ(cmds->callCount(jvsim::kOptReset), 1u);
    uint8_t b;
    EXPECT_EQ(pipe->hostRead(&b, 1, 200), drops ? -1 : 0);
  }
}

// ---- router ---------------------------------------------------------------

class RouterTest : public CommandTest {
 protected:
  void SetUp() override {
    jvsim::SimConfig c;
    c.address = kAddr;
    sim_ = SimModule::overPipe(c);
    cmds_ = SimCommands::install(*sim_);
    router_ = jvsim::SimRouter::install(*sim_, cmds_);
    a_ = router_->addSubModule(0x0A, 0x00A0000A);
    b_ = router_->addSubModule(0x0C, 0x00A0000C, 0x11);
    sim_->start();
    host_ = std::make_unique<Host>(sim_->pipeTransport()->pipe());
  }
  std::shared_ptr<jvsim::SimRouter> router_;
  std::shared_ptr<SimCommands> a_, b_;
};

TEST_F(RouterTest, RoutesToSubModulesOnlyWhenAsked) {
  const Bytes getSerial{0x03, 0x49, 0x20};
  // Routing off: the sub-modules are not reached.
  EXPECT_TRUE(host_->ask(getSerial, 0x0A, 300ms).empty());
  EXPECT_EQ(router_->unroutedPackets(), 1u);
  EXPECT_EQ(hex(host_->ask({0x03, 0x94, 0x20, 0x01})), hex({0x03, 0xD4, 0x00}));
  EXPECT_TRUE(router_->routing());

  struct {
    uint8_t address;
    Bytes request, reply;
  } cases[] = {
      {0x0A, getSerial, {0x03, 0x09, 0x00, 0x00, 0xA0, 0x00, 0x0A}},
      {0x0C, getSerial, {0x03, 0x09, 0x00, 0x00, 0xA0, 0x00, 0x0C}},
      {0x0C, {0x03, 0x48, 0x20}, {0x03, 0x08, 0x00, 0x11}},
      {0x0C, {0x03, 0x41, 0x20}, {0x03, 0x01, 0x00, 0x0C}},
      {0x0C, {0x03, 0x42, 0x20}, {0x03, 0x02, 0x00, kAddr}},
      {0x0A, {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x00, 0xEE, 0x48}},
      {0x0A, {0x17, 0x33}, {0x17, 0x33}},
      {kAddr, getSerial, {0x03, 0x09, 0x00, 0x00, 0x12, 0xAB, 0xCD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(hex(host_->ask(c.request, c.address)), hex(c.reply));
    EXPECT_EQ(host_->lastAddress, c.address);
  }
  // An address with no sub-module stays unanswered even when routing.
  EXPECT_TRUE(host_->ask(getSerial, 0x0E, 300ms).empty());

  EXPECT_EQ(hex(host_->ask({0x03, 0x94, 0x20, 0x00})), hex({0x03, 0xD4, 0x00}));
  EXPECT_TRUE(host_->ask(getSerial, 0x0A, 300ms).empty());
}

TEST_F(RouterTest, AnswersI2CProbesOfEveryAddressAtOnce) {
  // The router's I2C entity: the sub-modules acknowledge, every other address fails fast.
  auto t0 = std::chrono::steady_clock::now();
  std::vector<uint8_t> found;
  for (unsigned a = 2; a <= 252; a += 2) {
    if (a == kAddr) continue;
    Bytes r = host_->ask({0x08, 0x00, static_cast<uint8_t>(a), 0x02, 0x03, 0x00, 0x00});
    ASSERT_EQ(r.size(), 5u) << a;
    if (r[4] == 0x00) {
      found.push_back(static_cast<uint8_t>(a));
    } else {
      EXPECT_EQ(r[4], 0x86) << a;
    }
  }
  EXPECT_EQ(found, (std::vector<uint8_t>{0x0A, 0x0C}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST_F(RouterTest, KeepsEachSubModulesFaultsToItself) {
  EXPECT_EQ(hex(host_->ask({0x03, 0x94, 0x20, 0x01})), hex({0x03, 0xD4, 0x00}));
  a_->faults().silence = -1;
  EXPECT_TRUE(host_->ask({0x03, 0x49, 0x20}, 0x0A, 300ms).empty());
  EXPECT_EQ(hex(host_->ask({0x03, 0x49, 0x20}, 0x0C)), hex({0x03, 0x09, 0x00, 0x00, 0xA0, 0x00, 0x0C}));
  router_->removeSubModule(0x0C);
  EXPECT_EQ(router_->subModule(0x0C), nullptr);
  EXPECT_EQ(hex(host_->ask({0x08, 0x00, 0x0C, 0x02, 0x03, 0x00, 0x00})), hex({0x08, 0x00, 0x0C, 0x00, 0x86}));
  EXPECT_THROW(router_->addSubModule(kAddr, 1), std::invalid_argument);
  EXPECT_THROW(router_->addSubModule(0x0B, 1), std::invalid_argument);
}

TEST_F(CommandTest, AnswersOnlyItsOwnAddress) {
  EXPECT_TRUE(host_->ask({0x03, 0x48, 0x20}, 0x06, 300ms).empty());
  EXPECT_EQ(host_->ask({0x03, 0x48, 0x20}, kAddr), (Bytes{0x03, 0x08, 0x00, 0x13}));
  EXPECT_EQ(host_->lastAddress, kAddr);
}

}  // namespace

// ---- the sim program -------------------------------------------------------

namespace {

class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args) {
    const std::string exe = std::string(JV_BINARY_DIR) + "/sim/module/sim";
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    text_ = fdopen(out[0], "r");
  }
  ~SimProgram() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (text_) fclose(text_);
  }
  // Connects to the address on its first line; false when it printed none.
  bool connect() {
    char line[256] = {};
    if (!text_ || !fgets(line, sizeof line, text_)) return false;
    unsigned port = 0;
    if (sscanf(line, "tcp 127.0.0.1:%u", &port) != 1) return false;
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  Bytes ask(uint8_t address, const Bytes& data, int waitMs = 1000) {
    Bytes w{address, static_cast<uint8_t>(data.size())};
    w.insert(w.end(), data.begin(), data.end());
    if (::send(fd_, w.data(), w.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(w.size())) return {};
    Bytes got;
    while (got.size() < 2 || got.size() < 2u + got[1]) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, waitMs) <= 0) return {};
      uint8_t b;
      if (::read(fd_, &b, 1) != 1) return {};
      got.push_back(b);
    }
    return got;
  }
  // Exit status after an interrupt: 0 for a clean stop.
  int status() {
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = 0;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  // Exit status of a run that ends on its own (a refused command line).
  int exitStatus() {
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = 0;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  pid_t pid_ = 0;
  FILE* text_ = nullptr;
  int fd_ = -1;
};

}  // namespace

TEST(SimProgramTest, TakesIdentityRouterAndFaultsFromItsCommandLine) {
  SimProgram sim({"--tcp", "127.0.0.1:0", "--quiet", "--serial", "ABCD0001", "--model", "17", "--version",
                  "2.10.4", "--build", "4660", "--name", "bench", "--features", "0", "--sub", "10:A000000A",
                  "--sub", "12:A000000C:21", "--fault-sub", "12", "--fault-error", "1:none", "--fault-scope",
                  "3:8"});
  ASSERT_TRUE(sim.connect());
  struct {
    uint8_t address;
    Bytes request, reply;
  } cases[] = {
      {0x04, {0x03, 0x49, 0x20}, {0x04, 0x07, 0x03, 0x09, 0x00, 0xAB, 0xCD, 0x00, 0x01}},
      {0x04, {0x03, 0x48, 0x20}, {0x04, 0x04, 0x03, 0x08, 0x00, 17}},
      {0x04, {0x03, 0x47, 0x20}, {0x04, 0x07, 0x03, 0x07, 0x00, 0x2A, 0x00, 0x00, 0x04}},
      {0x04, {0x49, 0xFF}, {0x04, 0x06, 0x49, 0xFF, 0x00, 0x00, 0x12, 0x34}},
      {0x04, {0x03, 0x6D, 0x20}, {0x04, 0x07, 0x03, 0x2D, 0x00, 0, 0, 0, 0}},
      {0x04, {0x03, 0x60, 0x20}, {0x04, 0x09, 0x03, 0x20, 0x00, 'b', 'e', 'n', 'c', 'h', 0x00}},
      {0x04, {0x03, 0x94, 0x20, 0x01}, {0x04, 0x03, 0x03, 0xD4, 0x00}},
      {0x0A, {0x03, 0x49, 0x20}, {0x0A, 0x07, 0x03, 0x09, 0x00, 0xA0, 0x00, 0x00, 0x0A}},
      {0x0C, {0x03, 0x48, 0x20}, {0x0C, 0x03, 0x03, 0x08, 0x80}},  // the fault, on that sub-module only
      {0x0C, {0x03, 0x48, 0x20}, {0x0C, 0x04, 0x03, 0x08, 0x00, 21}},
      {0x0A, {0x03, 0x48, 0x20}, {0x0A, 0x04, 0x03, 0x08, 0x00, 0x13}},
      {0x04, {0x08, 0x00, 0x0E, 0x02, 0x03, 0x00, 0x00}, {0x04, 0x05, 0x08, 0x00, 0x0E, 0x00, 0x86}},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(sim.ask(c.address, c.request)), hex(c.reply));
  EXPECT_EQ(sim.status(), 0);
}

TEST(SimProgramTest, RefusesBadCommandLayerOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--sub", "11:1"},           {"--sub", "10"},          {"--sub", "4:1"},  // own address
      {"--version", "2.x.1"},      {"--fault-error", "1:x"}, {"--fault-length", "1:2"},
      {"--fault-sub", "10"},       {"--model", "256"},       {"--fault-scope", "3:64"},
      {"--fault-late", "1:0"},
  };
  for (auto args : bad) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    args.insert(args.begin(), {"--tcp", "127.0.0.1:0", "--quiet"});
    SimProgram sim(args);
    EXPECT_EQ(sim.exitStatus(), 2);
  }
}
