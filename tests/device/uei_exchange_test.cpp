// UEI gets, sets and calls against the simulated module, over TCP and over
// a pseudo-terminal: the request bytes on the wire, the reply bytes, the
// values delivered and the results of faulty replies.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <numeric>
#include <string>
#include <vector>

#include "EntityClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "WaitUntil.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "aPacketFifo.h"
#include "device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

constexpr uint8_t kCustom = 0x10;  // an entity of the test's own, index 1

class UeiTest : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override {
    rig_ = makeRig(GetParam());
    ASSERT_EQ(module_.connectFromSpec(rig_->spec), aErrNone);
    sys_.init(&module_, 0);
    custom_.init(&module_, kCustom, 1);
  }
  void TearDown() override {
    module_.disconnect();
    rig_.reset();
  }

  std::unique_ptr<Rig> rig_;
  Module module_{4, false, 0};
  SystemClass sys_;
  EntityClass custom_;
};

struct TypedCase {
  std::string name;
  std::function<void(Rig&)> prepare;
  std::function<aErr(UeiTest&, SystemClass&, EntityClass&, uint64_t* got)> run;
  Bytes request;
  Bytes reply;
  uint64_t value;  // what the getter delivered, or the module's stored value after a set
  std::function<uint64_t(Rig&)> stored;  // null for getters
};

void addCustomOption(Rig& rig, uint8_t option, jvsim::ValueType type, std::vector<uint32_t> values) {
  jvsim::OptionSpec spec;
  spec.option = option;
  spec.type = type;
  spec.get = true;
  spec.set = true;
  spec.values = std::move(values);
  rig.cmds->addOption(kCustom, 1, spec);
}

const std::vector<TypedCase>& typedCases() {
  static const std::vector<TypedCase> cases = {
      {"GetU8Model", nullptr,
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t* got) {
         uint8_t v = 0;
         aErr e = s.getModel(&v);
         *got = v;
         return e;
       },
       {0x03, 0x48, 0x20}, {0x03, 0x08, 0x00, 0x13}, 0x13, nullptr},
      {"GetU32SerialNumber", nullptr,
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t* got) {
         uint32_t v = 0;
         aErr e = s.getSerialNumber(&v);
         *got = v;
         return e;
       },
       {0x03, 0x49, 0x20}, {0x03, 0x09, 0x00, 0x00, 0x12, 0xAB, 0xCD}, 0x0012ABCD, nullptr},
      {"GetU32Version", [](Rig& r) { r.cmds->set(jvsim::kOptVersion, 0x12345678); },
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t* got) {
         uint32_t v = 0;
         aErr e = s.getVersion(&v);
         *got = v;
         return e;
       },
       {0x03, 0x47, 0x20}, {0x03, 0x07, 0x00, 0x12, 0x34, 0x56, 0x78}, 0x12345678, nullptr},
      {"GetSignedTemperature", [](Rig& r) { r.cmds->set(jvsim::kOptTemperature, static_cast<uint32_t>(-5)); },
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t* got) {
         int32_t v = 0;
         aErr e = s.getTemperature(&v);
         *got = static_cast<uint64_t>(static_cast<int64_t>(v));
         return e;
       },
       {0x03, 0x5B, 0x20}, {0x03, 0x1B, 0x00, 0xFF, 0xFF, 0xFF, 0xFB}, static_cast<uint64_t>(int64_t{-5}), nullptr},
      {"GetU32WithSubindex", nullptr,
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t* got) {
         uint32_t v = 0;
         aErr e = s.getUEI32(sysOptChipId, 2, &v);
         *got = v;
         return e;
       },
       {0x03, 0x67, 0x20, 0x02}, {0x03, 0x27, 0x00, 0x99, 0xAA, 0xBB, 0xCC}, 0x99AABBCC, nullptr},
      {"GetU16", [](Rig& r) { addCustomOption(r, 2, jvsim::ValueType::U16, {0xBEEF}); },
       [](UeiTest&, SystemClass&, EntityClass& c, uint64_t* got) {
         uint16_t v = 0;
         aErr e = c.getUEI16(2, &v);
         *got = v;
         return e;
       },
       {0x10, 0x42, 0x21}, {0x10, 0x02, 0x01, 0xBE, 0xEF}, 0xBEEF, nullptr},
      {"SetU16", [](Rig& r) { addCustomOption(r, 2, jvsim::ValueType::U16, {0}); },
       [](UeiTest&, SystemClass&, EntityClass& c, uint64_t*) { return c.setUEI16(2, 0x1234); },
       {0x10, 0x82, 0x21, 0x12, 0x34}, {0x10, 0xC2, 0x01}, 0x1234,
       [](Rig& r) -> uint64_t { return r.cmds->value(kCustom, 1, 2); }},
      {"SetU8WithSubindex", [](Rig& r) { addCustomOption(r, 3, jvsim::ValueType::U8, {0, 0}); },
       [](UeiTest&, SystemClass&, EntityClass& c, uint64_t*) { return c.setUEI8(3, 1, 0x5A); },
       {0x10, 0x83, 0x21, 0x01, 0x5A}, {0x10, 0xC3, 0x01}, 0x5A,
       [](Rig& r) -> uint64_t { return r.cmds->value(kCustom, 1, 3, 1); }},
      {"SetU32WithSubindex", [](Rig& r) { addCustomOption(r, 4, jvsim::ValueType::U32, {0, 0, 0}); },
       [](UeiTest&, SystemClass&, EntityClass& c, uint64_t*) { return c.setUEI32(4, 2, 0xA1B2C3D4); },
       {0x10, 0x84, 0x21, 0x02, 0xA1, 0xB2, 0xC3, 0xD4}, {0x10, 0xC4, 0x01}, 0xA1B2C3D4,
       [](Rig& r) -> uint64_t { return r.cmds->value(kCustom, 1, 4, 2); }},
      {"SetLedSendsOneForNonzero", nullptr,
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t*) { return s.setLED(7); },
       {0x03, 0x84, 0x20, 0x01}, {0x03, 0xC4, 0x00}, 1,
       [](Rig& r) -> uint64_t { return r.cmds->get(jvsim::kOptLED); }},
      {"SetU32PowerLimitMax", nullptr,
       [](UeiTest&, SystemClass& s, EntityClass&, uint64_t*) { return s.setPowerLimitMax(0x01020304); },
       {0x03, 0xA2, 0x20, 0x01, 0x02, 0x03, 0x04}, {0x03, 0xE2, 0x00}, 0x01020304,
       [](Rig& r) -> uint64_t { return r.cmds->get(jvsim::kOptPowerLimitMax); }},
      {"RouteToMe", nullptr, [](UeiTest&, SystemClass& s, EntityClass&, uint64_t*) { return s.routeToMe(1); },
       {0x03, 0x94, 0x20, 0x01}, {0x03, 0xD4, 0x00}, 1,
       [](Rig& r) -> uint64_t { return r.cmds->get(jvsim::kOptRouteToMe); }},
      {"CallSaveSendsThreeBytes", nullptr, [](UeiTest&, SystemClass& s, EntityClass&, uint64_t*) { return s.save(); },
       {0x03, 0x8A, 0x20}, {0x03, 0xCA, 0x00}, 1,
       [](Rig& r) -> uint64_t { return r.cmds->callCount(jvsim::kOptSave); }},
  };
  return cases;
}

TEST_P(UeiTest, TypedRequestsAndReplies) {
  for (const TypedCase& c : typedCases()) {
    SCOPED_TRACE(c.name);
    if (c.prepare) c.prepare(*rig_);
    uint64_t got = 0;
    EXPECT_EQ(c.run(*this, sys_, custom_, &got), aErrNone);
    EXPECT_EQ(rig_->requests(4, c.request), 1u) << rig_->sim->transcript().text();
    EXPECT_EQ(rig_->replies(4, c.reply), 1u) << rig_->sim->transcript().text();
    EXPECT_EQ(c.stored ? c.stored(*rig_) : got, c.value);
  }
}

// The chunks a block of n bytes goes in: header, up to 24 bytes, trailer.
std::vector<Bytes> chunksOf(uint8_t command, uint8_t option, uint8_t index, const Bytes& block) {
  std::vector<Bytes> out;
  size_t sent = 0;
  uint8_t sequence = 0;
  do {
    size_t n = std::min<size_t>(24, block.size() - sent);
    Bytes p{command, option, index};
    p.insert(p.end(), block.begin() + static_cast<long>(sent), block.begin() + static_cast<long>(sent + n));
    sent += n;
    p.push_back(static_cast<uint8_t>((sent < block.size() ? 0x80 : 0) | (sequence & 0x7F)));
    ++sequence;
    out.push_back(p);
  } while (sent < block.size());
  return out;
}

Bytes blockOf(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1 + i / 256);  // no two chunks alike
  return b;
}

TEST_P(UeiTest, ByteBlocksBothWays) {
  // 24 bytes: one chunk (trailer 00); 25: two (80, 01); 0: one bare
  // trailer; 129 * 24 + 5: the 129th chunk wraps to sequence 0.
  for (size_t n : {size_t{24}, size_t{25}, size_t{0}, size_t{129 * 24 + 5}}) {
    SCOPED_TRACE(n);
    rig_->sim->transcript().clear();
    const Bytes block = blockOf(n);
    ASSERT_EQ(sys_.setName(block.data(), block.size()), aErrNone) << rig_->sim->transcript().text();
    EXPECT_EQ(rig_->cmds->getBytes(jvsim::kOptName), block);
    const std::vector<Bytes> sent = chunksOf(0x03, 0xA0, 0x20, block);
    for (const Bytes& chunk : sent) EXPECT_EQ(rig_->requests(4, chunk), 1u) << jvsim::Transcript::hex(chunk);
    if (n == 25) {
      ASSERT_EQ(sent.size(), 2u);
      EXPECT_EQ(sent[0].back(), 0x80);
      EXPECT_EQ(sent[1].back(), 0x01);
    }
    if (n > 128 * 24) {
      EXPECT_EQ(sent[128].back(), 0x80);  // sequence 0 again, more to come
    }
    EXPECT_EQ(rig_->replies(4, {0x03, 0xE0, 0x00}), 1u);

    Bytes back(n + 1, 0xEE);
    size_t received = 99;
    ASSERT_EQ(sys_.getName(back.data(), back.size(), &received), aErrNone);
    EXPECT_EQ(received, n);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), block);
    EXPECT_EQ(rig_->requests(4, {0x03, 0x60, 0x20}), 1u);
    for (const Bytes& chunk : chunksOf(0x03, 0x20, 0x00, block)) EXPECT_EQ(rig_->replies(4, chunk), 1u);
  }
}

TEST_P(UeiTest, BlockOfMoreChunksThanTheOutputQueueHolds) {
  // 1500 chunks: more than the link's output queue keeps at once, and over
  // the terminal far more than the link writes while they are queued.
  const Bytes block = blockOf(1500 * 24);
  rig_->cmds->setByteLimit(jvsim::kOptName, block.size());
  ASSERT_EQ(sys_.setName(block.data(), block.size()), aErrNone) << rig_->sim->transcript().text().substr(0, 4000);
  EXPECT_EQ(rig_->cmds->getBytes(jvsim::kOptName), block);
}

// A field of one thread's /proc status ("State", "voluntary_ctxt_switches"),
// read from another thread of this process; empty when it is not there.
std::string threadStatus(pid_t tid, const std::string& field) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      const size_t at = line.find_first_not_of(" \t", field.size() + 1);
      return at == std::string::npos ? std::string() : line.substr(at);
    }
  }
  return {};
}

// Each voluntary context switch is a sleep the thread went into.
long voluntarySwitches(pid_t tid) {
  const std::string n = threadStatus(tid, "voluntary_ctxt_switches");
  return n.empty() ? -1 : std::stol(n);
}

TEST(UeiFeedTest, BlockFedToAStalledLinkSleepsUntilThereIsRoom) {
  auto rig = makeRig(Via::Pty);
  Module module{4, false, 0};
  ASSERT_EQ(module.connectFromSpec(rig->spec), aErrNone);
  SystemClass sys;
  sys.init(&module, 0);
  // Larger than what the terminal holds unread (about 68 KiB) plus the
  // queue's high mark of chunks (about 15 KiB on the wire), so the queue fills.
  const Bytes block = blockOf(128 * 1024);
  rig->cmds->setByteLimit(jvsim::kOptName, block.size());
  // The module stops reading at the block's first chunk until the test lets
  // it go: the terminal fills, the link's send thread blocks in its write,
  // and the feeder fills the output queue to its high mark and must wait
  // there until the queue is down to its low mark.
  std::mutex m;
  std::condition_variable cv;
  bool stalled = false, go = false;
  rig->hook->set([&](jvsim::SimModule&, const jvsim::Packet& p) {
    std::unique_lock<std::mutex> lock(m);
    if (!stalled && p.data.size() > 1 && p.data[1] == 0xA0) {
      stalled = true;
      cv.notify_all();
      cv.wait(lock, [&] { return go; });
    }
    return false;
  });
  const aPacketFifoId queue = aLink_GetLinkObject(module.getLink()->getLinkRef())->outputFifo;
  aErr result = aErrUnknown;
  std::atomic<pid_t> feederTid{0};
  std::thread feeder([&] {
    feederTid = gettid();
    result = sys.setName(block.data(), block.size());
  });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return stalled; }));
  }
  // The feeder is at its wait once the queue is past the low mark and has
  // stopped moving between two looks that both found the feeder asleep: the
  // send thread is blocked in its write, and nothing is taken any more.
  size_t seen = 0;
  ASSERT_TRUE(jvtest::waitUntil([&] {
    const size_t now = aPacketFifo_GetLength(queue);
    const bool asleep = threadStatus(feederTid, "State").rfind("S", 0) == 0;
    const bool still = asleep && now > aLINK_OUTPUT_LOW_WATER && now == seen;
    seen = asleep ? now : 0;
    return still;
  }));
  // Nothing is taken while the module is stalled: a feeder that sleeps until
  // the send thread makes room stays asleep, and one that polls every 1 ms
  // wakes some hundreds of times meanwhile.
  const long atFull = voluntarySwitches(feederTid);
  std::this_thread::sleep_for(500ms);  // how long the stall lasts, not a wait for an event
  const long stallSwitches = voluntarySwitches(feederTid) - atFull;
  {
    std::lock_guard<std::mutex> lock(m);
    go = true;
  }
  cv.notify_all();
  feeder.join();
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(rig->cmds->getBytes(jvsim::kOptName), block);
  ASSERT_GE(atFull, 0);
  // A waiter may wake for a spurious signal or a time slice, never hundreds.
  EXPECT_LT(stallSwitches, 20);
}

TEST_P(UeiTest, NameIntoBufferOneByteShortIsMemory) {
  const Bytes block = blockOf(32);
  rig_->cmds->setBytes(jvsim::kOptName, block);
  Bytes buffer(31, 0);
  size_t received = 0;
  EXPECT_EQ(sys_.getName(buffer.data(), buffer.size(), &received), aErrMemory);
  EXPECT_EQ(received, 24u);  // the first chunk fitted and was delivered
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 24), Bytes(block.begin(), block.begin() + 24));
  buffer.assign(32, 0);
  EXPECT_EQ(sys_.getName(buffer.data(), buffer.size(), &received), aErrNone);
  EXPECT_EQ(received, 32u);
}

TEST_P(UeiTest, ErrorReplies) {
  struct Case {
    const char* name;
    int code;  // -1: no code byte
    aErr expected;
  } cases[] = {
      {"InvalidOption", jvsim::code::kInvalidOption, aErrInvalidOption},
      {"IO", jvsim::code::kIO, aErrIO},
      {"NoCodeByte", -1, aErrUnknown},
      {"CodeZero", 0, aErrUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig_->cmds->faults().errorCode = c.code;
    rig_->cmds->faults().errorReplies = 1;
    uint32_t value = 0xCAFE;
    EXPECT_EQ(sys_.getSerialNumber(&value), c.expected);
    EXPECT_EQ(value, 0xCAFEu);
    rig_->cmds->faults().errorReplies = 1;
    EXPECT_EQ(sys_.setLED(1), c.expected);
    rig_->cmds->faults().errorReplies = 1;
    uint8_t name[8];
    size_t received = 0;
    EXPECT_EQ(sys_.getName(name, sizeof name, &received), c.expected);
  }
  // An option the module lacks.
  uint8_t value = 0;
  EXPECT_EQ(sys_.getUEI8(44, &value), aErrInvalidOption);
}

TEST_P(UeiTest, ReplyOfNoValueWidthIsSize) {
  for (int delta : {+1, -1}) {
    SCOPED_TRACE(delta);
    rig_->cmds->faults().lengthDelta = delta;
    rig_->cmds->faults().wrongLength = 1;
    uint32_t value = 0xCAFE;
    EXPECT_EQ(sys_.getSerialNumber(&value), aErrSize);  // 6 or 8 data bytes
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_EQ(sys_.getSerialNumber(&value), aErrNone);  // the next request is not disturbed
    EXPECT_EQ(value, 0x0012ABCDu);
  }
}

TEST_P(UeiTest, GetReplyWithoutValueIsSize) {
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data == Bytes{0x03, 0x48, 0x20}) {
      m.send({p.address, {0x03, 0x08, 0x00}});
      return true;
    }
    return false;
  });
  uint8_t model = 0x77;
  EXPECT_EQ(sys_.getModel(&model), aErrSize);
  EXPECT_EQ(model, 0x77);
}

TEST_P(UeiTest, LateReplyNeverAnswersTheNextRequest) {
  auto& faults = rig_->cmds->faults();
  faults.command = 0x03;
  faults.option = jvsim::kOptSerialNumber;
  faults.lateMs = 1200;
  faults.lateReplies = 1;
  uint32_t value = 0;
  EXPECT_EQ(sys_.getSerialNumber(&value), aErrTimeout);

  // The second request goes out while the first reply is still on its way.
  rig_->cmds->set(jvsim::kOptSerialNumber, 0x2222);
  EXPECT_EQ(sys_.getSerialNumber(&value), aErrNone);
  EXPECT_EQ(value, 0x2222u);

  // The late reply has come and lies queued; the third request is not fooled by it.
  ASSERT_TRUE(rig_->waitReply(4, {0x03, 0x09, 0x00, 0x00, 0x12, 0xAB, 0xCD}));
  const uint8_t ping[] = {1, 2, 3};
  ASSERT_EQ(module_.debug(ping, sizeof ping), aErrNone);  // everything sent before it has arrived
  rig_->cmds->set(jvsim::kOptSerialNumber, 0x3333);
  EXPECT_EQ(sys_.getSerialNumber(&value), aErrNone);
  EXPECT_EQ(value, 0x3333u);
}

TEST_P(UeiTest, StreamSampleIsNeverTakenAsReply) {
  // A sample of the very option requested, sent just ahead of the real reply.
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data == Bytes{0x03, 0x47, 0x20}) m.send({p.address, {0x03, 0x07, 0x40, 0xDE, 0xAD, 0xBE, 0xEF}});
    return false;
  });
  rig_->cmds->set(jvsim::kOptVersion, 0x01020304);
  uint32_t version = 0;
  EXPECT_EQ(sys_.getVersion(&version), aErrNone);
  EXPECT_EQ(version, 0x01020304u);
}

TEST_P(UeiTest, ChunkWithoutTrailerIsRefused) {
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data == Bytes{0x03, 0x60, 0x20}) {
      m.send({p.address, {0x03, 0x20, 0x00}});
      return true;
    }
    return false;
  });
  uint8_t name[64];
  size_t received = 7;
  EXPECT_EQ(sys_.getName(name, sizeof name, &received), aErrSize);
  EXPECT_EQ(received, 0u);
}

TEST_P(UeiTest, ChunkOutOfSequenceStaysQueuedAndTimesOut) {
  rig_->hook->set([](jvsim::SimModule& m, const jvsim::Packet& p) {
    if (p.data == Bytes{0x03, 0x60, 0x20}) {
      m.send({p.address, {0x03, 0x20, 0x00, 'a', 'b', 0x81}});  // sequence 1 first
      return true;
    }
    return false;
  });
  uint8_t name[64];
  size_t received = 0;
  EXPECT_EQ(sys_.getName(name, sizeof name, &received), aErrTimeout) << rig_->sim->transcript().text();
  EXPECT_EQ(received, 0u);
}

// A byte-block get takes no more chunks than a block that fits its buffer
// can need: one per byte, and an empty last one.
TEST_P(UeiTest, ChunkRunsAreBoundedByTheBuffer) {
  struct Case {
    const char* name;
    size_t chunks;    // one byte each, or empty when !withBytes
    bool withBytes;
    bool lastEnds;    // the last chunk's continue flag is clear
    bool emptyTail;   // an empty closing chunk follows
    aErr expected;
    size_t received;
  } cases[] = {
      {"OneByteChunksFillingTheBuffer", 8, true, true, false, aErrNone, 8},
      {"FullBufferThenEmptyLastChunk", 8, true, false, true, aErrNone, 8},
      // Last: the chunks it leaves unread would otherwise meet the next get.
      {"EmptyChunksThatNeverEnd", 400, false, false, false, aErrOverrun, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig_->hook->set([c](jvsim::SimModule& m, const jvsim::Packet& p) {
      if (p.data != Bytes{0x03, 0x60, 0x20}) return false;
      size_t sequence = 0;
      for (size_t i = 0; i < c.chunks; ++i, ++sequence) {
        const bool more = i + 1 < c.chunks || !c.lastEnds;
        Bytes chunk{0x03, 0x20, 0x00};
        if (c.withBytes) chunk.push_back(static_cast<uint8_t>('a' + i));
        chunk.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (sequence & 0x7F)));
        m.send({p.address, chunk});
      }
      if (c.emptyTail) m.send({p.address, {0x03, 0x20, 0x00, static_cast<uint8_t>(sequence & 0x7F)}});
      return true;
    });
    uint8_t name[8];
    size_t received = 99;
    EXPECT_EQ(sys_.getName(name, sizeof name, &received), c.expected) << rig_->sim->transcript().text();
    EXPECT_EQ(received, c.received);
  }
}

TEST_P(UeiTest, PowerBehaviorConfigWords) {
  uint32_t words[4] = {};
  size_t count = 0;
  ASSERT_EQ(sys_.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  // As the module sends them: most significant byte first, not reordered.
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(words);
  EXPECT_EQ(Bytes(raw, raw + 8), (Bytes{0, 0, 0, 1, 0, 0, 0x13, 0x88}));

  rig_->cmds->setBytes(jvsim::kOptInputPowerBehaviorConfig, Bytes{0, 0, 0, 1, 0, 0});
  EXPECT_EQ(sys_.getInputPowerBehaviorConfig(words, 4, &count), aErrSize);
  EXPECT_EQ(count, 1u);
}

TEST_P(UeiTest, AwaitValueSendsNothing) {
  ASSERT_TRUE(rig_->hostAccepted());
  rig_->send({0x03, 0x16, 0x00, 0x2A});  // an unsolicited u8 of option 22
  // The wait is the link's fixed 1000 ms, whatever the caller gives: on a
  // busy machine the packet may take longer through the socket, so it is
  // in the host's input queue before the wait starts.
  const aPacketFifoId queue = aLink_GetLinkObject(module_.getLink()->getLinkRef())->inputFifo;
  ASSERT_TRUE(jvtest::waitUntil([&] { return aPacketFifo_GetLength(queue) == 1; }));
  uint32_t value = 0;
  EXPECT_EQ(sys_.awaitUEI32Val(22, &value, 2000), aErrNone);
  EXPECT_EQ(value, 42u);
  EXPECT_EQ(rig_->requests(4, {0x03, 0x56, 0x20}), 0u);
}

TEST_P(UeiTest, ArgumentAndBindingChecks) {
  EXPECT_EQ(sys_.getModel(nullptr), aErrParam);
  size_t received = 0;
  uint8_t buffer[4];
  EXPECT_EQ(sys_.getName(buffer, 0, &received), aErrParam);
  EXPECT_EQ(sys_.getName(nullptr, 4, &received), aErrParam);
  size_t count = 12;
  EXPECT_EQ(sys_.getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 3u);
  count = 10;
  EXPECT_EQ(sys_.getUEIBytesCheck(&count, 4), static_cast<aErr>(1));
  EXPECT_EQ(count, 10u);

  SystemClass unbound;
  uint8_t model = 0;
  EXPECT_EQ(unbound.getModel(&model), aErrResource);
  EXPECT_EQ(unbound.getModel(nullptr), aErrParam);
  EXPECT_EQ(unbound.save(), aErrResource);

  module_.disconnect();
  EXPECT_EQ(sys_.getModel(&model), aErrConnection);
  Module odd(5, false, 0);
  ASSERT_EQ(odd.connectFromSpec(rig_->spec), aErrNone);
  SystemClass oddSys;
  oddSys.init(&odd, 0);
  EXPECT_EQ(oddSys.getModel(&model), aErrPacket);
}

INSTANTIATE_TEST_SUITE_P(Via, UeiTest, ::testing::Values(Via::Tcp, Via::Pty),
                         [](const auto& info) { return std::string(viaName(info.param)); });

}  // namespace
