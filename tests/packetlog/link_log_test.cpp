// A link's packet log: what the link engine records, the link functions'
// refusals and sizes, the logger thread, and the text file a Link writes,
// against a simulated module on TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SimModule.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aLogger.h"
#include "aPacketLog.h"
#include "aPacketLogInternal.h"

using namespace Tovanire::Jorvanite;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr const char* kHost = "127.0.0.9";
constexpr uint8_t kAddress = 4;

uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

struct Record {
  uint8_t type;
  Bytes data;
  bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* os) {
  *os << "type " << int(r.type) << ":";
  for (uint8_t b : r.data) *os << ' ' << std::hex << int(b) << std::dec;
}

std::vector<Record> readAll(aLinkRef ref) {
  std::vector<Record> all;
  uint8_t buffer[256];
  uint8_t type = 0;
  uint32_t length = sizeof buffer;
  while (aLink_PacketDebug_Read(ref, &type, &length, buffer) == aErrNone) {
    all.push_back({type, Bytes(buffer, buffer + length)});
    length = sizeof buffer;
  }
  return all;
}

bool isEcho(const aPacket* p, void*) { return p->length > 0 && p->data[0] == jvsim::kCmdEcho; }

// 0x17 and the payload to the module; true when its echo came back.
bool echo(aLinkRef ref, const Bytes& payload) {
  Bytes data{jvsim::kCmdEcho};
  data.insert(data.end(), payload.begin(), payload.end());
  aPacket* out = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(data.size()), data.data());
  const aErr err = aLink_PutPacket(ref, out);
  aPacket_Destroy(&out);
  if (err != aErrNone) return false;
  aPacket* in = aLink_AwaitFirst(ref, isEcho, nullptr, 2000);
  const bool same = in && Bytes(in->data, in->data + in->length) == data;
  aPacket_Destroy(&in);
  return same;
}

// The wire bytes of an echo of `payload` from or to the module.
Bytes echoWire(const Bytes& payload) {
  Bytes w{kAddress, static_cast<uint8_t>(payload.size() + 1), jvsim::kCmdEcho};
  w.insert(w.end(), payload.begin(), payload.end());
  return w;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines without their "\r\n"; a last line without one is kept as it is.
std::vector<std::string> fileLines(const std::string& path) {
  const std::string all = slurp(path);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < all.size()) {
    const size_t end = all.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(all.substr(at) + "<unterminated>");
      break;
    }
    lines.push_back(all.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::string packetLine(char direction, const Bytes& wire) {
  std::ostringstream line;
  line << wire.size() << ' ' << direction << ' ';
  for (uint8_t b : wire) line << "0x" << std::uppercase << std::hex << int(b) << ' ';
  return line.str();
}

const std::string kStartLine = std::string("6 < START") + '\0';

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/packetlog-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* c_str() const { return path_.c_str(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class PacketLogLink : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = jvsim::SimModule::overTcp(kHost);
    sim_->start();
    ref_ = aLink_CreateTCPIP(ipv4(kHost), sim_->tcp()->port());
    ASSERT_NE(ref_, 0u);
    ASSERT_TRUE(sim_->transcript().waitFor(jvsim::Dir::In, {0xAF, 0x01, 0x01}, 1, 3s));
    settle(ref_);
  }
  // Once an echo came back, the start's force route has gone out before it
  // and is never recorded by a ring enabled from now on.
  static void settle(aLinkRef ref) { ASSERT_TRUE(echo(ref, {0xEE})); }
  void TearDown() override {
    if (ref_) aLink_Destroy(&ref_);
    sim_.reset();
  }
  linkSpec spec() const {
    linkSpec s{};
    s.type = LINK_TCPIP;
    s.address = ipv4(kHost);
    s.port = sim_->tcp()->port();
    s.module = kAddress;
    return s;
  }

  std::unique_ptr<jvsim::SimModule> sim_;
  aLinkRef ref_ = 0;
};

TEST_F(PacketLogLink, FunctionsRefuseWithoutLinkOrRing) {
  uint8_t type = 0, buffer[8] = {};
  uint32_t length = sizeof buffer;
  const aLinkRef none = 0xFFFFFF0;
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(none, 0), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(none), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(none), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(none, &type, &length, buffer), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(none, aPacketLogText, 1, buffer), aErrParam);

  EXPECT_EQ(aLink_PacketDebug_Disable(ref_), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Read(ref_, &type, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(ref_, aPacketLogText, 1, buffer), aErrNotReady);
  // Without a ring nothing is recorded, and nothing appears later.
  ASSERT_TRUE(echo(ref_, {1}));
  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  EXPECT_TRUE(readAll(ref_).empty());
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref_, 64), aErrBusy);
}

TEST_F(PacketLogLink, SizeIsChosenBeforeTheRingExists) {
  struct Case {
    uint32_t asked;
    aErr result;
    uint32_t ringSize;
  } cases[] = {
      {0, aErrNone, aPACKETLOG_DEFAULT_SIZE},
      {100, aErrNone, 100},
      {0x4000000, aErrNone, 0x4000000},
      {0x4000001, aErrParam, aPACKETLOG_DEFAULT_SIZE},
      {0xFFFFFFFFu, aErrNone, aPACKETLOG_DEFAULT_SIZE},  // negative: the default
      {0x80000000u, aErrNone, aPACKETLOG_DEFAULT_SIZE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.asked);
    aLink_Destroy(&ref_);
    ref_ = aLink_CreateTCPIP(ipv4(kHost), sim_->tcp()->port());
    ASSERT_NE(ref_, 0u);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref_, c.asked), c.result);
    ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
    aLink* link = aLink_GetLinkObject(ref_);
    ASSERT_NE(link->packetLog.load(), nullptr);
    EXPECT_EQ(link->packetLog.load()->size, c.ringSize);
  }
}

TEST_F(PacketLogLink, RecordsWireBytesBothWaysWhileEnabled) {
  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  ASSERT_TRUE(echo(ref_, {1, 2, 3}));
  ASSERT_TRUE(echo(ref_, {}));
  // A request is recorded before it is written, so ahead of its reply.
  EXPECT_EQ(readAll(ref_), (std::vector<Record>{{aPacketLogSent, echoWire({1, 2, 3})},
                                                {aPacketLogReceived, echoWire({1, 2, 3})},
                                                {aPacketLogSent, echoWire({})},
                                                {aPacketLogReceived, echoWire({})}}));

  // Disabled: the link records nothing more, a caller's record still goes in.
  ASSERT_EQ(aLink_PacketDebug_Disable(ref_), aErrNone);
  ASSERT_TRUE(echo(ref_, {9}));
  const Bytes note = {'h', 'i'};
  ASSERT_EQ(aLink_PacketDebug_Write(ref_, aPacketLogText, 2, note.data()), aErrNone);
  EXPECT_EQ(readAll(ref_), (std::vector<Record>{{aPacketLogText, note}}));

  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  ASSERT_TRUE(echo(ref_, {7}));
  EXPECT_EQ(readAll(ref_), (std::vector<Record>{{aPacketLogSent, echoWire({7})}, {aPacketLogReceived, echoWire({7})}}));
}

TEST_F(PacketLogLink, ResetStartsWithoutARing) {
  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  ASSERT_TRUE(echo(ref_, {1}));
  ASSERT_EQ(aLink_Reset(ref_), aErrNone);
  settle(ref_);
  uint8_t type = 0, buffer[8];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(aLink_PacketDebug_Read(ref_, &type, &length, buffer), aErrNotReady);
  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  ASSERT_TRUE(echo(ref_, {2}));
  EXPECT_EQ(readAll(ref_), (std::vector<Record>{{aPacketLogSent, echoWire({2})}, {aPacketLogReceived, echoWire({2})}}));
}

TEST_F(PacketLogLink, DestroyWithRecordsPendingFreesTheRing) {
  ASSERT_EQ(aLink_PacketDebug_Enable(ref_), aErrNone);
  for (uint8_t i = 0; i < 20; ++i) ASSERT_TRUE(echo(ref_, {i}));
  // The leak checker of the sanitizer build sees whether ring and lock go.
  EXPECT_EQ(aLink_Destroy(&ref_), aErrNone);
}

// A stream whose first write (the start's force route) is held until the
// test lets it go, so packets can be queued behind it; writes are counted.
struct HeldStream {
  std::mutex m;
  std::condition_variable cv;
  bool held = false, released = false;
  int writes = 0;
  static aErr get(uint8_t*, void*) { return aErrNotReady; }
  static aErr put(const uint8_t* b, void* ref) { return write(b, 1, ref); }
  static aErr write(const uint8_t*, uint64_t, void* ref) {
    auto* s = static_cast<HeldStream*>(ref);
    std::unique_lock<std::mutex> lock(s->m);
    if (!s->held) {
      s->held = true;
      s->cv.notify_all();
      s->cv.wait(lock, [&] { return s->released; });
    }
    ++s->writes;
    s->cv.notify_all();
    return aErrNone;
  }
  static aErr del(void*) { return aErrNone; }
  bool waitFor(const std::function<bool()>& ready) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, 5s, ready);
  }
};

// A pooled write records only its first packet; one by one, every packet.
TEST(PacketLogPooled, PooledWriteRecordsItsFirstPacket) {
  HeldStream stream;
  aLinkRef ref = aLink_Create(aStream_Create(HeldStream::get, HeldStream::put, HeldStream::write, HeldStream::del,
                                             &stream));
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(stream.waitFor([&] { return stream.held; }));
  ASSERT_EQ(aLink_PacketDebug_Enable(ref), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(ref, true), aErrNone);
  auto queue = [&](uint8_t n) {
    const uint8_t data[2] = {jvsim::kCmdEcho, n};
    aPacket* p = aPacket_CreateWithData(kAddress, 2, data);
    ASSERT_EQ(aLink_PutPacket(ref, p), aErrNone);
    aPacket_Destroy(&p);
  };
  for (uint8_t i = 1; i <= 5; ++i) queue(i);
  {
    std::lock_guard<std::mutex> lock(stream.m);
    stream.released = true;
  }
  stream.cv.notify_all();
  ASSERT_TRUE(stream.waitFor([&] { return stream.writes == 2; }));  // the force route, then one pooled write
  ASSERT_EQ(aLink_EnablePooledPackets(ref, false), aErrNone);
  queue(6);
  queue(7);
  ASSERT_TRUE(stream.waitFor([&] { return stream.writes == 4; }));
  EXPECT_EQ(readAll(ref), (std::vector<Record>{{aPacketLogSent, {kAddress, 2, jvsim::kCmdEcho, 1}},
                                               {aPacketLogSent, {kAddress, 2, jvsim::kCmdEcho, 6}},
                                               {aPacketLogSent, {kAddress, 2, jvsim::kCmdEcho, 7}}}));
  aLink_Destroy(&ref);
}

// ---- the logger -------------------------------------------------------

struct Calls {
  std::mutex m;
  std::condition_variable cv;
  int count = 0;
  uint32_t value = 0;
  void* file = nullptr;
  aLogger* logger = nullptr;
  aErr fromCallback = aErrUnknown;
  enum Mode { Count, DisableSelf, DestroySelf };
  std::atomic<Mode> mode{Count};

  bool waitFor(int n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, 5s, [&] { return count >= n; });
  }
};
Calls* gCalls = nullptr;

void countingCallback(void* file, uint32_t value) {
  Calls& c = *gCalls;
  aErr own = aErrUnknown;
  if (c.mode == Calls::DisableSelf) own = aLogger_Disable(c.logger);
  if (c.mode == Calls::DestroySelf) own = aLogger_Destroy(&c.logger);
  {
    std::lock_guard<std::mutex> lock(c.m);
    if (c.mode != Calls::Count && c.count == 0) c.fromCallback = own;
    ++c.count;
    c.value = value;
    c.file = file;
  }
  c.cv.notify_all();
  std::this_thread::sleep_for(1ms);
}

TEST(PacketLogLogger, CreateRefusesWhatItCannotUse) {
  TempFile file;
  EXPECT_EQ(aLogger_Create(1, nullptr, file.c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, countingCallback, nullptr), nullptr);
  EXPECT_EQ(aLogger_Create(1, countingCallback, "/nonexistent-dir/log.txt"), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

TEST(PacketLogLogger, RunsBetweenEnableAndDisableAndAgain) {
  Calls calls;
  gCalls = &calls;
  TempFile file;
  aLogger* logger = aLogger_Create(42, countingCallback, file.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
  ASSERT_TRUE(calls.waitFor(3));
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  int stopped;
  {
    std::lock_guard<std::mutex> lock(calls.m);
    stopped = calls.count;
    EXPECT_EQ(calls.value, 42u);
    EXPECT_EQ(calls.file, logger->file);
  }
  EXPECT_EQ(aLogger_SetValue(logger, 43), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_SetValue(logger, 44), aErrBusy);
  ASSERT_TRUE(calls.waitFor(stopped + 3));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);  // stops it first
  EXPECT_EQ(logger, nullptr);
  {
    std::lock_guard<std::mutex> lock(calls.m);
    EXPECT_EQ(calls.value, 43u);
  }
  gCalls = nullptr;
}

// A callback cannot wait for its own thread: stopping it from there does
// nothing, and destroying it from there is refused rather than freeing what
// the thread still runs on.
TEST(PacketLogLogger, CallbackCannotStopOrFreeItsOwnLogger) {
  for (auto mode : {Calls::DisableSelf, Calls::DestroySelf}) {
    Calls calls;
    calls.mode = mode;
    gCalls = &calls;
    TempFile file;
    calls.logger = aLogger_Create(1, countingCallback, file.c_str());
    ASSERT_NE(calls.logger, nullptr);
    aLogger* logger = calls.logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(calls.waitFor(5));  // it keeps running
    {
      std::lock_guard<std::mutex> lock(calls.m);
      EXPECT_EQ(calls.fromCallback, mode == Calls::DisableSelf ? aErrNone : aErrBusy);
      EXPECT_EQ(calls.logger, logger);
    }
    calls.mode = Calls::Count;
    ASSERT_EQ(aLogger_Destroy(&logger), aErrNone);
    gCalls = nullptr;
  }
}

// ---- the Link's log file ----------------------------------------------

TEST_F(PacketLogLink, LinkWritesOneLinePerRecord) {
  Link link("Link");
  TempFile file;
  EXPECT_EQ(link.enablePacketLog(file.c_str()), aErrConfiguration);  // no link id
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  ASSERT_EQ(link.setLinkSpecifier(spec()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  settle(link.getLinkRef());
  EXPECT_EQ(link.disablePacketLog(), aErrParam);  // never enabled
  EXPECT_EQ(link.enablePacketLog(nullptr), aErrParam);
  EXPECT_EQ(link.enablePacketLog("/nonexistent-dir/log.txt"), aErrIO);

  ASSERT_EQ(link.enablePacketLog(file.c_str()), aErrNone);
  ASSERT_TRUE(echo(link.getLinkRef(), {0xAB, 0x01}));
  // A caller's text longer than a packet reaches the file whole.
  const std::string note(100, 'n');
  ASSERT_EQ(aLink_PacketDebug_Write(link.getLinkRef(), aPacketLogText, static_cast<uint32_t>(note.size()),
                                    reinterpret_cast<const uint8_t*>(note.data())),
            aErrNone);
  ASSERT_EQ(link.disablePacketLog(), aErrNone);  // the file has every record when this returns

  std::vector<std::string> lines = fileLines(file.path());
  ASSERT_EQ(lines.size(), 4u) << slurp(file.path());
  EXPECT_EQ(lines[0], kStartLine);
  EXPECT_EQ(lines[1], packetLine('>', echoWire({0xAB, 0x01})));
  EXPECT_EQ(lines[2], packetLine('<', echoWire({0xAB, 0x01})));
  EXPECT_EQ(lines[3], "100 < " + note);
  EXPECT_EQ(packetLine('>', {4, 2, 0, 0}), "4 > 0x4 0x2 0x0 0x0 ");
}

TEST_F(PacketLogLink, ModulePassesThroughAndLogFollowsAReconnect) {
  TempFile file;
  aLink_Destroy(&ref_);  // the module's link is its own: a reconnect makes a new link id
  Module module(kAddress, false, 0);
  EXPECT_EQ(module.enablePacketLog(file.c_str()), aErrConfiguration);
  ASSERT_EQ(module.connectFromSpec(spec()), aErrNone);
  const aLinkRef first = module.getLink()->getLinkRef();
  settle(first);
  ASSERT_EQ(module.enablePacketLog(file.c_str()), aErrNone);
  ASSERT_TRUE(echo(module.getLink()->getLinkRef(), {1}));
  ASSERT_EQ(module.disconnect(), aErrNone);  // writes what the ring held
  ASSERT_EQ(module.reconnect(), aErrNone);
  ASSERT_NE(module.getLink()->getLinkRef(), first);
  settle(module.getLink()->getLinkRef());
  ASSERT_EQ(module.enablePacketLog(file.c_str()), aErrNone);
  ASSERT_TRUE(echo(module.getLink()->getLinkRef(), {2}));
  ASSERT_EQ(module.disablePacketLog(), aErrNone);

  std::vector<std::string> lines = fileLines(file.path());
  ASSERT_EQ(lines.size(), 6u) << slurp(file.path());
  EXPECT_EQ(lines[0], kStartLine);
  EXPECT_EQ(lines[3], kStartLine);
  EXPECT_EQ(lines[1], packetLine('>', echoWire({1})));
  EXPECT_EQ(lines[4], packetLine('>', echoWire({2})));
  EXPECT_EQ(lines[5], packetLine('<', echoWire({2})));
}

TEST_F(PacketLogLink, DestroyingTheLinkWritesWhatIsPending) {
  TempFile file;
  {
    Link link("Link");
    ASSERT_EQ(link.setLinkSpecifier(spec()), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(link.enablePacketLog(file.c_str()), aErrNone);
    for (uint8_t i = 0; i < 30; ++i) ASSERT_TRUE(echo(link.getLinkRef(), {i}));
  }
  const std::vector<std::string> lines = fileLines(file.path());
  ASSERT_EQ(lines.size(), 61u) << slurp(file.path());
  EXPECT_EQ(lines[0], kStartLine);
  for (uint8_t i = 0; i < 30; ++i) {
    SCOPED_TRACE(int(i));
    EXPECT_EQ(lines[1 + 2 * i], packetLine('>', echoWire({i})));
    EXPECT_EQ(lines[2 + 2 * i], packetLine('<', echoWire({i})));
  }
}

// A router's Link and the Links of the modules behind it share one link id.
// One of them leaving, or stopping a log it never started, must not stop the
// log another Link turned on.
TEST_F(PacketLogLink, AnotherLinkOnTheIdLeavesTheLogRunning) {
  enum class Leave { Disconnect, Destroy, DisableUnstarted, DisableItsOwn };
  struct Case {
    const char* name;
    Leave how;
    bool otherLogs;  // the other Link has a log of its own
  } cases[] = {
      {"other disconnects", Leave::Disconnect, false},
      {"other is destroyed", Leave::Destroy, false},
      {"other disables a log it never started", Leave::DisableUnstarted, false},
      {"other stops its own log", Leave::DisableItsOwn, true},
      {"other disconnects with its own log on", Leave::Disconnect, true},
      {"other is destroyed with its own log on", Leave::Destroy, true},
  };
  uint8_t round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile mine, theirs;
    Link logging("Link");
    ASSERT_EQ(logging.setLinkSpecifier(spec()), aErrNone);
    ASSERT_EQ(logging.connect(), aErrNone);
    auto other = std::make_unique<Link>(spec(), "Link");
    ASSERT_EQ(other->connectThroughLinkModule(logging), aErrNone);
    ASSERT_EQ(other->getLinkRef(), logging.getLinkRef());
    ASSERT_EQ(logging.enablePacketLog(mine.c_str()), aErrNone);
    if (c.otherLogs) {
      ASSERT_EQ(other->enablePacketLog(theirs.c_str()), aErrNone);
    }
    switch (c.how) {
      case Leave::Disconnect: EXPECT_EQ(other->disconnect(), aErrNone); break;
      case Leave::Destroy: other.reset(); break;
      case Leave::DisableUnstarted: EXPECT_EQ(other->disablePacketLog(), aErrParam); break;
      case Leave::DisableItsOwn: EXPECT_EQ(other->disablePacketLog(), aErrNone); break;
    }
    const Bytes payload{0x42, ++round};
    ASSERT_TRUE(echo(logging.getLinkRef(), payload));
    ASSERT_EQ(logging.disablePacketLog(), aErrNone);

    // Whatever the two loggers shared out before, only ours read after the other left.
    const std::vector<std::string> lines = fileLines(mine.path());
    ASSERT_GE(lines.size(), 2u) << slurp(mine.path());
    EXPECT_EQ(lines[lines.size() - 2], packetLine('>', echoWire(payload))) << slurp(mine.path());
    EXPECT_EQ(lines.back(), packetLine('<', echoWire(payload)));
  }
}

// A Link whose log file could not be opened has still turned recording on,
// and turns it off again when it leaves.
TEST_F(PacketLogLink, ALinkWithoutItsFileStillTurnsRecordingOffWhenItLeaves) {
  Link link(spec(), "Link");
  ASSERT_EQ(link.connect(), aErrNone);
  ASSERT_EQ(link.getLinkRef(), ref_);
  EXPECT_EQ(link.enablePacketLog("/nonexistent-dir/log.txt"), aErrIO);
  ASSERT_TRUE(echo(ref_, {0x61}));
  EXPECT_EQ(readAll(ref_).size(), 2u);
  EXPECT_EQ(link.disconnect(), aErrNone);
  ASSERT_TRUE(echo(ref_, {0x62}));
  EXPECT_TRUE(readAll(ref_).empty());
}

// Logging switched on and off while another thread keeps the link busy:
// every line in the file is whole, one START per enable.
TEST_F(PacketLogLink, EnableAndDisableWhileTrafficFlows) {
  TempFile file;
  Link link("Link");
  ASSERT_EQ(link.setLinkSpecifier(spec()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  const aLinkRef ref = link.getLinkRef();
  std::atomic<bool> stop{false};
  std::atomic<int> echoes{0};
  std::thread traffic([&] {
    for (uint8_t i = 0; !stop; ++i) {
      if (echo(ref, {i, static_cast<uint8_t>(i ^ 0x5A)})) ++echoes;
    }
  });
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(link.enablePacketLog(file.c_str()), aErrNone);
    const int seen = echoes;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (echoes < seen + 2) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the traffic stopped";
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(link.disablePacketLog(), aErrNone);
  }
  stop = true;
  traffic.join();

  const std::regex packet("([0-9]+) ([<>]) ((0x[0-9A-F]{1,2} )+)");
  int starts = 0, packets = 0;
  for (const std::string& line : fileLines(file.path())) {
    if (line == kStartLine) {
      ++starts;
      continue;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, packet)) << line;
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(std::count(line.begin(), line.end(), 'x')));
    ++packets;
  }
  EXPECT_EQ(starts, kRounds);
  EXPECT_GE(packets, 2 * kRounds);
}

}  // namespace
