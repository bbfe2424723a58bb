// The request/reply exchange every module operation is built on, against the
// simulated module: what it drops before the request, and how a reply, its
// absence, a link that stops meanwhile and the module's refusal come back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "aLink.h"
#include "aLinkInternal.h"
#include "aLinkTable.h"
#include "aLinkTableInternal.h"
#include "device_fixture.h"

using namespace Tovanire::Jorvanite;
using namespace devicetest;

namespace {

constexpr uint8_t kAddress = 4;
const Bytes kModelGet{0x03, 0x48, 0x20};
const Bytes kEcho{cmdDEBUG, 0x5A};

uei modelGet() {
  uei request{};
  request.address = kAddress;
  request.command = 0x03;
  request.option = 0x48;
  request.specifier = 0x20;
  request.type = ueiTypeNone;
  return request;
}

enum class Answer {
  Plain,       // the reply the request asks for
  Silent,      // nothing
  StopLink,    // the host's link stops while the request waits
  Refusal,     // an error reply with this code
  Raw,         // these data bytes
};

struct Case {
  std::string name;
  Bytes stale;  // queued at the host before the request; empty: none
  Answer answer;
  Bytes raw;    // for Refusal and Raw: the reply's data bytes
  aErr expected;
  uint8_t value;  // for aErrNone: the model (UEI) or the echoed byte (command)
};

class ExchangeTest : public ::testing::Test {
 protected:
  void start() {
    rig_ = makeRig(Via::Tcp);
    module_ = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(module_->connectFromSpec(rig_->spec), aErrNone);
  }
  void TearDown() override {
    // The hook runs on the module's thread under the interposer's lock and may
    // have stopped the host's link: taking the lock here orders that before
    // the link goes, and the hook no longer sees a case that is over.
    if (rig_) rig_->hook->set(nullptr);
    if (module_) module_->disconnect();
    module_.reset();
    rig_.reset();
  }

  // Makes the module answer `request` as the case says, after it queued the
  // case's stale packet at the host.
  void prepare(const Case& c, const Bytes& request) {
    Link* link = module_->getLink();
    if (!c.stale.empty()) {
      rig_->send(c.stale);
      // The stream keeps order: once the answer to another kind of request
      // is back, the stale packet is queued.
      if (request == kEcho) {
        uei model = modelGet();
        ASSERT_EQ(link->exchangeUEI(model, nullptr, 0x08, &model), aErrNone);
      } else {
        const uint8_t ping[] = {1};
        ASSERT_EQ(module_->debug(ping, sizeof ping), aErrNone);
      }
    }
    rig_->hook->set([&c, request, link](jvsim::SimModule& m, const jvsim::Packet& p) {
      if (p.data != request) return false;
      switch (c.answer) {
        case Answer::Plain: return false;
        case Answer::Silent: return true;
        case Answer::StopLink: aLink_Stop(aLink_GetLinkObject(link->getLinkRef())); return true;
        case Answer::Refusal:
        case Answer::Raw: m.send({p.address, c.raw}); return true;
      }
      return false;
    });
  }

  std::unique_ptr<Rig> rig_;
  std::unique_ptr<Module> module_;
};

TEST_F(ExchangeTest, UEIRequestAndReply) {
  const std::vector<Case> cases = {
      {"Reply", {}, Answer::Plain, {}, aErrNone, 0x13},
      {"StaleReplyIsDropped", {0x03, 0x08, 0x00, 0x55}, Answer::Plain, {}, aErrNone, 0x13},
      {"StaleReplyOfAnotherIndexStays", {0x03, 0x08, 0x01, 0x55}, Answer::Plain, {}, aErrNone, 0x13},
      {"NoReplyIsTimeout", {}, Answer::Silent, {}, aErrTimeout, 0},
      {"StaleReplyIsNoAnswer", {0x03, 0x08, 0x00, 0x55}, Answer::Silent, {}, aErrTimeout, 0},
      {"LinkStoppedIsConnection", {}, Answer::StopLink, {}, aErrConnection, 0},
      {"RefusalGivesTheModulesCode", {}, Answer::Refusal, {0x03, 0x08, 0x80, 29}, aErrInvalidOption, 0},
      {"RefusalWithCodeZeroIsUnknown", {}, Answer::Refusal, {0x03, 0x08, 0x80, 0x00}, aErrUnknown, 0},
      {"RefusalWithoutCodeIsUnknown", {}, Answer::Refusal, {0x03, 0x08, 0x80}, aErrUnknown, 0},
      {"ReplyOfNoValueLengthIsSize", {}, Answer::Raw, {0x03, 0x08, 0x00, 0x13, 0x00, 0x00}, aErrSize, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start();
    prepare(c, kModelGet);
    const uei request = modelGet();
    uei reply = request;
    EXPECT_EQ(module_->getLink()->exchangeUEI(request, nullptr, 0x08, &reply), c.expected);
    if (c.expected == aErrNone) {
      EXPECT_EQ(reply.value.byteVal, c.value);
    }
    EXPECT_EQ(rig_->requests(kAddress, kModelGet), 1u) << "the request goes out once";
    TearDown();
  }
}

TEST_F(ExchangeTest, CommandRequestAndReply) {
  const std::vector<Case> cases = {
      {"Reply", {}, Answer::Plain, {}, aErrNone, 0x5A},
      {"StaleReplyIsDropped", {cmdDEBUG, 0x11}, Answer::Plain, {}, aErrNone, 0x5A},
      {"NoReplyIsTimeout", {}, Answer::Silent, {}, aErrTimeout, 0},
      {"StaleReplyIsNoAnswer", {cmdDEBUG, 0x11}, Answer::Silent, {}, aErrTimeout, 0},
      {"LinkStoppedIsConnection", {}, Answer::StopLink, {}, aErrConnection, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start();
    prepare(c, kEcho);
    uint8_t out[aPACKET_MAX_DATA] = {};
    uint8_t length = 1;
    bool sent = false;
    const uint8_t prefix = cmdDEBUG;
    EXPECT_EQ(module_->getLink()->exchangeCommand(kAddress, cmdDEBUG, 1, &kEcho[1], &prefix, &length, out, true, &sent),
              c.expected);
    EXPECT_TRUE(sent);
    if (c.expected == aErrNone) {
      EXPECT_EQ(length, 2u);
      EXPECT_EQ(out[1], c.value);
    }
    TearDown();
  }
}

// Nothing goes out on a link that is not running, and the caller can tell
// that the request was never sent.
TEST_F(ExchangeTest, StoppedLinkSendsNothing) {
  start();
  aLink_Stop(aLink_GetLinkObject(module_->getLink()->getLinkRef()));
  uint8_t out[aPACKET_MAX_DATA] = {};
  uint8_t length = 1;
  bool sent = true;
  const uint8_t prefix = cmdDEBUG;
  EXPECT_EQ(module_->getLink()->exchangeCommand(kAddress, cmdDEBUG, 1, &kEcho[1], &prefix, &length, out, true, &sent),
            aErrConnection);
  EXPECT_FALSE(sent);
  uei request = modelGet();
  EXPECT_EQ(module_->getLink()->exchangeUEI(request, nullptr, 0x08, &request), aErrConnection);
  EXPECT_EQ(rig_->requests(kAddress, kEcho) + rig_->requests(kAddress, kModelGet), 0u);
}

}  // namespace
