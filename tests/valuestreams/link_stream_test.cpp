// Stream subscriptions against the simulated module over TCP: the enable
// and disable requests on the wire, the cache answering entity gets with no
// request, callbacks in order on their own thread, unsubscribing while
// samples flow, a full callback ring, malformed samples, refusals, and
// giving the Link up with subscriptions active.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "WaitUntil.h"
#include "EntityClass.h"
#include "Link.h"
#include "Module.h"
#include "SimStream.h"
#include "SystemClass.h"
#include "../device/device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

constexpr uint8_t kCmd = 0x12;  // an entity of the test's own, index 0
constexpr uint8_t kAny = 0xFF;
constexpr int kQuiet = 600000;  // a stream period that never comes round within a test

using jvtest::waitUntil;

// What the callbacks saw. The gate, once closed, holds the next callback
// until it is opened again.
class Recorder {
 public:
  struct Call {
    std::thread::id thread;
    int tag;
    uint8_t option;
    aErr decoded;
    uint64_t timestamp;
    uint32_t value;
  };
  struct Tagged {
    Recorder* recorder;
    int tag;
  };

  static uint8_t callback(const aPacket* packet, void* reference) {
    auto* tagged = static_cast<Tagged*>(reference);
    tagged->recorder->record(packet, tagged->tag);
    return 0;
  }

  void record(const aPacket* packet, int tag) {
    Call call{std::this_thread::get_id(), tag, static_cast<uint8_t>(packet->data[1] & 0x3F), aErrNone, 0, 0};
    call.decoded = Link::getStreamSample(packet, &call.timestamp, &call.value, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    calls_.push_back(call);
    if (action_) {
      auto action = std::move(action_);
      action_ = nullptr;
      lock.unlock();
      action();
      lock.lock();
    }
    changed_.notify_all();
    while (gateClosed_) {
      inGate_ = true;
      changed_.notify_all();
      changed_.wait(lock);
    }
    inGate_ = false;
  }

  bool waitFor(size_t n, std::chrono::milliseconds within = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, within, [&] { return calls_.size() >= n; });
  }
  bool waitInGate() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return inGate_; });
  }
  void closeGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = true;
  }
  void openGate() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateClosed_ = false;
    changed_.notify_all();
  }
  // Runs once, on the callback thread, inside the next callback.
  void onNext(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = std::move(action);
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  bool gateClosed_ = false;
  bool inGate_ = false;
  std::function<void()> action_;
};

uint64_t key(uint8_t option, uint8_t subindex = 0) { return Link::createStreamKey(4, kCmd, option, 0, subindex); }

class StreamLink : public ::testing::Test {
 protected:
  // Entity kCmd index 0: option 3 u16, option 4 u8, option 5 u32 with two subindexes.
  void start(int periodMs) {
    rig_ = makeRig(Via::Tcp);
    rig_->cmds->addEntity(kCmd, 0);
    addOption(3, jvsim::ValueType::U16, {0x1234});
    addOption(4, jvsim::ValueType::U8, {7});
    addOption(5, jvsim::ValueType::U32, {0xA0000001u, 0xA0000002u});
    stream_ = jvsim::SimStream::install(*rig_->sim, rig_->cmds, periodMs);
    stream_->addStreamable(kCmd, 0, 3, jvsim::ValueType::U16);
    stream_->addStreamable(kCmd, 0, 4, jvsim::ValueType::U8);
    stream_->addStreamable(kCmd, 0, 5, jvsim::ValueType::U32, 2);
    module_ = std::make_unique<Module>(4, false, 0);
    ASSERT_EQ(module_->connectFromSpec(rig_->spec), aErrNone);
    link_ = module_->getLink();
    entity_.init(module_.get(), kCmd, 0);
    sys_.init(module_.get(), 0);
  }
  void TearDown() override {
    module_.reset();
    rig_.reset();
  }
  void addOption(uint8_t option, jvsim::ValueType type, std::vector<uint32_t> values) {
    jvsim::OptionSpec spec;
    spec.option = option;
    spec.type = type;
    spec.values = std::move(values);
    rig_->cmds->addOption(kCmd, 0, spec);
  }
  aErr subscribe(uint8_t command, uint8_t option, uint8_t index, Recorder::Tagged* tagged) {
    return link_->registerStreamCallback(4, command, option, index, true, Recorder::callback, tagged);
  }
  aErr unsubscribe(uint8_t command, uint8_t option, uint8_t index) {
    return link_->registerStreamCallback(4, command, option, index, false, nullptr, nullptr);
  }
  // Every packet the module wrote before now has passed the link's filter
  // once this exchange's reply is back.
  void settle() {
    uint8_t model = 0;
    ASSERT_EQ(sys_.getModel(&model), aErrNone);
  }
  size_t hostPackets() const { return rig_->sim->transcript().countDir(Dir::In); }

  // What a callback is handed lives in the fixture: the module's callback
  // thread may run one more callback until the module is gone in TearDown,
  // after the test body's locals.
  Recorder& recorder() { return recorders_.emplace_back(); }
  Recorder::Tagged& tagged(Recorder& target, int tag) { return tags_.emplace_back(Recorder::Tagged{&target, tag}); }

  std::deque<Recorder> recorders_;
  std::deque<Recorder::Tagged> tags_;
  std::unique_ptr<Rig> rig_;
  std::shared_ptr<jvsim::SimStream> stream_;
  std::unique_ptr<Module> module_;
  Link* link_ = nullptr;
  EntityClass entity_;
  SystemClass sys_;
};

TEST_F(StreamLink, CacheAnswersEntityGetsWithoutAskingTheModule) {
  start(kQuiet);
  uint8_t state = 9;
  ASSERT_EQ(link_->isLinkStreaming(4, &state), aErrNone);
  EXPECT_EQ(state, 0);
  ASSERT_EQ(entity_.setStreamEnabled(true), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x5D, 0x81, 0x20, 0x04, kCmd, 0xFF, 0x00}), 1u);
  EXPECT_EQ(rig_->replies(4, {0x5D, 0xC1, 0x00}), 1u);
  ASSERT_EQ(link_->isLinkStreaming(4, &state), aErrNone);
  EXPECT_EQ(state, 1);

  Link::StreamStatusEntry rows[8]{};
  size_t n = 99;
  ASSERT_EQ(entity_.getStreamStatus(rows, 8, &n), aErrNone);
  EXPECT_EQ(n, 0u) << "a subscription is listed as a value";

  stream_->sampleNow();
  ASSERT_TRUE(waitUntil([&] { return entity_.getStreamStatus(rows, 8, &n) == aErrNone && n == 4; }));
  const Link::StreamStatusEntry expected[4] = {
      {key(3), 0x1234}, {key(4), 7}, {key(5), 0xA0000001u}, {key(5, 1), 0xA0000002u}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(rows[i].key, expected[i].key) << i;
    EXPECT_EQ(rows[i].value, expected[i].value) << i;
  }
  EXPECT_EQ(entity_.getStreamStatus(rows, 2, &n), aErrSize);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(rows[1].key, key(4));

  const size_t before = hostPackets();
  uint16_t v16 = 0;
  EXPECT_EQ(entity_.getUEI16(3, &v16), aErrNone);
  EXPECT_EQ(v16, 0x1234);
  v16 = 0;
  EXPECT_EQ(entity_.getUEI16(3, &v16), aErrStreamStale);
  EXPECT_EQ(v16, 0x1234) << "a stale value is still delivered";
  uint8_t v8 = 0;
  EXPECT_EQ(entity_.getUEI8(4, &v8), aErrNone);
  EXPECT_EQ(v8, 7);
  uint32_t v32 = 0;
  EXPECT_EQ(entity_.getUEI32(5, 1, &v32), aErrNone);
  EXPECT_EQ(v32, 0xA0000002u);
  EXPECT_EQ(hostPackets(), before) << "a cached value was asked of the module:\n" << rig_->sim->transcript().text();

  // The next sample makes the value fresh again.
  rig_->cmds->setValue(kCmd, 0, 3, 0x4321);
  stream_->sampleNow();
  uint32_t cached = 0;
  ASSERT_TRUE(waitUntil([&] { return link_->getStreamValue(4, kCmd, 3, 0, 0, &cached) == aErrNone; }));
  EXPECT_EQ(cached, 0x4321u);

  ASSERT_EQ(entity_.setStreamEnabled(false), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x5D, 0x82, 0x20, 0x04, kCmd, 0xFF, 0x00}), 1u);
  EXPECT_EQ(link_->getStreamValue(4, kCmd, 3, 0, 0, &cached), aErrNotFound);
  ASSERT_EQ(link_->isLinkStreaming(4, &state), aErrNone);
  EXPECT_EQ(state, 0);
  // Not streamed any more: the module is asked.
  EXPECT_EQ(entity_.getUEI16(3, &v16), aErrNone);
  EXPECT_EQ(v16, 0x4321);
  EXPECT_EQ(rig_->requests(4, {kCmd, 0x43, 0x20}), 1u);
}

TEST_F(StreamLink, CallbacksRunInOrderOnOneThreadThatIsNotTheReceiver) {
  start(kQuiet);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  EXPECT_EQ(rig_->requests(4, {0x5D, 0x81, 0x20, 0x04, kCmd, 0x03, 0x00}), 1u);
  stream_->burst(50);
  ASSERT_TRUE(rec.waitFor(50));
  const auto calls = rec.calls();
  ASSERT_EQ(calls.size(), 50u);
  for (uint32_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].decoded, aErrNone);
    EXPECT_EQ(calls[i].value, i) << "out of order";
    if (i) {
      EXPECT_GT(calls[i].timestamp, calls[i - 1].timestamp);
    }
    EXPECT_EQ(calls[i].thread, calls[0].thread);
  }
  EXPECT_NE(calls[0].thread, std::this_thread::get_id());

  // A callback that does not return holds up no reception: an exchange,
  // which needs the receive thread, completes meanwhile.
  rec.closeGate();
  stream_->burst(1);
  ASSERT_TRUE(rec.waitInGate());
  settle();
  stream_->burst(3);
  ASSERT_TRUE(waitUntil([&] { return stream_->samplesSent() >= 54; }));
  settle();
  rec.openGate();
  ASSERT_TRUE(rec.waitFor(54));
}

TEST_F(StreamLink, EachCoveringSubscriptionGetsThePacketNarrowestFirst) {
  start(kQuiet);
  Recorder& rec = recorder();
  Recorder::Tagged &exact = tagged(rec, 1), &everyOption = tagged(rec, 2), &everything = tagged(rec, 3);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &exact), aErrNone);
  ASSERT_EQ(subscribe(kCmd, kAny, 0, &everyOption), aErrNone);
  ASSERT_EQ(subscribe(kAny, kAny, kAny, &everything), aErrNone);
  stream_->sampleNow();  // options 3, 4, 5 (subindex 0 and 1), in that order
  ASSERT_TRUE(rec.waitFor(9));
  std::vector<std::pair<int, uint8_t>> got;
  for (const auto& call : rec.calls()) got.emplace_back(call.tag, call.option);
  const std::vector<std::pair<int, uint8_t>> expected = {{1, 3}, {2, 3}, {3, 3}, {2, 4}, {3, 4},
                                                         {2, 5}, {3, 5}, {2, 5}, {3, 5}};
  EXPECT_EQ(got, expected);

  // Unsubscribing every option takes the exact subscription and the cached
  // values along, and leaves the broader one.
  ASSERT_EQ(unsubscribe(kCmd, kAny, 0), aErrNone);
  EXPECT_EQ(link_->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true),
            (std::vector<uint64_t>{Link::createStreamKey(4, kAny, kAny, kAny, kAny)}));
}

TEST_F(StreamLink, NoCallbackAfterItsUnsubscriptionReturnsWhileSamplesFlow) {
  start(5);
  Recorder &keep = recorder(), &drop = recorder();
  Recorder::Tagged &keepTag = tagged(keep, 1), &dropTag = tagged(drop, 2);
  ASSERT_EQ(subscribe(kCmd, 4, 0, &keepTag), aErrNone);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &dropTag), aErrNone);
  ASSERT_TRUE(drop.waitFor(10));
  ASSERT_EQ(unsubscribe(kCmd, 3, 0), aErrNone);
  const size_t frozen = drop.count();
  ASSERT_TRUE(keep.waitFor(keep.count() + 10)) << "the other subscription stopped too";
  EXPECT_EQ(drop.count(), frozen);

  // The last one, from a module that goes on streaming regardless.
  stream_->faults().neverStops = true;
  ASSERT_EQ(unsubscribe(kCmd, 4, 0), aErrNone);
  const size_t keepFrozen = keep.count();
  const uint64_t sent = stream_->samplesSent();
  ASSERT_TRUE(waitUntil([&] { return stream_->samplesSent() >= sent + 10; }));
  settle();
  EXPECT_EQ(keep.count(), keepFrozen);
  // Without a subscription the samples reach the input queue like any packet.
  const uint8_t prefix[2] = {kCmd, 0x04};
  uint8_t length = 2, out[28];
  ASSERT_EQ(link_->receivePacket(4, prefix, &length, out), aErrNone);
  EXPECT_TRUE(out[2] & 0x40);
  stream_->faults().neverStops = false;
  EXPECT_EQ(unsubscribe(kCmd, 4, 0), aErrNone);
}

TEST_F(StreamLink, FullRingDropsWhatDoesNotFitAndCorruptsNothing) {
  start(kQuiet);
  rig_->cmds->setValue(kCmd, 0, 3, 0xBEEF);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  rec.closeGate();
  stream_->burst(1);  // value 0: its callback holds the thread
  ASSERT_TRUE(rec.waitInGate());
  stream_->burst(600);  // values 0 to 599: 499 fit the ring
  ASSERT_TRUE(waitUntil([&] { return stream_->samplesSent() >= 601; }));
  settle();
  rec.openGate();
  ASSERT_TRUE(rec.waitFor(500));
  stream_->sampleNow();  // 0xBEEF, once the ring has room again
  ASSERT_TRUE(rec.waitFor(501));
  const auto calls = rec.calls();
  ASSERT_EQ(calls.size(), 501u);
  EXPECT_EQ(calls[0].value, 0u);
  for (uint32_t i = 0; i < 499; ++i) {
    ASSERT_EQ(calls[1 + i].decoded, aErrNone);
    ASSERT_EQ(calls[1 + i].value, i) << "job " << i;
  }
  EXPECT_EQ(calls[500].value, 0xBEEFu);
}

TEST_F(StreamLink, CallbackMayEndItsOwnSubscriptionAndASubscriptionAfterwardsWorks) {
  start(5);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  aErr fromCallback = aErrUnknown;
  rec.onNext([&] {
    const aErr err = link_->registerStreamCallback(4, kCmd, 3, 0, false, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(m);
    fromCallback = err;
    done = true;
    cv.notify_all();
  });
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return done; }));
  }
  EXPECT_EQ(fromCallback, aErrNone);
  EXPECT_TRUE(link_->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  const size_t before = rec.count();
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  EXPECT_TRUE(rec.waitFor(before + 5));
}

TEST_F(StreamLink, GivingTheLinkUpWithSubscriptionsActiveStopsEveryCallback) {
  start(2);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(subscribe(kCmd, kAny, 0, &tag), aErrNone);
  ASSERT_TRUE(rec.waitFor(10));
  ASSERT_EQ(module_->disconnect(), aErrNone);
  const size_t atDisconnect = rec.count();
  EXPECT_TRUE(link_->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  uint32_t value = 0;
  EXPECT_EQ(link_->getStreamValue(4, kCmd, 3, 0, 0, &value), aErrNotFound);

  // Connected again (the module still streams), with a callback held in its
  // gate while the Link is destroyed on another thread.
  ASSERT_EQ(module_->connectFromSpec(rig_->spec), aErrNone);
  ASSERT_EQ(subscribe(kCmd, kAny, 0, &tag), aErrNone);
  rec.closeGate();
  ASSERT_TRUE(rec.waitInGate());
  std::thread destroyer([&] { module_.reset(); });
  rec.openGate();
  destroyer.join();
  const size_t atDestroy = rec.count();
  EXPECT_GT(atDestroy, atDisconnect);
  ASSERT_TRUE(rig_->sim->transcript().waitForEvent("disconnect", 2, 5s));
  EXPECT_EQ(rec.count(), atDestroy);
}

TEST_F(StreamLink, SubscriptionsOutliveARestartOfTheLinkInPlace) {
  start(5);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  ASSERT_TRUE(rec.waitFor(5));
  ASSERT_EQ(link_->reset(), aErrNone);
  const size_t atReset = rec.count();
  EXPECT_TRUE(rec.waitFor(atReset + 5)) << "callbacks stopped with the restart";
  uint32_t value = 0;
  EXPECT_TRUE(waitUntil([&] { return link_->getStreamValue(4, kCmd, 3, 0, 0, &value) == aErrNone; }));
}

TEST_F(StreamLink, ALinkSharingTheSameLinkLeavesAnotherLinksFilterInPlace) {
  start(5);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(subscribe(kCmd, 3, 0, &tag), aErrNone);
  {
    Link sharer(rig_->spec, "Link");
    ASSERT_EQ(sharer.connectThroughLinkModule(*link_), aErrNone);
    ASSERT_EQ(sharer.getLinkRef(), link_->getLinkRef());
    ASSERT_EQ(sharer.disconnect(), aErrNone);
    ASSERT_EQ(sharer.connectThroughLinkModule(*link_), aErrNone);
  }  // destroyed while connected
  const size_t after = rec.count();
  EXPECT_TRUE(rec.waitFor(after + 5)) << "the other Link took the stream filter away";
}

// A router's Link and a module's Link behind it subscribe on one link id:
// each gets its samples and keeps a live cache while the other subscribes and
// leaves; only when the last one leaves do samples reach the input queue.
TEST_F(StreamLink, TwoLinksSubscribedOnOneLinkIdEachGetTheirSamples) {
  struct Case {
    const char* name;
    bool firstLeavesFirst;
  } cases[] = {{"the second Link leaves first", false}, {"the first Link leaves first", true}};
  start(5);
  uint16_t round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder &first = recorder(), &second = recorder();
    Recorder::Tagged &firstTag = tagged(first, 1), &secondTag = tagged(second, 2);
    Link other(rig_->spec, "Link");
    ASSERT_EQ(other.connectThroughLinkModule(*link_), aErrNone);
    ASSERT_EQ(other.getLinkRef(), link_->getLinkRef());
    ASSERT_EQ(subscribe(kCmd, 3, 0, &firstTag), aErrNone);
    ASSERT_EQ(other.registerStreamCallback(4, kCmd, 4, 0, true, Recorder::callback, &secondTag), aErrNone);
    ASSERT_TRUE(second.waitFor(5));
    ASSERT_TRUE(first.waitFor(first.count() + 5)) << "the second subscriber took the first one's samples";

    // The first Link's cache follows the module; an entity get is answered from it.
    const uint16_t value = static_cast<uint16_t>(0x5550 + ++round);
    rig_->cmds->setValue(kCmd, 0, 3, value);
    uint16_t got = 0;
    ASSERT_TRUE(waitUntil([&] { return entity_.getUEI16(3, &got) == aErrNone && got == value; }))
        << "the cache froze at " << got;

    Link* leaver = c.firstLeavesFirst ? link_ : &other;
    Link* stayer = c.firstLeavesFirst ? &other : link_;
    Recorder& stays = c.firstLeavesFirst ? second : first;
    const uint8_t leaverOption = c.firstLeavesFirst ? 3 : 4;
    const uint8_t stayerOption = c.firstLeavesFirst ? 4 : 3;
    ASSERT_EQ(leaver->registerStreamCallback(4, kCmd, leaverOption, 0, false, nullptr, nullptr), aErrNone);
    ASSERT_TRUE(stays.waitFor(stays.count() + 5)) << "the Link that stayed lost its samples";

    // The last one leaves, from a module that goes on streaming regardless.
    stream_->faults().neverStops = true;
    ASSERT_EQ(stayer->registerStreamCallback(4, kCmd, stayerOption, 0, false, nullptr, nullptr), aErrNone);
    const size_t frozen = stays.count();
    const uint64_t sent = stream_->samplesSent();
    ASSERT_TRUE(waitUntil([&] { return stream_->samplesSent() >= sent + 10; }));
    settle();
    EXPECT_EQ(stays.count(), frozen);
    const uint8_t prefix[2] = {kCmd, stayerOption};
    uint8_t length = 2, out[28];
    ASSERT_EQ(link_->receivePacket(4, prefix, &length, out), aErrNone) << "the filter slot was not freed";
    EXPECT_TRUE(out[2] & 0x40);
    stream_->faults().neverStops = false;
    // Whatever the module still sent is nobody's: later rounds start afresh.
    EXPECT_EQ(link_->enableStream(4, kCmd, kAny, 0, false), aErrNone);
  }
}

TEST_F(StreamLink, RefusalsLeaveNothingThePatternCovers) {
  start(kQuiet);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(link_->enableStream(4, kCmd, 3, 0, true), aErrNone);
  stream_->faults().errorReplies = 1;
  EXPECT_EQ(subscribe(kCmd, kAny, 0, &tag), aErrInvalidOption);
  EXPECT_TRUE(link_->filterActiveStreamKeys(4, kCmd, kAny, 0, kAny, true).empty())
      << "the narrower subscription made before survived";

  const size_t before = hostPackets();
  EXPECT_EQ(link_->registerStreamCallback(3, kCmd, 3, 0, true, Recorder::callback, &tag), aErrParam);
  EXPECT_EQ(link_->enableStream(kAny, kCmd, 3, 0, true), aErrParam);
  EXPECT_EQ(hostPackets(), before) << "a refused subscription was sent";

  Link::StreamStatusEntry rows[2];
  size_t n = 0;
  EXPECT_EQ(link_->getStreamStatus(4, kCmd, kAny, 0, kAny, nullptr, 2, &n), aErrParam);
  EXPECT_EQ(link_->getStreamStatus(4, kCmd, kAny, 0, kAny, rows, 0, &n), aErrParam);
  EXPECT_EQ(link_->getStreamStatus(4, kCmd, kAny, 0, kAny, rows, 2, nullptr), aErrParam);

  Link bare("Link");
  EXPECT_EQ(bare.enableStream(4, kCmd, 3, 0, true), aErrConnection);
  EXPECT_TRUE(bare.filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_EQ(bare.getStreamStatus(4, kCmd, kAny, 0, kAny, rows, 2, &n), aErrConnection);
  uint8_t state = 0;
  EXPECT_EQ(bare.isLinkStreaming(4, &state), aErrConnection);

  EntityClass unbound;
  EXPECT_EQ(unbound.setStreamEnabled(true), aErrResource);
  EXPECT_EQ(unbound.registerOptionCallback(3, true, Recorder::callback, &tag), aErrResource);
  EXPECT_EQ(unbound.getStreamStatus(rows, 2, &n), aErrResource);
}

struct MalformedCase {
  const char* name;
  jvsim::Malformed kind;
  bool callback;   // a callback still runs for it
  bool inQueue;    // left to the link's input queue
};

class StreamMalformed : public StreamLink, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(StreamMalformed, QueuedOrLeftAsItsTypeSays) {
  const MalformedCase& c = GetParam();
  start(kQuiet);
  Recorder& rec = recorder();
  Recorder::Tagged& tag = tagged(rec, 1);
  ASSERT_EQ(entity_.registerOptionCallback(3, true, Recorder::callback, &tag), aErrNone);
  stream_->faults().malformedKind = static_cast<int>(c.kind);
  stream_->faults().malformed = 1;
  stream_->sampleNow();
  ASSERT_TRUE(rig_->sim->transcript().waitForEvent("[04] fault stream malformed", 1, 5s));
  stream_->sampleNow();  // a good one behind it
  ASSERT_TRUE(rec.waitFor(c.callback ? 2 : 1));
  const auto calls = rec.calls();
  ASSERT_EQ(calls.size(), c.callback ? 2u : 1u);
  if (c.callback) {
    EXPECT_NE(calls[0].decoded, aErrNone);
  }
  EXPECT_EQ(calls.back().decoded, aErrNone);
  EXPECT_EQ(calls.back().value, 0x1234u);
  uint32_t value = 0;
  EXPECT_EQ(link_->getStreamValue(4, kCmd, 3, 0, 0, &value), aErrNone);
  EXPECT_EQ(value, 0x1234u);
  const uint8_t prefix[2] = {kCmd, 0x03};
  uint8_t length = 2, out[28];
  EXPECT_EQ(link_->receivePacket(4, prefix, &length, out), c.inQueue ? aErrNone : aErrTimeout);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StreamMalformed,
                         ::testing::Values(MalformedCase{"ShortLength", jvsim::Malformed::ShortLength, true, false},
                                           MalformedCase{"Trailer", jvsim::Malformed::Trailer, true, false},
                                           MalformedCase{"TypeZero", jvsim::Malformed::TypeZero, false, true},
                                           MalformedCase{"TypeEight", jvsim::Malformed::TypeEight, false, true}),
                         [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

}  // namespace
